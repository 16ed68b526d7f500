#ifndef _WIN32
#include "base/child_process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <thread>

#include <sys/wait.h>

namespace kolta::engine {

namespace {

// SIGKILL ends a process at once unless the kernel holds it.
constexpr std::chrono::seconds kReapLimit{2};
// waitpid() cannot wait with a deadline: it is polled, often at first (a
// child usually ends right after closing its output), then less often.
constexpr std::chrono::milliseconds kFirstPause{1};
constexpr std::chrono::milliseconds kLongestPause{20};

} // namespace

ChildEnd ChildProcess::wait_until(std::chrono::steady_clock::time_point due) {
    std::chrono::steady_clock::duration pause = kFirstPause;
    while (!end_) {
        int status = 0;
        const pid_t reaped = waitpid(pid_, &status, WNOHANG);
        if (reaped == pid_) {
            end_ = WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ChildEnd::kSucceeded
                                                                 : ChildEnd::kFailed;
        } else if (reaped < 0 && errno != EINTR) {
            end_ = ChildEnd::kUnknown; // ECHILD: already reaped, so gone
        } else if (reaped == 0) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= due) {
                return ChildEnd::kRunning;
            }
            std::this_thread::sleep_for(std::min(pause, due - now));
            pause =
                std::min<std::chrono::steady_clock::duration>(pause * 2, kLongestPause);
        }
    }
    return *end_;
}

void ChildProcess::kill_and_reap() {
    // Once it has ended its pid may belong to another process: never killed.
    if (end_ || pid_ <= 0) {
        return;
    }
    kill(leads_group_ ? -pid_ : pid_, SIGKILL);
    wait_until(std::chrono::steady_clock::now() + kReapLimit);
}

} // namespace kolta::engine
#endif
