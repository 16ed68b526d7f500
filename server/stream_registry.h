#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <vector>

namespace kolta::server {

// The streams open on one service, so that a stopping service can ask each
// to close. A stream whose close has begun carries no more audio: a draining
// service waits for it only as long as a closing handshake may take.
class StreamRegistry {
public:
    // Asks one stream to close; called on any thread.
    using GoAway = std::function<void()>;

    std::uint64_t add(GoAway go_away) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.emplace(++last_, std::move(go_away));
        return last_;
    }

    void remove(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        open_.erase(id);
        closing_.erase(id);
    }

    void mark_closing(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (open_.count(id) != 0) {
            closing_.insert(id);
        }
    }

    std::size_t size() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_.size();
    }

    // Streams still carrying audio.
    std::size_t carrying() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return open_.size() - closing_.size();
    }

    void go_away_all() const {
        std::vector<GoAway> all;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto &entry : open_) {
                all.push_back(entry.second);
            }
        }
        for (const auto &go_away : all) {
            go_away();
        }
    }

private:
    mutable std::mutex mutex_;
    std::map<std::uint64_t, GoAway> open_;
    std::set<std::uint64_t> closing_;
    std::uint64_t last_ = 0;
};

} // namespace kolta::server
