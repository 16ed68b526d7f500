#include "processor/cloud_blocks.h"

namespace kolta::engine {

CloudBlocks::CloudBlocks(std::size_t block_values, Complete complete)
    : block_values_(block_values), complete_(std::move(complete)) {}

CloudBlocks::~CloudBlocks() {
    link_.reset();
}

bool CloudBlocks::open(StreamRequest request, Hooks hooks,
                       std::chrono::milliseconds deadline, std::size_t replayed_blocks) {
    StreamLink::Events events;
    events.trying = hooks.trying;
    events.accepted = [this, running = hooks.running](std::uint64_t epoch) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            live_epoch_ = epoch;
            first_outcome_ = true;
        }
        changed_.notify_all();
        running();
    };
    events.audio = [this](std::uint64_t epoch, AudioAnswer &&answer) {
        if (!complete_) {
            return;
        }
        {
            std::lock_guard<std::mutex> lock(mutex_);
            arrived_[answer.sequence] = Answer{epoch, std::move(answer.values)};
        }
        changed_.notify_all();
    };
    events.ended = [this, dropped = hooks.dropped](std::uint64_t epoch,
                                                   const std::string &why, bool) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (live_epoch_ == epoch) {
                live_epoch_ = 0;
            }
            first_outcome_ = true;
        }
        changed_.notify_all();
        dropped(why);
    };
    StreamLink::Timing timing;
    timing.connect_deadline = deadline;
    link_ = std::make_unique<StreamLink>(std::move(request), std::move(events), timing,
                                         replayed_blocks);
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, deadline, [&] { return first_outcome_; });
    return live_epoch_ != 0;
}

void CloudBlocks::send(const float *block) {
    Block entry{next_sequence_++, 0};
    if (link_) {
        entry.epoch = link_->send(entry.sequence, block);
    }
    blocks_.push_back(std::move(entry));
}

void CloudBlocks::send_only(const float *block) {
    if (link_) {
        link_->send(next_sequence_++, block);
    }
}

void CloudBlocks::cut(const std::string &why) {
    if (link_) {
        link_->cut(why);
    }
}

// An answer counts only from the connection the block went out on: one to a
// block given to a new connection again only readies that connection.
bool CloudBlocks::answered(const Block &block) const {
    const auto found = arrived_.find(block.sequence);
    return found != arrived_.end() && found->second.epoch == block.epoch;
}

bool CloudBlocks::complete_front(std::unique_lock<std::mutex> &lock, bool give_up) {
    Block &front = blocks_.front();
    std::vector<float> output;
    bool have = false;
    if (answered(front)) {
        const auto found = arrived_.find(front.sequence);
        output = std::move(found->second.values);
        arrived_.erase(found);
        have = output.size() == block_values_;
    } else if (front.epoch != 0 && front.epoch == live_epoch_ && !give_up) {
        return false;
    }
    lock.unlock();
    complete_(have ? output.data() : nullptr);
    blocks_.pop_front();
    lock.lock();
    return true;
}

void CloudBlocks::collect() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!blocks_.empty() && complete_front(lock, false)) {
    }
    forget_given_up();
}

// Answers to blocks already completed are of no more use.
void CloudBlocks::forget_given_up() {
    const std::uint64_t oldest =
        blocks_.empty() ? next_sequence_ : blocks_.front().sequence;
    arrived_.erase(arrived_.begin(), arrived_.lower_bound(oldest));
}

std::size_t CloudBlocks::settle(std::size_t keep, std::chrono::milliseconds patience) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t given_up = 0;
    while (blocks_.size() > keep) {
        if (complete_front(lock, false)) {
            continue;
        }
        // A slow service that still answers is waited for; a silent one is not.
        if (!changed_.wait_for(lock, patience, [&] {
                return blocks_.front().epoch != live_epoch_ || answered(blocks_.front());
            })) {
            while (blocks_.size() > keep) {
                complete_front(lock, true);
                ++given_up;
            }
        }
    }
    forget_given_up();
    return given_up;
}

} // namespace kolta::engine
