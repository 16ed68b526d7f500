#include "base/engine_options.h"

#include <stdexcept>

#include "base/env_vars.h"

namespace kolta::engine {

namespace {

template <typename Value> struct Choice {
    const char *name;
    Value value;
};

template <typename Value, std::size_t N>
Value read_choice(const char *variable, const Choice<Value> (&choices)[N],
                  Value fallback) {
    const auto text = read_environment(variable);
    if (!text || text->empty()) {
        return fallback;
    }
    std::string expected;
    for (const auto &choice : choices) {
        if (*text == choice.name) {
            return choice.value;
        }
        expected += (expected.empty() ? "" : " or ") + std::string(choice.name);
    }
    throw std::invalid_argument(std::string(variable) + ": bad value '" + *text +
                                "' (expected " + expected + ")");
}

} // namespace

EngineOptions engine_options_from_environment() {
    static const Choice<TranscriptSource> sources[] = {
        {"recogniser", TranscriptSource::kRecogniser},
        {"placeholder", TranscriptSource::kPlaceholder}};
    static const Choice<Suppressor> suppressors[] = {
        {"speexdsp+webrtc", Suppressor::kSpeexThenWebRtc},
        {"webrtc", Suppressor::kWebRtc},
        {"speexdsp", Suppressor::kSpeexDsp}};
    static const Choice<CloudMode> clouds[] = {{"simulated", CloudMode::kSimulated},
                                               {"stream", CloudMode::kStream}};
    EngineOptions options;
    options.transcripts =
        read_choice(kTranscriptsVariable, sources, TranscriptSource::kRecogniser);
    options.suppressor =
        read_choice(kSuppressorVariable, suppressors, Suppressor::kSpeexThenWebRtc);
    options.cloud = read_choice(kCloudVariable, clouds, CloudMode::kStream);
    return options;
}

} // namespace kolta::engine
