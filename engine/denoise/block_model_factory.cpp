#include "denoise/block_model_factory.h"

#include "base/model_names.h"
#include "denoise/speex_denoiser.h"
#include "denoise/webrtc_denoiser.h"

namespace kolta::engine {

namespace {

class Passthrough final : public BlockModel {
public:
    void process(float *, std::size_t) override {}
    std::size_t delay_frames() const override { return 0; }
};

// Runs its models one after the other on each block.
class Chain final : public BlockModel {
public:
    Chain(std::unique_ptr<BlockModel> first, std::unique_ptr<BlockModel> second)
        : first_(std::move(first)), second_(std::move(second)) {}
    void process(float *block, std::size_t frames) override {
        first_->process(block, frames);
        second_->process(block, frames);
    }
    std::size_t delay_frames() const override {
        return first_->delay_frames() + second_->delay_frames();
    }

private:
    std::unique_ptr<BlockModel> first_;
    std::unique_ptr<BlockModel> second_;
};

} // namespace

bool model_changes_audio(const std::string &model) {
    return model == kDenoiseModel;
}

std::unique_ptr<BlockModel> make_block_model(const std::string &model,
                                             StreamFormat format, Suppressor suppressor) {
    if (!model_changes_audio(model)) {
        return std::make_unique<Passthrough>();
    }
    if (suppressor == Suppressor::kSpeexDsp ||
        !WebRtcDenoiser::supports_rate(format.rate)) {
        return std::make_unique<SpeexDenoiser>(format);
    }
    if (suppressor == Suppressor::kWebRtc) {
        return std::make_unique<WebRtcDenoiser>(format);
    }
    // speexdsp first: WebRTC, given less noise, attenuates the speech less
    // (about 2 dB on pink noise at 5 dB SNR alone, under 1 dB after speexdsp).
    return std::make_unique<Chain>(std::make_unique<SpeexDenoiser>(format),
                                   std::make_unique<WebRtcDenoiser>(format));
}

} // namespace kolta::engine
