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

// The audio model behind a model name: "denoise" reduces noise (speexdsp
// then WebRTC by default; speexdsp alone at the rates WebRTC does not run
// at), every other model leaves the audio unchanged.
std::unique_ptr<BlockModel>
make_block_model(const std::string &model, StreamFormat format,
                 Suppressor suppressor = Suppressor::kSpeexThenWebRtc);

} // namespace kolta::engine
