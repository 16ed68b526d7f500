#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <kolta/kolta_sdk.h>

#include "base/audio_format.h"
#include "base/engine_options.h"
#include "client/stream_messages.h"
#include "faults/fault_switches.h"
#include "processor/model_selection.h"

namespace kolta::engine {

class Logger;

// Everything a processor keeps from its creation; it never refers back to
// the SDK object.
struct ProcessorSetup {
    std::uint64_t id = 0;
    StreamFormat format;
    ModelChoice choice;
    bool cloud = true;
    bool streaming = false; // the cloud path streams to the service
    // The cloud path's stream; none without a signed-in service (the audio
    // then passes through unprocessed, as in an outage).
    std::optional<StreamRequest> stream;
    std::optional<LanguageTranslationConfig> lt_config;
    std::function<void(PipelineState)> on_state;
    FaultSwitches faults;
    EngineOptions options;
    std::string models_dir;
    std::shared_ptr<Logger> logger;
};

} // namespace kolta::engine
