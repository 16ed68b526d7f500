#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <kolta/transcript_types.h>

namespace kolta::engine {
class TranscriptProducer;
}

namespace kolta::server {

struct StreamConfig;
class ServiceLog;

// Whether a stream gets transcripts: its model produces text and the client
// did not decline them.
bool wants_transcripts(const StreamConfig &config);

// The text messages of one transcript record, one per segment
// (docs/protocol.md, "Audio streams").
std::vector<std::string> transcript_messages(const TextFrame &frame);

// Runs the engine's transcript producer on a stream's processed audio.
// Each transcript goes to `send` as a text message, from the producer's own
// thread, until this object is destroyed; `send` must not block.
class StreamTranscripts {
public:
    using Send = std::function<void(std::string message)>;

    // Throws when the producer cannot be started.
    StreamTranscripts(const StreamConfig &config, Send send,
                      std::shared_ptr<ServiceLog> log);
    // Returns at once: the producer drops the audio it has not recognised
    // yet and ends on a thread of its own, so that a stream's end never holds
    // up a thread serving connections.
    ~StreamTranscripts();

    StreamTranscripts(const StreamTranscripts &) = delete;
    StreamTranscripts &operator=(const StreamTranscripts &) = delete;

    void observe(const float *block, std::size_t frames);

private:
    // Closed (send emptied) by the destructor, under the mutex.
    struct Gate {
        std::mutex mutex;
        Send send;
    };

    std::shared_ptr<Gate> gate_;
    std::unique_ptr<engine::TranscriptProducer> producer_;
};

} // namespace kolta::server
