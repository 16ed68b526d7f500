#pragma once

#include <optional>
#include <string>

#include <kolta/audio_types.h>

#include "base/model_names.h"

namespace kolta::engine {

// The model a processor runs, and whether language translation is on.
struct ModelChoice {
    std::string model; // also the entitlement it needs
    bool translation = false;
};

// Either a choice or the reason no processor can be made for these
// attributes (entitlements aside).
struct ModelSelection {
    std::optional<ModelChoice> choice;
    std::string refusal;
};

ModelSelection select_model(const ProcessorAttributes &attrs);

} // namespace kolta::engine
