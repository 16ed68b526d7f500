#pragma once

#include <kolta_common/log_text.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

namespace kolta::engine {

using kolta_common::LogLevel;

// A plain-text log file. Each line is "<UTC timestamp> <LEVEL> <message>",
// written whole and flushed under one mutex. Control characters and line
// separators in the message are written as spaces (kolta_common::one_line).
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

} // namespace kolta::engine
