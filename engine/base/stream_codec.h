#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/audio_format.h"

namespace kolta::engine {

// How a stream's 10 ms blocks travel (docs/protocol.md, "Audio streams"):
// 16-bit PCM, or one Opus packet per block.
enum class StreamCodec : std::uint8_t { kL16, kOpus };

const char *stream_codec_name(StreamCodec codec);
std::optional<StreamCodec> stream_codec_named(std::string_view name);
// Opus codes 8, 12, 16, 24 and 48 kHz only.
bool opus_allows_rate(std::uint32_t rate);
// 16-bit PCM when asked for, or where Opus cannot go; Opus otherwise.
StreamCodec choose_stream_codec(std::uint32_t rate, bool pcm16);

// Which way audio is coded: the service's model is fed what the client coded
// and needs it finer than the listener does.
enum class StreamLeg : std::uint8_t { kToService, kFromService };

// One direction of one stream: Opus keeps state from block to block, so each
// direction of each stream has an encoder and a decoder of its own.
class BlockEncoder {
public:
    BlockEncoder(StreamCodec codec, StreamFormat format, StreamLeg leg);
    ~BlockEncoder();
    BlockEncoder(const BlockEncoder &) = delete;
    BlockEncoder &operator=(const BlockEncoder &) = delete;

    // Appends one 10 ms block (block_frames interleaved frames) to `out`.
    void encode(const float *block, std::string &out);
    // Frames the decoded audio lags the encoded audio (Opus's lookahead).
    std::size_t delay_frames() const { return delay_frames_; }

    struct Opus;

private:
    StreamCodec codec_;
    std::size_t block_values_;
    std::size_t delay_frames_ = 0;
    std::unique_ptr<Opus> opus_;
};

class BlockDecoder {
public:
    BlockDecoder(StreamCodec codec, StreamFormat format);
    ~BlockDecoder();
    BlockDecoder(const BlockDecoder &) = delete;
    BlockDecoder &operator=(const BlockDecoder &) = delete;

    // L16: whole blocks; Opus: one packet of one block. Nothing for a payload
    // that is neither.
    std::optional<std::vector<float>> decode(std::string_view payload);

    struct Opus;

private:
    StreamCodec codec_;
    std::size_t block_frames_;
    std::size_t block_values_;
    std::unique_ptr<Opus> opus_;
};

// What the codec adds to a stream's delay, both ways: the audio is coded on
// the way to the service and on the way back.
std::size_t round_trip_codec_delay(StreamCodec codec, StreamFormat format);

} // namespace kolta::engine
