#pragma once

#include <kolta_common/log_text.h>

#include <cstdio>
#include <functional>
#include <mutex>
#include <string>

namespace kolta::server {

using kolta_common::LogLevel;

// Where the service reports. Lines are "<UTC timestamp> <LEVEL> <message>"
// with control characters made spaces; keys never appear in them, only
// their first 4 characters (kolta_common::mask_secret).
class ServiceLog {
public:
    using Sink = std::function<void(LogLevel, const std::string &)>;

    // Writes whole lines to `stream`, flushed one by one.
    explicit ServiceLog(std::FILE *stream);
    // Hands each message to `sink` (an embedding program's own log).
    explicit ServiceLog(Sink sink) : sink_(std::move(sink)) {}

    void write(LogLevel level, const std::string &message);
    void info(const std::string &message) { write(LogLevel::kInfo, message); }
    void warn(const std::string &message) { write(LogLevel::kWarn, message); }
    void error(const std::string &message) { write(LogLevel::kError, message); }

private:
    Sink sink_;
    std::mutex mutex_;
};

} // namespace kolta::server
