#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "service_options.h"

namespace kolta::engine {
struct EngineOptions;
class BlockModel;
class BlockDecoder;
class BlockEncoder;
} // namespace kolta::engine

namespace kolta::server {

class SignInService;

// Close codes of /v1/stream (docs/protocol.md, "Audio streams").
enum class StreamClose : std::uint16_t {
    kDone = 1000,
    kGoingAway = 1001, // the service is stopping: reconnect, to another instance

    kWrongFrameType = 1003,
    kBadAudio = 1007,
    kInternal = 1011,
    kBadConfig = 4400,
    kTokenRefused = 4401,
    kNotEntitled = 4403,
    kIdle = 4408,
    kTooBig = 4413,
    kTooManySessions = 4429,
};

struct StreamRefusal {
    StreamClose code = StreamClose::kBadConfig;
    std::string reason; // at most kMaxCloseReason bytes
};

// A close frame's reason fits in 123 bytes (RFC 6455, 5.5).
inline constexpr std::size_t kMaxCloseReason = 123;

struct StreamConfig {
    std::string token;
    std::string model;
    std::string codec; // "l16" or "opus"
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    std::string language_in;
    std::string language_out;
    bool transcripts = true; // false: the client declined them
};

// The first message: a JSON object, checked, its token verified and the
// model held against what the token grants.
std::variant<StreamConfig, StreamRefusal> read_stream_config(std::string_view message,
                                                             SignInService &sign_in);

// How many streams each token has open; a token at its cap opens no more.
class StreamSessionCount {
public:
    explicit StreamSessionCount(std::size_t cap) : cap_(cap) {}
    bool try_open(const std::string &token);
    void close(const std::string &token);

private:
    const std::size_t cap_;
    std::mutex mutex_;
    std::map<std::string, std::size_t> open_;
};

// One accepted stream: binary messages of an 8-byte little-endian sequence
// number and whole 10 ms blocks of 16-bit PCM (or one Opus packet of one
// block), each answered with the same sequence number and the processed
// blocks in the same codec.
class StreamProcessor {
public:
    explicit StreamProcessor(const StreamConfig &config);
    ~StreamProcessor();

    StreamProcessor(const StreamProcessor &) = delete;
    StreamProcessor &operator=(const StreamProcessor &) = delete;

    std::variant<std::string, StreamRefusal> process(std::string_view message);

    // Called with each block once processed (the stream's transcripts).
    using BlockObserver = std::function<void(const float *block, std::size_t frames)>;
    void observe_blocks(BlockObserver observer) { observer_ = std::move(observer); }

private:
    std::size_t block_values_;
    std::size_t block_frames_;
    std::unique_ptr<engine::BlockDecoder> decoder_;
    std::unique_ptr<engine::BlockEncoder> encoder_;
    std::unique_ptr<engine::BlockModel> model_;
    std::optional<std::uint64_t> last_sequence_;
    BlockObserver observer_;
};

inline constexpr std::size_t kSequenceBytes = 8;

// The engine's options (suppressor, transcript source) a new stream runs
// with: read from the environment for each stream, as the engine reads them
// for each processor; the defaults when a value is not one of theirs.
engine::EngineOptions stream_engine_options();

} // namespace kolta::server
