#include "rate_guard.h"

#include <algorithm>

namespace kolta::server {

std::chrono::seconds RateGuard::blocked_for(const std::string &address,
                                            const std::string &key_hash,
                                            Clock::time_point now) {
    if (!enabled()) {
        return std::chrono::seconds(0);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return std::max(remaining(by_address_, address, now),
                    remaining(by_key_, key_hash, now));
}

void RateGuard::record_failure(const std::string &address, const std::string &key_hash,
                               Clock::time_point now) {
    if (!enabled()) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    count(by_address_, address, now);
    count(by_key_, key_hash, now);
}

std::size_t RateGuard::tracked() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return by_address_.size() + by_key_.size();
}

std::chrono::seconds RateGuard::remaining(const Table &table, const std::string &name,
                                          Clock::time_point now) const {
    const auto found = table.find(name);
    if (found == table.end() || found->second.failures < limits_.max_failures) {
        return std::chrono::seconds(0);
    }
    const auto end = found->second.start + limits_.window;
    if (end <= now) {
        return std::chrono::seconds(0);
    }
    // Rounded up: "try again in 0 s" would be wrong.
    return std::chrono::ceil<std::chrono::seconds>(end - now);
}

void RateGuard::count(Table &table, const std::string &name, Clock::time_point now) {
    auto found = table.find(name);
    if (found == table.end()) {
        make_room(table, now);
        found = table.emplace(name, Window{now, 0}).first;
    } else if (found->second.start + limits_.window <= now) {
        found->second = Window{now, 0};
    }
    if (found->second.failures < limits_.max_failures) {
        ++found->second.failures;
    }
}

void RateGuard::make_room(Table &table, Clock::time_point now) {
    if (table.size() < limits_.capacity) {
        return;
    }
    for (auto entry = table.begin(); entry != table.end();) {
        entry = entry->second.start + limits_.window <= now ? table.erase(entry)
                                                            : std::next(entry);
    }
    if (table.size() < limits_.capacity || table.empty()) {
        return;
    }
    const auto oldest =
        std::min_element(table.begin(), table.end(), [](const auto &a, const auto &b) {
            return a.second.start < b.second.start;
        });
    table.erase(oldest);
}

} // namespace kolta::server
