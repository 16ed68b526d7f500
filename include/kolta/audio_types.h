#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "transcript_types.h"

namespace kolta {

// Interleaved IEEE float32 PCM; the record never owns its samples.
struct AudioFrame {
    float *samples = nullptr;
    std::uint32_t frame_count = 0;
};

enum class PipelineState : std::int32_t {
    kUnknown = 0,
    kTrying = 1,
    kRunning = 2,
    kNotRunning = 3,
};

struct CloudInferencingParams {
    bool use_pcm16 = false;
};

struct AudioAttributes {
    std::uint32_t sampling_rate = 16000;
    std::uint16_t channels = 1;
    std::string model_name;
    bool use_cloud_inferencing = true;
    CloudInferencingParams cloud_inferencing_params;
    std::function<void(PipelineState)> audio_pipeline_state_notify;
};

struct ASRAttributes {
    bool redaction = false;
    std::function<void(TextFrame &&)> callback;
};

struct ProcessorAttributes {
    AudioAttributes audio_attributes;
    std::optional<ASRAttributes> asr_attributes;
    std::optional<LanguageTranslationConfig> lt_config;
};

} // namespace kolta
