// Children of fork(): made while other threads sign in, stream and deliver
// callbacks, each child makes its own SDK and processors, uses the SDK it
// inherited, or destroys the processor it inherited, without hanging on a
// lock copied while held or joining a thread of the parent; the parent goes
// on as before.
#include <gtest/gtest.h>

#if defined(__unix__) || defined(__APPLE__)

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "engine_test_support.h"

namespace {

using namespace kolta_test;
using kolta::PipelineState;

#if defined(__SANITIZE_THREAD__)
constexpr bool kThreadSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
constexpr bool kThreadSanitizer = true;
#else
constexpr bool kThreadSanitizer = false;
#endif
#else
constexpr bool kThreadSanitizer = false;
#endif

constexpr int kForks = 4;
constexpr int kHung = -1;

// Runs `body` in a child of fork() and returns its exit status; kHung (after
// killing it) when it has not ended within `limit`.
int status_of_child(const std::function<int()> &body, std::chrono::seconds limit = 10s) {
    const pid_t pid = fork();
    if (pid == 0) {
        int code = 98;
        try {
            code = body();
        } catch (...) {
        }
        _exit(code);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return kHung;
        }
        std::this_thread::sleep_for(5ms);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// 0 when a new processor of `sdk` passes a tone through (one chunk late).
int round_trip(kolta::IKoltaSdk &sdk) {
    auto processor =
        sdk.create_audio_processor(attributes("passthrough", 16000, 1, true));
    if (!processor) {
        return 2;
    }
    const auto input = tone(440, 0.3, 960, 16000);
    const auto output = run_chunks(*processor, input, 320);
    return output == std::vector<float>(input.begin(), input.begin() + 640) ? 0 : 3;
}

enum class ChildAction { kOwnSdk, kInheritedSdk, kDestroyInherited, kUseInherited };
constexpr const char *kActionNames[] = {"OwnSdk", "InheritedSdk", "DestroyInherited",
                                        "UseInherited"};

class ForkedChild : public ::testing::TestWithParam<ChildAction> {};

TEST_P(ForkedChild, WorksWhileTheParentIsBusy) {
    if (kThreadSanitizer) {
        GTEST_SKIP() << "ThreadSanitizer does not support threads in a multi-threaded "
                        "process's child";
    }
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    auto recorder = std::make_shared<Recorder>();
    auto attrs = attributes("passthrough", 16000, 1, true);
    attrs.audio_attributes.audio_pipeline_state_notify = state_sink(recorder);
    std::unique_ptr<kolta::IAudioProcessor> inherited;
    {
        ScopedEnv flood("KOLTA_ENGINE_FAULTS", "state_flood=200000");
        inherited = sdk->create_audio_processor(attrs);
    }
    ASSERT_NE(inherited, nullptr);

    std::atomic<bool> stop{false};
    std::vector<std::thread> busy;
    for (int i = 0; i < 2; ++i) {
        busy.emplace_back([&] {
            while (!stop) {
                sdk->activate_api_key("kt_all");
            }
        });
    }
    busy.emplace_back([&] {
        const auto chunk = tone(300, 0.2, 320, 16000);
        while (!stop) {
            push(*inherited, chunk);
        }
    });

    for (int fork_number = 0; fork_number < kForks; ++fork_number) {
        std::this_thread::sleep_for(2ms);
        const int status = status_of_child([&] {
            switch (GetParam()) {
            case ChildAction::kOwnSdk:
                return round_trip(*signed_in_sdk(dir));
            case ChildAction::kInheritedSdk:
                return sdk->activate_api_key("kt_all").success ? round_trip(*sdk) : 4;
            case ChildAction::kDestroyInherited:
                inherited.reset();
                return 0;
            case ChildAction::kUseInherited:
                try {
                    push(*inherited, tone(300, 0.2, 320, 16000));
                } catch (const std::logic_error &) {
                    return 0;
                }
                return 5;
            }
            return 6;
        });
        EXPECT_EQ(status, 0) << "fork " << fork_number << " (" << kHung << ": hung)";
    }

    stop = true;
    for (auto &thread : busy) {
        thread.join();
    }
    EXPECT_EQ(round_trip(*sdk), 0) << "the parent's SDK after the forks";
    EXPECT_EQ(push(*inherited, tone(300, 0.2, 320, 16000)).size(), 320u);
    inherited.reset();
    const auto states = recorder->states();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.back(), PipelineState::kNotRunning) << "the parent's teardown";
}

INSTANTIATE_TEST_SUITE_P(
    Fork, ForkedChild,
    ::testing::Values(ChildAction::kOwnSdk, ChildAction::kInheritedSdk,
                      ChildAction::kDestroyInherited, ChildAction::kUseInherited),
    [](const auto &info) {
        return std::string(kActionNames[static_cast<int>(info.param)]);
    });

} // namespace

#endif
