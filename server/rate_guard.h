#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <unordered_map>

#include "service_options.h"

namespace kolta::server {

// The brute-force guard. Failed sign-ins are counted per client address and
// per presented key (by its hash) in fixed windows; once either count reaches
// the limit, sign-ins from that address or with that key are refused until
// its window ends. Memory stays bounded: each table tracks at most
// `capacity` entries, and when one is full the entry whose window started
// first gives way.
class RateGuard {
public:
    using Clock = std::chrono::steady_clock;

    explicit RateGuard(GuardLimits limits) : limits_(limits) {}

    // How long until the address or the key may try again; zero: now.
    std::chrono::seconds blocked_for(const std::string &address,
                                     const std::string &key_hash, Clock::time_point now);
    void record_failure(const std::string &address, const std::string &key_hash,
                        Clock::time_point now);

    bool enabled() const { return limits_.max_failures > 0; }
    std::size_t tracked() const;

private:
    struct Window {
        Clock::time_point start;
        unsigned failures = 0;
    };
    using Table = std::unordered_map<std::string, Window>;

    std::chrono::seconds remaining(const Table &table, const std::string &name,
                                   Clock::time_point now) const;
    void count(Table &table, const std::string &name, Clock::time_point now);
    void make_room(Table &table, Clock::time_point now);

    const GuardLimits limits_;
    mutable std::mutex mutex_;
    Table by_address_;
    Table by_key_;
};

} // namespace kolta::server
