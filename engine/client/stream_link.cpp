#include "client/stream_link.h"

#include <algorithm>
#include <random>

#include "base/fork_state.h"

namespace kolta::engine {

StreamLink::StreamLink(StreamRequest request, Events events, Timing timing,
                       std::size_t replayed_blocks)
    : request_(std::move(request)), events_(std::move(events)), timing_(timing),
      block_values_(StreamFormat{request_.rate, request_.channels}.block_frames() *
                    request_.channels),
      replayed_blocks_(replayed_blocks), seed_(std::random_device{}()),
      generation_(fork_generation()) {
    thread_ = std::thread([this] { run(); });
}

StreamLink::~StreamLink() {
    if (fork_generation() != generation_) {
        // A child of fork(): the thread and its lock stayed in the parent.
        abandon_inherited_thread(thread_);
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
    std::unique_ptr<StreamClient> last;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        last = std::move(client_);
    }
}

void StreamLink::run() {
    unsigned failures = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        const std::uint64_t epoch = ++epoch_;
        epoch_ended_ = false;
        was_accepted_ = false;
        lock.unlock();
        events_.trying();
        lock.lock();
        if (stopping_) {
            break;
        }
        // Made under the lock, so its events find it in place.
        client_ = connect(epoch);
        changed_.wait(lock, [&] { return stopping_ || epoch_ended_; });
        if (stopping_) {
            break;
        }
        std::unique_ptr<StreamClient> old = std::move(client_);
        const bool accepted = was_accepted_;
        lock.unlock();
        old.reset(); // it has ended: its thread is done or about to be
        lock.lock();
        if (refused_) {
            break;
        }
        failures = accepted ? 0 : failures + 1;
        const auto wait = next_wait(failures);
        changed_.wait_for(lock, wait, [&] { return stopping_; });
    }
}

std::unique_ptr<StreamClient> StreamLink::connect(std::uint64_t epoch) {
    StreamClient::Events events;
    events.accepted = [this, epoch] {
        std::unique_lock<std::mutex> lock(mutex_);
        if (stopping_ || epoch != epoch_ || !client_) {
            return;
        }
        live_epoch_ = epoch;
        was_accepted_ = true;
        for (const Sent &sent : recent_) {
            client_->send(sent.sequence, sent.block.data());
        }
        lock.unlock();
        events_.accepted(epoch);
    };
    events.audio = [this, epoch](AudioAnswer &&answer) {
        events_.audio(epoch, std::move(answer));
    };
    events.ended = [this, epoch](const std::string &why, bool refused) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (live_epoch_ == epoch) {
                live_epoch_ = 0;
            }
            if (epoch == epoch_) {
                epoch_ended_ = true;
                refused_ = refused;
            }
        }
        changed_.notify_all();
        events_.ended(epoch, why, refused);
    };
    return std::make_unique<StreamClient>(request_, std::move(events),
                                          epoch == 1 ? timing_.connect_deadline
                                                     : timing_.reconnect_deadline);
}

// Doubling from the first wait to the longest; each drawn between half and all
// of it, so that many clients cut off at once do not come back at once.
std::chrono::milliseconds StreamLink::next_wait(unsigned failures) {
    auto full = timing_.first_retry;
    for (unsigned i = 0; i < failures && full < timing_.longest_retry; ++i) {
        full *= 2;
    }
    full = std::min(full, timing_.longest_retry);
    std::minstd_rand random(static_cast<std::uint32_t>(seed_ += 0x9e3779b9u));
    std::uniform_int_distribution<long long> draw(full.count() / 2, full.count());
    return std::chrono::milliseconds(draw(random));
}

std::uint64_t StreamLink::send(std::uint64_t sequence, const float *block) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (replayed_blocks_ > 0) {
        recent_.push_back(
            Sent{sequence, std::vector<float>(block, block + block_values_)});
        if (recent_.size() > replayed_blocks_) {
            recent_.pop_front();
        }
    }
    if (live_epoch_ == 0 || !client_ || !client_->send(sequence, block)) {
        return 0;
    }
    return live_epoch_;
}

void StreamLink::cut(const std::string &why) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (client_) {
        client_->cut(why);
    }
}

} // namespace kolta::engine
