#include "block_model.h"

#include "denoiser.h"
#include "model_selection.h"
#include "webrtc_denoiser.h"

namespace kolta::engine {

namespace {

class Passthrough final : public BlockModel {
public:
    void process(float *, std::size_t) override {}
};

} // namespace

std::unique_ptr<BlockModel> make_block_model(const std::string &model,
                                             StreamFormat format, Suppressor suppressor) {
    if (model != kDenoiseModel) {
        return std::make_unique<Passthrough>();
    }
    if (suppressor == Suppressor::kWebRtc && WebRtcDenoiser::supports_rate(format.rate)) {
        return std::make_unique<WebRtcDenoiser>(format);
    }
    return std::make_unique<Denoiser>(format);
}

} // namespace kolta::engine
