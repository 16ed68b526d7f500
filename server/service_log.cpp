#include "service_log.h"

#include <chrono>

#include <kolta_common/log_text.h>

namespace kolta::server {

ServiceLog::ServiceLog(std::FILE *stream) {
    sink_ = [stream](LogLevel level, const std::string &message) {
        const std::string line =
            kolta_common::utc_timestamp(std::chrono::system_clock::now()) + " " +
            level_name(level) + " " + message + "\n";
        std::fwrite(line.data(), 1, line.size(), stream);
        std::fflush(stream);
    };
}

void ServiceLog::write(LogLevel level, const std::string &message) {
    const std::string line = kolta_common::one_line(message);
    std::lock_guard<std::mutex> lock(mutex_);
    sink_(level, line);
}

} // namespace kolta::server
