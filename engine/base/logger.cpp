#include "base/logger.h"

#include <cerrno>
#include <cstdio>
#include <map>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <kolta_common/log_text.h>

#include "base/fork_state.h"

namespace kolta::engine {

namespace {

struct SharedLogs {
    std::mutex mutex;
    std::map<std::string, std::weak_ptr<Logger>> by_path;
    std::vector<std::shared_ptr<Logger>> held_across_fork;
};

SharedLogs &shared_logs() {
    static SharedLogs logs;
    return logs;
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
    const std::string stamp =
        kolta_common::utc_timestamp(std::chrono::system_clock::now());
    const std::string line = kolta_common::one_line(message);
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

namespace {
const bool fork_hooks_registered =
    register_fork_hooks(ForkLockLevel::kSharedLogs,
                        {hold_shared_logs_for_fork, release_shared_logs_after_fork});
} // namespace

} // namespace kolta::engine
