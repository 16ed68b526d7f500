#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace kolta::engine {

// Cuts an interleaved stream into fixed blocks, hands each block to a
// processing function and releases the processed stream a fixed latency
// behind the input.
//
// After real audio, frames released in total == max(0, frames in - latency).
// Silence (a drain) is not added to the stream at once: it is remembered and
// flushes the buffered tail (a partial block is processed padded with zeros;
// only its real frames are released). The remembered silence enters the
// stream just before the next real audio, so nothing is lost or repeated.
class BlockStream {
public:
    // `block` holds block_frames interleaved frames; only the first `valid`
    // are stream audio (the rest is padding when a drain cuts a block short).
    using BlockFn = std::function<void(float *block, std::size_t valid)>;

    BlockStream(std::size_t channels, std::size_t block_frames,
                std::size_t latency_frames, BlockFn process);

    // `out` receives the released values (it is cleared first).
    void push_audio(const float *values, std::size_t frames, std::vector<float> &out);
    void push_silence(std::size_t frames, std::vector<float> &out);

    std::size_t buffered_frames() const;

private:
    void feed(const float *values, std::size_t frames); // nullptr: zeros
    void process_block(std::size_t valid);
    void release(std::size_t frames, std::vector<float> &out);

    std::size_t channels_;
    std::size_t block_frames_;
    std::size_t latency_frames_;
    BlockFn process_;

    std::vector<float> block_;
    std::size_t block_fill_ = 0; // frames
    std::vector<float> ready_;   // processed values not yet released
    std::uint64_t frames_in_ = 0;
    std::uint64_t frames_out_ = 0;
    std::uint64_t pending_silence_ = 0;
};

} // namespace kolta::engine
