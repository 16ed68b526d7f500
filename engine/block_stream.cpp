#include "block_stream.h"

#include <algorithm>
#include <stdexcept>

namespace kolta::engine {

BlockStream::BlockStream(std::size_t channels, std::size_t block_frames,
                         std::size_t latency_frames, BlockFn process)
    : channels_(channels), block_frames_(block_frames), latency_frames_(latency_frames),
      process_(std::move(process)), block_(channels * block_frames, 0.0f) {
    if (channels == 0 || block_frames == 0 || latency_frames < block_frames) {
        throw std::logic_error("latency must cover at least one block");
    }
}

void BlockStream::push_audio(const float *values, std::size_t frames,
                             std::vector<float> &out) {
    out.clear();
    if (pending_silence_ > 0) {
        const std::uint64_t silence = pending_silence_;
        pending_silence_ = 0;
        feed(nullptr, static_cast<std::size_t>(silence));
    }
    feed(values, frames);
    const std::uint64_t due =
        frames_in_ > latency_frames_ ? frames_in_ - latency_frames_ : 0;
    if (due > frames_out_) {
        release(static_cast<std::size_t>(due - frames_out_), out);
    }
}

void BlockStream::push_silence(std::size_t frames, std::vector<float> &out) {
    out.clear();
    pending_silence_ += frames;
    if (block_fill_ > 0) {
        std::fill(block_.begin() + static_cast<std::ptrdiff_t>(block_fill_ * channels_),
                  block_.end(), 0.0f);
        process_block(block_fill_);
    }
    release(std::min(frames, ready_.size() / channels_), out);
}

std::size_t BlockStream::buffered_frames() const {
    return ready_.size() / channels_ + block_fill_;
}

void BlockStream::feed(const float *values, std::size_t frames) {
    while (frames > 0) {
        const std::size_t take = std::min(frames, block_frames_ - block_fill_);
        float *dest = block_.data() + block_fill_ * channels_;
        if (values != nullptr) {
            std::copy(values, values + take * channels_, dest);
            values += take * channels_;
        } else {
            std::fill(dest, dest + take * channels_, 0.0f);
        }
        block_fill_ += take;
        frames -= take;
        frames_in_ += take;
        if (block_fill_ == block_frames_) {
            process_block(block_frames_);
        }
    }
}

void BlockStream::process_block(std::size_t valid) {
    process_(block_.data(), valid);
    ready_.insert(ready_.end(), block_.begin(),
                  block_.begin() + static_cast<std::ptrdiff_t>(valid * channels_));
    block_fill_ = 0;
}

void BlockStream::release(std::size_t frames, std::vector<float> &out) {
    const auto count = static_cast<std::ptrdiff_t>(frames * channels_);
    out.assign(ready_.begin(), ready_.begin() + count);
    ready_.erase(ready_.begin(), ready_.begin() + count);
    frames_out_ += frames;
}

} // namespace kolta::engine
