#pragma once

#include <cstddef>
#include <cstdint>

namespace kolta::engine {

// The sampling rate and channel count of a processor's stream, with the
// frame sizes derived from them (frames are per channel).
struct StreamFormat {
    std::uint32_t rate = 16000;
    std::uint16_t channels = 1;

    // 10 ms: the unit every model works in.
    std::size_t block_frames() const { return rate / 100; }
    // 20 ms: the fixed latency, and the shortest accepted chunk.
    std::size_t latency_frames() const { return rate / 50; }
    std::size_t min_chunk_values() const { return latency_frames() * channels; }
};

// Throws std::invalid_argument naming the offending value.
void validate_format(std::uint32_t rate, std::uint16_t channels);

} // namespace kolta::engine
