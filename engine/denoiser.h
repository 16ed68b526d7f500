#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "block_model.h"

struct SpeexPreprocessState_;

namespace kolta::engine {

// Noise suppression with one speexdsp preprocessor per channel.
class Denoiser final : public BlockModel {
public:
    explicit Denoiser(StreamFormat format);
    void process(float *block, std::size_t frames) override;

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
