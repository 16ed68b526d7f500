#include "speech/translator.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <unistd.h>

#include "base/child_process.h"

extern char **environ;
#endif

namespace kolta::engine {

namespace {

constexpr char kModesDirectory[] = "/usr/share/apertium/modes";
constexpr char kProgram[] = "apertium";
// Less than a pipe's buffer (64 KiB on Linux, at least 4 KiB by POSIX; a
// recognised utterance is far shorter than either).
constexpr std::size_t kMaxTextBytes = 4000;
// A translation is about as long as its text; a child writing far more is
// broken and would otherwise fill memory until the time limit.
constexpr std::size_t kOutputPerInputByte = 64;
constexpr std::size_t kOutputAllowance = 4096;
// A child that closed its output has given its answer; it gets this long to
// exit, then it is killed (the answer stands).
constexpr std::chrono::seconds kExitGrace{1};

// "en-US" -> "eng": the pairs are named by three-letter codes.
std::string apertium_language(const std::string &code) {
    std::string primary;
    for (char c : code) {
        if (c == '-' || c == '_') {
            break;
        }
        primary += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    if (primary == "en") {
        return "eng";
    }
    if (primary == "es") {
        return "spa";
    }
    return {};
}

bool program_on_path(const char *program) {
    const char *path = std::getenv("PATH");
    std::string dirs = path ? path : "";
    std::size_t begin = 0;
    while (begin <= dirs.size()) {
        std::size_t end = dirs.find(':', begin);
        if (end == std::string::npos) {
            end = dirs.size();
        }
        std::error_code ec;
        const auto candidate =
            std::filesystem::path(dirs.substr(begin, end - begin)) / program;
        if (end > begin && std::filesystem::is_regular_file(candidate, ec)) {
            return true;
        }
        begin = end + 1;
    }
    return false;
}

// Words separated by one space: a pronoun Spanish drops leaves two behind
// ("Tuvo  casó").
std::string tidied(const std::string &text) {
    std::string words;
    std::size_t begin = text.find_first_not_of(" \t\r\n");
    while (begin != std::string::npos) {
        const std::size_t end = text.find_first_of(" \t\r\n", begin);
        if (!words.empty()) {
            words += ' ';
        }
        words.append(text, begin, end == std::string::npos ? end : end - begin);
        begin = text.find_first_not_of(" \t\r\n", end);
    }
    return words;
}

} // namespace

TranslationLookup find_translation_mode(const std::string &language_in,
                                        const std::string &language_out) {
    TranslationLookup lookup;
    const std::string from = apertium_language(language_in);
    const std::string to = apertium_language(language_out);
    if (from.empty() || to.empty() || from == to) {
        lookup.why = "no translation from " + language_in + " to " + language_out +
                     " (supported: en <-> es)";
        return lookup;
    }
    lookup.installed = false;
#ifdef _WIN32
    lookup.why = "the translator is not available on this platform";
#else
    const std::string mode = from + "-" + to;
    std::error_code ec;
    if (!program_on_path(kProgram)) {
        lookup.why = "the translator program 'apertium' is not installed";
    } else if (!std::filesystem::is_regular_file(
                   std::filesystem::path(kModesDirectory) / (mode + ".mode"), ec)) {
        lookup.why = "the translator pair " + mode + " is not installed";
    } else {
        lookup.installed = true;
        lookup.mode = mode;
    }
#endif
    return lookup;
}

Translator::Translator(std::string mode) : mode_(std::move(mode)) {}

#ifdef _WIN32
Translation Translator::translate(const std::string &, std::chrono::milliseconds) const {
    return {std::nullopt, "no translator on this platform"};
}
#else

namespace {

class Fd {
public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = -1;
    }

private:
    int fd_;
};

std::optional<pid_t> spawn(const std::string &mode, int child_in, int child_out) {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_adddup2(&actions, child_in, STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, child_out, STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    // Own process group (so the whole pipeline can be killed), default
    // SIGPIPE and SIGCHLD (the host may ignore them; the pipeline's shell
    // waits for its children) and no blocked signals.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGCHLD);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF |
                                              POSIX_SPAWN_SETSIGMASK);

    std::string program = kProgram, unmarked = "-u", pair = mode;
    char *argv[] = {program.data(), unmarked.data(), pair.data(), nullptr};
    pid_t pid = -1;
    const int status = posix_spawnp(&pid, kProgram, &actions, &attributes, argv, environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (status != 0) {
        return std::nullopt;
    }
    return pid;
}

bool write_all(int fd, const std::string &text) {
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = write(fd, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

Translation Translator::translate(const std::string &text,
                                  std::chrono::milliseconds limit) const {
    const auto failed = [](std::string why) {
        return Translation{std::nullopt, std::move(why)};
    };
    // The text is written into the input pipe before the child exists: it
    // fits in the pipe's buffer, and no write can meet a closed reader
    // (SIGPIPE).
    const std::string input = text.substr(0, kMaxTextBytes) + "\n";
    int in_fds[2];
    if (pipe2(in_fds, O_CLOEXEC) != 0) {
        return failed("no pipe for the translator");
    }
    Fd child_in(in_fds[0]);
    {
        Fd to_child(in_fds[1]);
        if (!write_all(to_child.get(), input)) {
            return failed("no pipe for the translator");
        }
    }
    int out_fds[2];
    if (pipe2(out_fds, O_CLOEXEC) != 0) {
        return failed("no pipe for the translator");
    }
    Fd from_child(out_fds[0]);
    Fd child_out(out_fds[1]);
    const auto pid = spawn(mode_, child_in.get(), child_out.get());
    child_in.reset();
    child_out.reset();
    if (!pid) {
        return failed("the translator could not be started");
    }
    ChildProcess child(*pid, true);

    using Clock = std::chrono::steady_clock;
    const auto due = Clock::now() + limit;
    const std::size_t most = input.size() * kOutputPerInputByte + kOutputAllowance;
    std::string output;
    char buffer[4096];
    while (true) {
        const auto now = Clock::now();
        if (now >= due) {
            return failed("no answer within " + std::to_string(limit.count()) + " ms");
        }
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - now).count();
        pollfd ready{from_child.get(), POLLIN, 0};
        const int polled = poll(&ready, 1, static_cast<int>(wait));
        if (polled <= 0) {
            if (polled < 0 && errno != EINTR) {
                return failed("cannot wait for the translator's output");
            }
            continue;
        }
        const ssize_t n = read(from_child.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return failed("cannot read the translator's output");
        }
        if (n == 0) {
            break;
        }
        output.append(buffer, static_cast<std::size_t>(n));
        if (output.size() > most) {
            return failed("the translator wrote over " + std::to_string(most) + " bytes");
        }
    }
    // The whole output is in; the exit status can only refute it. Unknown
    // (the host reaped the child) or not yet given, the output stands.
    if (child.wait_until(std::min(due, Clock::now() + kExitGrace)) == ChildEnd::kFailed) {
        return failed("the translator exited with an error");
    }
    return {tidied(output), {}};
}

#endif

} // namespace kolta::engine
