#pragma once

#include <string_view>

namespace kolta::engine {

// The model names a key can be entitled to and a processor can run.
inline constexpr char kPassthroughModel[] = "passthrough";
inline constexpr char kDenoiseModel[] = "denoise";
inline constexpr char kTranslateModel[] = "translate";

// Whether a model turns speech into text (transcripts, translations) as well.
inline bool produces_text(std::string_view model) {
    return model == kTranslateModel;
}

} // namespace kolta::engine
