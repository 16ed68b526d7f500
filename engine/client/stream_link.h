#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/stream_client.h"

namespace kolta::engine {

// An audio stream that outlives its connections: when one drops, or the
// service ends it for any reason but a refusal, a thread of its own connects
// again after a back-off (50 ms doubling to 2 s, each wait drawn between half
// and all of it), with the same token. Each connection is an epoch; a block
// goes out on the epoch that is running, or on none while none runs. A new
// connection is first given the blocks before the next one again (their
// answers are dropped), so the service's models and codecs have the stream's
// recent past when its answers count.
class StreamLink {
public:
    struct Events {
        std::function<void()> trying;                      // a connection is tried
        std::function<void(std::uint64_t epoch)> accepted; // and runs
        std::function<void(std::uint64_t epoch, AudioAnswer &&)> audio;
        std::function<void(std::uint64_t epoch, const std::string &why, bool refused)>
            ended; // after a refusal nothing more is tried
    };
    struct Timing {
        std::chrono::milliseconds connect_deadline{5000};   // the first connection's
        std::chrono::milliseconds reconnect_deadline{2000}; // each later one's
        std::chrono::milliseconds first_retry{50};
        std::chrono::milliseconds longest_retry{2000};
    };

    StreamLink(StreamRequest request, Events events, Timing timing,
               std::size_t replayed_blocks);
    // Stops trying and closes the stream within deadlines (each connection's
    // close: 1 s, its thread: 2 s).
    ~StreamLink();

    StreamLink(const StreamLink &) = delete;
    StreamLink &operator=(const StreamLink &) = delete;

    // The epoch the block went out on; 0 when no connection runs.
    std::uint64_t send(std::uint64_t sequence, const float *block);
    // Drops the running connection as a network fault would.
    void cut(const std::string &why);

private:
    void run();
    std::unique_ptr<StreamClient> connect(std::uint64_t epoch);
    std::chrono::milliseconds next_wait(unsigned failures);

    const StreamRequest request_;
    const Events events_;
    const Timing timing_;
    const std::size_t block_values_;
    const std::size_t replayed_blocks_;

    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    std::unique_ptr<StreamClient> client_;
    std::uint64_t epoch_ = 0;      // the newest connection's
    std::uint64_t live_epoch_ = 0; // the running one's, 0 for none
    bool epoch_ended_ = false;
    bool refused_ = false;
    bool was_accepted_ = false;
    struct Sent {
        std::uint64_t sequence;
        std::vector<float> block;
    };
    std::deque<Sent> recent_; // the last replayed_blocks blocks, sent or not
    std::uint64_t seed_;
    const std::uint64_t generation_;
    std::thread thread_;
};

} // namespace kolta::engine
