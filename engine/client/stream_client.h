#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "client/stream_messages.h"

namespace kolta::engine {

// One audio stream to the service over a WebSocket, on an I/O thread of its
// own. Nothing here waits on the network: sends are queued, answers and the
// stream's end are reported through the events (on the I/O thread).
class StreamClient {
public:
    struct Events {
        std::function<void()> accepted;
        std::function<void(AudioAnswer &&)> audio;
        // Not after close(). `refused`: the service refused the token, the
        // model or the config, which trying again cannot mend.
        std::function<void(const std::string &reason, bool refused)> ended;
    };

    // Connects at once; the connection and the service's answer must come
    // within `connect_deadline`.
    StreamClient(StreamRequest request, Events events,
                 std::chrono::milliseconds connect_deadline);
    // Closes the stream and ends the thread within a deadline; in a child of
    // fork() leaves both to the parent.
    ~StreamClient();

    StreamClient(const StreamClient &) = delete;
    StreamClient &operator=(const StreamClient &) = delete;

    // Queues one numbered 10 ms block; false once the stream has ended.
    bool send(std::uint64_t sequence, const float *block);
    // Cuts the connection as a network fault would (no close handshake).
    void cut(const std::string &why);

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
    std::thread thread_;
    const std::uint64_t generation_;
};

} // namespace kolta::engine
