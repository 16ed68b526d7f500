#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/stream_codec.h"

namespace kolta::engine {

// Where a stream goes and what it asks for (docs/protocol.md, "Audio streams").
struct StreamRequest {
    std::string service_url; // the signed-in service: http://host:port[/base]
    std::string token;
    std::string model;
    std::uint32_t rate = 0;
    std::uint16_t channels = 0;
    StreamCodec codec = StreamCodec::kL16;
    std::string language_in;
    std::string language_out;
};

// The first message: the JSON config.
std::string stream_config_message(const StreamRequest &request);

// A binary message: the sequence number (8 bytes, little-endian), then one
// 10 ms block in the stream's codec.
std::string audio_message(std::uint64_t sequence, const float *block,
                          BlockEncoder &encoder);

struct AudioAnswer {
    std::uint64_t sequence = 0;
    std::vector<float> values;
};
// Nothing for a message too short to hold a sequence number or whose audio
// does not decode.
std::optional<AudioAnswer> read_audio_answer(const std::string &message,
                                             BlockDecoder &decoder);

} // namespace kolta::engine
