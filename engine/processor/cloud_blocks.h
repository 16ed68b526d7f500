#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "client/stream_link.h"

namespace kolta::engine {

// The cloud path's blocks in flight: each block the stream hands on is
// numbered and sent to the service, and completed in order with the
// service's output once it is back, or with none (passed through
// unprocessed) when its connection has ended or none ran to send it on.
// Without `complete`, blocks are only sent: a model whose audio is its input
// needs nothing back, so its output stays the caller's own values, exact and
// on time, while the service still hears the stream.
class CloudBlocks {
public:
    struct Hooks {
        std::function<void()> trying;                        // a connection is tried
        std::function<void()> running;                       // the service accepted
        std::function<void(const std::string &why)> dropped; // a connection ended
    };
    // `complete(output)`: nullptr for none.
    using Complete = std::function<void(const float *output)>;

    CloudBlocks(std::size_t block_values, Complete complete);
    ~CloudBlocks();

    // Starts the stream; waits until the service accepts it, refuses it or
    // `deadline` passes. True when it runs. Later drops are connected again
    // in the background; `replayed_blocks` blocks are given to a new
    // connection before its answers count.
    bool open(StreamRequest request, Hooks hooks, std::chrono::milliseconds deadline,
              std::size_t replayed_blocks);
    void send(const float *block);
    // One-way streams: sends the block and keeps nothing.
    void send_only(const float *block);
    // Completes every block whose fate is known, oldest first.
    void collect();
    // Completes blocks, oldest first, until at most `keep` are still out,
    // waiting for the service while its answers keep coming: up to
    // `patience` after the last one. Those it gives up on are completed
    // without output; returns how many.
    std::size_t settle(std::size_t keep, std::chrono::milliseconds patience);
    std::size_t in_flight() const { return blocks_.size(); }
    // Drops the running connection as a network fault would.
    void cut(const std::string &why);

private:
    struct Block {
        std::uint64_t sequence;
        std::uint64_t epoch; // the connection it went out on; 0: none
    };
    struct Answer {
        std::uint64_t epoch;
        std::vector<float> values;
    };
    bool complete_front(std::unique_lock<std::mutex> &lock, bool give_up);
    bool answered(const Block &block) const; // with mutex_ held
    void forget_given_up();                  // with mutex_ held

    const std::size_t block_values_;
    const Complete complete_;
    std::deque<Block> blocks_; // the processor's lock guards them
    std::uint64_t next_sequence_ = 0;

    // Written by the connections' threads.
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint64_t, Answer> arrived_;
    std::uint64_t live_epoch_ = 0;
    bool first_outcome_ = false;
    std::unique_ptr<StreamLink> link_;
};

} // namespace kolta::engine
