#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

namespace kolta::engine {

enum class LogLevel { kInfo, kWarn, kError };

// A plain-text log file. Each line is "<UTC timestamp> <LEVEL> <message>",
// written whole and flushed under one mutex. Control characters and line
// separators in the message are written as spaces.
class Logger {
public:
    // Opens `file` for appending; throws std::runtime_error naming the path
    // and the reason when it cannot.
    explicit Logger(const std::filesystem::path &file);

    Logger(const Logger &) = delete;
    Logger &operator=(const Logger &) = delete;

    void write(LogLevel level, const std::string &message);
    void info(const std::string &message) { write(LogLevel::kInfo, message); }
    void warn(const std::string &message) { write(LogLevel::kWarn, message); }
    void error(const std::string &message) { write(LogLevel::kError, message); }

private:
    friend void hold_shared_logs_for_fork();
    friend void release_shared_logs_after_fork();

    std::mutex mutex_;
    std::ofstream out_;
};

// Every SDK in the process that logs to the same file shares one Logger, so
// lines from different sessions never interleave.
std::shared_ptr<Logger> open_shared_log(const std::filesystem::path &file);

// Fork handlers: the shared logs' registry and every shared log are locked
// before fork() and unlocked after it, in the parent and in the child.
void hold_shared_logs_for_fork();
void release_shared_logs_after_fork();

// ISO-8601 UTC with milliseconds, e.g. "2024-05-01T12:34:56.789Z".
std::string utc_timestamp(std::chrono::system_clock::time_point when);

// Keeps the first 4 characters (UTF-8 characters, never part of one) and
// hides the rest behind "****"; a secret of 4 characters or fewer is hidden
// entirely.
std::string mask_secret(const std::string &secret);

} // namespace kolta::engine
