#include "block_model.h"

#include "denoiser.h"
#include "model_selection.h"

namespace kolta::engine {

namespace {

class Passthrough final : public BlockModel {
public:
    void process(float *, std::size_t) override {}
};

} // namespace

std::unique_ptr<BlockModel> make_block_model(const std::string &model,
                                             StreamFormat format) {
    if (model == kDenoiseModel) {
        return std::make_unique<Denoiser>(format);
    }
    return std::make_unique<Passthrough>();
}

} // namespace kolta::engine
