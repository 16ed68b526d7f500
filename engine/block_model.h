#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "audio_format.h"
#include "engine_options.h"

namespace kolta::engine {

// An audio model working in place on one interleaved 10 ms block.
class BlockModel {
public:
    virtual ~BlockModel() = default;
    virtual void process(float *block, std::size_t frames) = 0;
};

// The audio model behind a model name: "denoise" reduces noise (with WebRTC
// at the rates it runs at, else or when asked with speexdsp), every other
// model leaves the audio unchanged.
std::unique_ptr<BlockModel> make_block_model(const std::string &model,
                                             StreamFormat format,
                                             Suppressor suppressor = Suppressor::kWebRtc);

} // namespace kolta::engine
