#include "speech/model_check.h"

#include <chrono>
#include <future>
#include <map>
#include <mutex>

#ifndef _WIN32
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <unistd.h>

#include "base/child_process.h"
#include "speech/recogniser.h"
#endif

namespace kolta::engine {

namespace {

// A check's result; one that could not be made is made again next time.
struct Check {
    std::string fault;
    bool lasting = true;
};

#ifdef _WIN32
Check load_in_child(const RecogniserModel &, const std::string &) {
    return {}; // no fork(): the model is loaded in-process, as it is
}
#else

// Loading takes well under a second; only a model that cannot load (a FIFO,
// a hung network file system) comes near this.
constexpr std::chrono::seconds kLoadLimit{15};
constexpr std::chrono::seconds kExitGrace{1};
constexpr char kLoaded = 'y';

enum class Verdict { kLoaded, kNotLoaded, kTimedOut };

Verdict read_verdict(int from_child) {
    const auto due = std::chrono::steady_clock::now() + kLoadLimit;
    while (true) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(
            due - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return Verdict::kTimedOut;
        }
        pollfd ready{from_child, POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(left.count()));
        if (polled == 0 || (polled < 0 && errno == EINTR)) {
            continue;
        }
        char verdict = 0;
        const ssize_t got = polled < 0 ? -1 : read(from_child, &verdict, 1);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        // End of file: the child ended without a verdict (the library exits).
        return got == 1 && verdict == kLoaded ? Verdict::kLoaded : Verdict::kNotLoaded;
    }
}

// The child keeps only the verdict's pipe, so it holds no other pipe of the
// host open (whose reader would wait for its end of file).
void close_other_files(int keep) {
    const int first = keep + 1;
#if defined(__FreeBSD__) || defined(__OpenBSD__) ||                                      \
    (defined(__GLIBC__) && (__GLIBC__ > 2 || __GLIBC_MINOR__ >= 34))
    closefrom(first);
#else
    const long most = sysconf(_SC_OPEN_MAX);
    for (int fd = first; fd < (most > 0 && most < 65536 ? most : 65536); ++fd) {
        close(fd);
    }
#endif
    for (int fd = STDERR_FILENO + 1; fd < keep; ++fd) {
        close(fd);
    }
}

// fork() without exec: the child has only this thread, and uses only the
// recogniser's library and the C library's allocator and files, which glibc
// (and the other C libraries we build on) keep usable in such a child. It
// starts with every signal blocked, so none of the host's handlers runs there.
Check load_in_child(const RecogniserModel &model, const std::string &where) {
    const auto unchecked = [&where] {
        return Check{"cannot check the model at " + where + ": " + std::strerror(errno),
                     false};
    };
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        return unchecked();
    }
    sigset_t all;
    sigset_t before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    const pid_t pid = fork();
    if (pid == 0) {
        // The library must not write to the host's terminal either.
        const int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        close_other_files(fds[1]);
        const char verdict = decoder_loads(model) ? kLoaded : 'n';
        _exit(write(fds[1], &verdict, 1) == 1 ? 0 : 1);
    }
    const Check failed_fork = pid < 0 ? unchecked() : Check{};
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return failed_fork;
    }
    ChildProcess child(pid, false);
    const Verdict verdict = read_verdict(fds[0]);
    close(fds[0]);
    if (verdict == Verdict::kTimedOut) {
        return {"the model at " + where + " took over " +
                std::to_string(kLoadLimit.count()) + " s to load"};
    }
    // Reaped here rather than killed: it is done, or about to be.
    child.wait_until(std::chrono::steady_clock::now() + kExitGrace);
    if (verdict == Verdict::kNotLoaded) {
        return {"the model at " + where + " does not load"};
    }
    return {};
}
#endif

} // namespace

std::string recogniser_model_fault(const RecogniserModel &model) {
    static std::mutex mutex;
    static std::map<std::string, std::shared_future<std::string>> checked;
    const std::string key = model.acoustic.string() + '\n' +
                            model.language_model.string() + '\n' +
                            model.dictionary.string();
    std::promise<std::string> verdict;
    std::shared_future<std::string> known;
    {
        std::lock_guard<std::mutex> lock(mutex);
        const auto found = checked.find(key);
        if (found != checked.end()) {
            known = found->second;
        } else {
            checked.emplace(key, verdict.get_future().share());
        }
    }
    if (known.valid()) {
        return known.get(); // checked, or being checked by another thread
    }
    const Check check = load_in_child(model, model.acoustic.parent_path().string());
    if (!check.lasting) {
        std::lock_guard<std::mutex> lock(mutex);
        checked.erase(key);
    }
    verdict.set_value(check.fault);
    return check.fault;
}

} // namespace kolta::engine
