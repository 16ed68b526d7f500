// Lifetimes under concurrency, written to give ThreadSanitizer (scripts/tsan.sh)
// something to look at: processors created and destroyed from several threads
// while their output and storm threads deliver, concurrent process_frame
// callers next to callbacks that call back in, and the last reference dropped
// inside a callback on each kind of engine thread. Each test also checks what
// the engine documents, so it fails on a wrong count, not only on a race.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "engine_test_support.h"

namespace {

using namespace kolta_test;
using kolta::PipelineState;

constexpr std::uint64_t kStateFlood = 40;
constexpr std::uint64_t kTextFlood = 40;
constexpr unsigned kStormThreads = 3;
constexpr unsigned kTextsPerStormThread = 10; // fixed by the engine

// What the callbacks of many processors saw, summed; checked after teardown.
struct Tally {
    std::atomic<std::uint64_t> states{0};
    std::atomic<std::uint64_t> not_running{0};
    std::atomic<std::uint64_t> texts{0};
    std::atomic<std::uint64_t> throws{0};
    std::atomic<std::uint64_t> malformed{0};
};

kolta::ProcessorAttributes flooding_attributes(const std::shared_ptr<Tally> &tally,
                                               bool throw_every_other) {
    auto attrs = attributes("", 16000, 1, /*cloud=*/true);
    auto counter = std::make_shared<std::atomic<std::uint64_t>>(0);
    attrs.audio_attributes.audio_pipeline_state_notify =
        [tally, counter, throw_every_other](PipelineState state) {
            ++tally->states;
            if (state == PipelineState::kNotRunning) {
                ++tally->not_running;
            }
            if (throw_every_other && (counter->fetch_add(1) % 2 == 1)) {
                ++tally->throws;
                throw std::runtime_error("state callback failure");
            }
        };
    attrs.lt_config =
        lt_config([tally, counter, throw_every_other](kolta::TextFrame &&f) {
            ++tally->texts;
            kolta::TextFrame kept = std::move(f); // touch the moved-in frame
            if (kept.transcript_data_.complete.size() != 1 ||
                kept.transcript_data_.complete[0].text.empty()) {
                ++tally->malformed;
            }
            if (throw_every_other && (counter->fetch_add(1) % 2 == 1)) {
                ++tally->throws;
                throw 42; // not a std::exception
            }
        });
    return attrs;
}

TEST(TsanLifecycle, ProcessorsCreatedAndDestroyedWhileEveryCallbackKindFires) {
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    ScopedEnv faults("KOLTA_ENGINE_FAULTS",
                     "connect_delay_ms=0,state_flood=" + std::to_string(kStateFlood) +
                         ",transcript_flood=" + std::to_string(kTextFlood) +
                         ",transcript_threads=" + std::to_string(kStormThreads));
    auto tally = std::make_shared<Tally>();
    constexpr int kThreads = 3;
    constexpr int kPerThread = 100;
    Watchdog watchdog("create/destroy under floods", 120s);
    std::vector<std::thread> makers;
    for (int t = 0; t < kThreads; ++t) {
        makers.emplace_back([&, t] {
            for (int i = 0; i < kPerThread; ++i) {
                auto processor = sdk->create_audio_processor(
                    flooding_attributes(tally, (i + t) % 2 == 0));
                ASSERT_NE(processor, nullptr);
                if (i % 3 == 0) {
                    push(*processor, tone(300, 0.3, 640, 16000));
                }
                processor.reset(); // floods still queued or in flight
            }
        });
    }
    for (auto &maker : makers) {
        maker.join();
    }
    constexpr std::uint64_t kProcessors = kThreads * kPerThread;
    // The destructor delivers everything queued and joins every delivering
    // thread: TRYING, RUNNING, the flood, NOT_RUNNING; the flood and the storm.
    EXPECT_EQ(tally->states.load(), kProcessors * (kStateFlood + 3));
    EXPECT_EQ(tally->not_running.load(), kProcessors);
    EXPECT_EQ(tally->texts.load(),
              kProcessors * (kTextFlood + kStormThreads * kTextsPerStormThread));
    EXPECT_GT(tally->throws.load(), 0u);
    EXPECT_EQ(tally->malformed.load(), 0u);
    const std::string log = read_text(dir.log_file());
    EXPECT_NE(log.find("callback threw an exception (ignored)"), std::string::npos);
}

TEST(TsanLifecycle, ConcurrentCallersAndCallbacksThatCallBackIn) {
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    ScopedEnv faults("KOLTA_ENGINE_FAULTS",
                     "connect_delay_ms=0,transcript_flood=30,transcript_threads=2,"
                     "pipeline_drop_on_frame=7");
    struct Shared {
        std::mutex mutex;
        kolta::IAudioProcessor *processor = nullptr; // set once created
        std::atomic<std::uint64_t> reentrant_calls{0};
        std::atomic<std::uint64_t> texts{0};
        std::atomic<std::uint64_t> states{0};
    };
    auto shared = std::make_shared<Shared>();
    auto call_back_in = [shared] {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->processor != nullptr) {
            // From an engine thread: its own result buffer, no engine lock held.
            const auto out = push(*shared->processor, tone(440, 0.2, 320, 16000));
            (void)out;
            ++shared->reentrant_calls;
        }
    };
    auto attrs = attributes("", 16000, 1, true);
    attrs.audio_attributes.audio_pipeline_state_notify = [shared,
                                                          call_back_in](PipelineState) {
        ++shared->states;
        call_back_in();
    };
    attrs.lt_config = lt_config([shared, call_back_in](kolta::TextFrame &&) {
        if (++shared->texts % 5 == 0) {
            call_back_in();
        }
    });
    Watchdog watchdog("concurrent callers", 120s);
    auto processor = sdk->create_audio_processor(attrs);
    ASSERT_NE(processor, nullptr);
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->processor = processor.get();
    }
    constexpr int kCallers = 3;
    constexpr int kChunks = 300;
    std::atomic<std::uint64_t> returned{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < kCallers; ++t) {
        callers.emplace_back([&, t] {
            const auto speech = tone(200.0 + 100.0 * t, 0.3, 320, 16000);
            const auto quiet = silence(320);
            for (int k = 0; k < kChunks; ++k) {
                const auto out = push(*processor, k % 10 == 9 ? quiet : speech);
                returned += out.size();
            }
        });
    }
    for (auto &caller : callers) {
        caller.join();
    }
    for (int wait = 0; wait < 5000 && shared->states.load() < 5; ++wait) {
        std::this_thread::sleep_for(1ms); // the pipeline is back
    }
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->processor = nullptr; // no callback may call in any more
    }
    processor.reset();
    EXPECT_GE(shared->texts.load(), 30u + 2u * 10u) << "floods, storm and utterances";
    // TRYING RUNNING, then the drop: NOT_RUNNING TRYING RUNNING; NOT_RUNNING.
    EXPECT_EQ(shared->states.load(), 6u);
    EXPECT_GT(shared->reentrant_calls.load(), 0u);
    EXPECT_GT(returned.load(), 0u);
}

// The last reference is dropped inside a callback: on the output thread (a
// state callback) or on a storm thread (a transcript callback), while the
// other storm threads and a caller thread keep going.
class TsanTeardownFromCallback : public ::testing::TestWithParam<bool> {};

TEST_P(TsanTeardownFromCallback, LastReferenceDroppedOnAnEngineThread) {
    const bool from_transcript = GetParam();
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    ScopedEnv faults("KOLTA_ENGINE_FAULTS",
                     "connect_delay_ms=0,state_flood=20,transcript_threads=4");
    constexpr int kRounds = 100;
    for (int round = 0; round < kRounds; ++round) {
        struct Box {
            std::mutex mutex;
            std::condition_variable stored;
            std::shared_ptr<kolta::IAudioProcessor> processor;
            bool ready = false;
            std::atomic<bool> dropped{false};
            std::atomic<std::uint64_t> deliveries{0};
            std::atomic<bool> not_running{false};
        };
        auto box = std::make_shared<Box>();
        auto take_and_drop = [box] {
            std::shared_ptr<kolta::IAudioProcessor> last;
            {
                std::unique_lock<std::mutex> lock(box->mutex);
                box->stored.wait(lock, [&] { return box->ready; });
                last = std::move(box->processor);
            }
            if (last) {
                box->dropped = true;
                last.reset(); // may be the destructor, on this engine thread
            }
        };
        auto attrs = attributes("", 16000, 1, true);
        attrs.audio_attributes.audio_pipeline_state_notify =
            [box, take_and_drop, from_transcript](PipelineState state) {
                ++box->deliveries;
                if (state == PipelineState::kNotRunning) {
                    box->not_running = true;
                } else if (!from_transcript && state == PipelineState::kRunning) {
                    take_and_drop();
                }
            };
        attrs.lt_config =
            lt_config([box, take_and_drop, from_transcript](kolta::TextFrame &&frame) {
                ++box->deliveries;
                if (from_transcript && frame.transcript_data_.utterance_idx == 3) {
                    take_and_drop();
                }
            });
        Watchdog watchdog("teardown from an engine thread", 60s);
        std::shared_ptr<kolta::IAudioProcessor> processor =
            sdk->create_audio_processor(attrs);
        ASSERT_NE(processor, nullptr);
        std::weak_ptr<kolta::IAudioProcessor> alive = processor;
        std::thread caller([processor] {
            for (int k = 0; k < 5; ++k) {
                push(*processor, tone(300, 0.2, 320, 16000));
            }
        });
        {
            std::lock_guard<std::mutex> lock(box->mutex);
            box->processor = std::move(processor);
            box->ready = true;
        }
        box->stored.notify_all();
        caller.join(); // the caller's copy goes with its thread
        for (int wait = 0; wait < 5000 && !box->not_running; ++wait) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_TRUE(box->dropped.load()) << "round " << round;
        EXPECT_TRUE(box->not_running.load()) << "round " << round;
        EXPECT_TRUE(alive.expired()) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(EngineThreads, TsanTeardownFromCallback, ::testing::Bool(),
                         [](const auto &info) {
                             return info.param ? std::string("StormThread")
                                               : std::string("OutputThread");
                         });

TEST(TsanLifecycle, SdkAndProcessorsReleasedOnDifferentThreads) {
    TempDir dir;
    ScopedEnv faults("KOLTA_ENGINE_FAULTS", "connect_delay_ms=0,state_flood=10");
    auto tally = std::make_shared<Tally>();
    constexpr int kRounds = 20;
    for (int round = 0; round < kRounds; ++round) {
        auto sdk = signed_in_sdk(dir);
        std::vector<std::shared_ptr<kolta::IAudioProcessor>> processors;
        for (int i = 0; i < 3; ++i) {
            processors.emplace_back(
                sdk->create_audio_processor(flooding_attributes(tally, false)));
            ASSERT_NE(processors.back(), nullptr);
        }
        // The SDK goes first on one thread while the processors keep working
        // and are dropped on others.
        std::thread sdk_dropper([s = std::move(sdk)]() mutable { s.reset(); });
        std::vector<std::thread> droppers;
        for (auto &p : processors) {
            droppers.emplace_back([p = std::move(p)]() mutable {
                push(*p, tone(300, 0.2, 640, 16000));
                p.reset();
            });
        }
        sdk_dropper.join();
        for (auto &d : droppers) {
            d.join();
        }
    }
    EXPECT_EQ(tally->not_running.load(), 3u * kRounds);
    EXPECT_EQ(tally->states.load(), 3u * kRounds * (10 + 3));
}

} // namespace
