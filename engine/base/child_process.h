#pragma once

// POSIX only: the engine's child processes (the translator, the model check).

#include <chrono>
#include <optional>

#include <sys/types.h>

namespace kolta::engine {

// How a child ended, as far as this process can know.
enum class ChildEnd {
    kRunning,   // still running when the wait's deadline passed
    kSucceeded, // exited with status 0
    kFailed,    // exited with another status, or a signal ended it
    kUnknown,   // reaped elsewhere: the host ignores SIGCHLD (the system then
                // reaps every child itself) or its SIGCHLD handler reaped it
};

// A started child. Every wait has a deadline; a child not seen to end is
// killed (SIGKILL, with its process group when it leads one) and reaped when
// this goes out of scope.
class ChildProcess {
public:
    ChildProcess(pid_t pid, bool leads_group) : pid_(pid), leads_group_(leads_group) {}
    ~ChildProcess() { kill_and_reap(); }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // Waits until the child ends or `due` passes.
    ChildEnd wait_until(std::chrono::steady_clock::time_point due);
    // Kills it and waits a short while to reap it. A process the kernel holds
    // (stuck in an uninterruptible wait) is left behind rather than waited for.
    void kill_and_reap();

private:
    pid_t pid_;
    bool leads_group_;
    std::optional<ChildEnd> end_;
};

} // namespace kolta::engine
