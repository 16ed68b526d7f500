#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "base/audio_format.h"
#include "denoise/block_model.h"

struct SpeexPreprocessState_;

namespace kolta::engine {

// Noise suppression with one speexdsp preprocessor per channel.
class SpeexDenoiser final : public BlockModel {
public:
    explicit SpeexDenoiser(StreamFormat format);
    void process(float *block, std::size_t frames) override;
    // One block: its overlap-add analyses each block with the one before and
    // completes the earlier one.
    std::size_t delay_frames() const override { return format_.block_frames(); }

private:
    struct StateDeleter {
        void operator()(SpeexPreprocessState_ *state) const;
    };
    using StatePtr = std::unique_ptr<SpeexPreprocessState_, StateDeleter>;

    StreamFormat format_;
    std::vector<StatePtr> states_;
    std::vector<std::int16_t> scratch_;
};

} // namespace kolta::engine
