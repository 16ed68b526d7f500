#pragma once

#include <memory>
#include <string>

#include "base/audio_format.h"
#include "base/engine_options.h"
#include "denoise/block_model.h"

namespace kolta::engine {

// The audio model behind a model name: "denoise" reduces noise (speexdsp
// then WebRTC by default; speexdsp alone at the rates WebRTC does not run
// at), every other model leaves the audio unchanged.
// Whether the model's audio differs from its input ("denoise" only).
bool model_changes_audio(const std::string &model);

std::unique_ptr<BlockModel>
make_block_model(const std::string &model, StreamFormat format,
                 Suppressor suppressor = Suppressor::kSpeexThenWebRtc);

} // namespace kolta::engine
