#include "logger.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace kolta::engine {

namespace {

const char *level_name(LogLevel level) {
    switch (level) {
    case LogLevel::kInfo:
        return "INFO";
    case LogLevel::kWarn:
        return "WARN";
    case LogLevel::kError:
        return "ERROR";
    }
    return "INFO";
}

// Caller-supplied text (keys, model names, paths) must not forge extra lines
// or hide bytes a reader would act on: every control character, and the
// Unicode line separators that some readers split on (U+0085 NEXT LINE,
// U+2028, U+2029), becomes a space.
std::string one_line(const std::string &message) {
    std::string line;
    line.reserve(message.size());
    const std::size_t size = message.size();
    for (std::size_t i = 0; i < size; ++i) {
        const auto byte = [&](std::size_t at) {
            return at < size ? static_cast<unsigned char>(message[at]) : 0u;
        };
        const unsigned c = byte(i);
        if (c < 0x20 || c == 0x7f) {
            line += ' ';
        } else if (c == 0xc2 && byte(i + 1) == 0x85) {
            line += ' ';
            i += 1;
        } else if (c == 0xe2 && byte(i + 1) == 0x80 &&
                   (byte(i + 2) == 0xa8 || byte(i + 2) == 0xa9)) {
            line += ' ';
            i += 2;
        } else {
            line += message[i];
        }
    }
    return line;
}

// Where the character starting at `at` ends: a UTF-8 lead byte and the
// continuation bytes after it (anything else counts as one character).
std::size_t next_character(const std::string &text, std::size_t at) {
    ++at;
    while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xc0) == 0x80) {
        ++at;
    }
    return at;
}

struct SharedLogs {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<Logger>> by_path;
    std::vector<std::shared_ptr<Logger>> held_across_fork;
};

SharedLogs &shared_logs() {
    static SharedLogs logs;
    return logs;
}

long long floor_div(long long a, long long b) {
    const long long q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

} // namespace

Logger::Logger(const std::filesystem::path &file) {
    errno = 0;
    out_.open(file, std::ios::out | std::ios::app);
    if (!out_.is_open()) {
        const int code = errno;
        const std::string reason = code != 0 ? std::generic_category().message(code)
                                             : std::string("unknown error");
        throw std::runtime_error("cannot open log file '" + file.string() +
                                 "': " + reason);
    }
}

void Logger::write(LogLevel level, const std::string &message) {
    const std::string stamp = utc_timestamp(std::chrono::system_clock::now());
    const std::string line = one_line(message);
    std::lock_guard<std::mutex> lock(mutex_);
    out_ << stamp << ' ' << level_name(level) << ' ' << line << '\n';
    out_.flush();
}

std::shared_ptr<Logger> open_shared_log(const std::filesystem::path &file) {
    std::error_code ec;
    std::filesystem::path key_path = std::filesystem::absolute(file, ec);
    const std::string key = (ec ? file : key_path).lexically_normal().string();

    SharedLogs &logs = shared_logs();
    std::lock_guard<std::mutex> lock(logs.mutex);
    if (auto existing = logs.by_path[key].lock()) {
        return existing;
    }
    auto logger = std::make_shared<Logger>(file);
    logs.by_path[key] = logger;
    return logger;
}

void hold_shared_logs_for_fork() {
    SharedLogs &logs = shared_logs();
    logs.mutex.lock();
    for (auto &entry : logs.by_path) {
        // A log being destroyed elsewhere is not returned, and needs no lock.
        if (auto logger = entry.second.lock()) {
            logger->mutex_.lock();
            logs.held_across_fork.push_back(std::move(logger));
        }
    }
}

void release_shared_logs_after_fork() {
    SharedLogs &logs = shared_logs();
    for (const auto &logger : logs.held_across_fork) {
        logger->mutex_.unlock();
    }
    std::vector<std::shared_ptr<Logger>> held = std::move(logs.held_across_fork);
    logs.held_across_fork.clear();
    logs.mutex.unlock();
}

std::string utc_timestamp(std::chrono::system_clock::time_point when) {
    using namespace std::chrono;
    const long long ms_total =
        duration_cast<milliseconds>(when.time_since_epoch()).count();
    const long long ms_per_day = 86400000LL;
    long long days = floor_div(ms_total, ms_per_day);
    const long long ms_of_day = ms_total - days * ms_per_day;

    // Civil date from a day count (proleptic Gregorian calendar); avoids the
    // non-reentrant std::gmtime.
    days += 719468;
    const long long era = floor_div(days, 146097);
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);

    char text[96];
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ",
                  year, month, day, ms_of_day / 3600000, (ms_of_day / 60000) % 60,
                  (ms_of_day / 1000) % 60, ms_of_day % 1000);
    return text;
}

std::string mask_secret(const std::string &secret) {
    if (secret.empty()) {
        return "(empty)";
    }
    // Characters, not bytes: a cut inside a UTF-8 sequence would write an
    // invalid byte to the log (and keep fewer than 4 characters).
    std::size_t end = 0;
    for (int kept = 0; kept < 4 && end < secret.size(); ++kept) {
        end = next_character(secret, end);
    }
    if (end >= secret.size()) {
        return "****";
    }
    return secret.substr(0, end) + "****";
}

} // namespace kolta::engine
