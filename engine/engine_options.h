#pragma once

#include <string>

namespace kolta::engine {

// Where transcripts come from: the recogniser (with the translator), or the
// energy detector's placeholder texts, which tests select for exact texts.
enum class TranscriptSource { kRecogniser, kPlaceholder };
// Which noise suppressor "denoise" runs: speexdsp then WebRTC by default;
// either alone stays selectable for side-by-side measurement.
enum class Suppressor { kSpeexThenWebRtc, kWebRtc, kSpeexDsp };

struct EngineOptions {
    TranscriptSource transcripts = TranscriptSource::kRecogniser;
    Suppressor suppressor = Suppressor::kSpeexThenWebRtc;
};

inline constexpr char kTranscriptsVariable[] = "KOLTA_ENGINE_TRANSCRIPTS";
inline constexpr char kSuppressorVariable[] = "KOLTA_ENGINE_SUPPRESSOR";

// Reads both variables when a processor is created; unset means the
// default. Throws std::invalid_argument naming a bad value.
EngineOptions engine_options_from_environment();

} // namespace kolta::engine
