#pragma once

#include <string>

namespace kolta::engine {

// Where transcripts come from: the recogniser (with the translator), or the
// energy detector's placeholder texts, which tests select for exact texts.
enum class TranscriptSource { kRecogniser, kPlaceholder };
// Which noise suppressor "denoise" runs: speexdsp then WebRTC by default;
// either alone stays selectable for side-by-side measurement.
enum class Suppressor { kSpeexThenWebRtc, kWebRtc, kSpeexDsp };

// What the cloud path does: stream the audio to the service over a
// WebSocket (the default: latency follows the network), or simulate the
// pipeline in process (float-exact with a fixed 20 ms latency, for
// measurements that need the processing without a network).
enum class CloudMode { kStream, kSimulated };

struct EngineOptions {
    TranscriptSource transcripts = TranscriptSource::kRecogniser;
    Suppressor suppressor = Suppressor::kSpeexThenWebRtc;
    CloudMode cloud = CloudMode::kStream;
};

inline constexpr char kTranscriptsVariable[] = "KOLTA_ENGINE_TRANSCRIPTS";
inline constexpr char kSuppressorVariable[] = "KOLTA_ENGINE_SUPPRESSOR";
inline constexpr char kCloudVariable[] = "KOLTA_ENGINE_CLOUD";

// Reads the variables when a processor is created; unset means the
// default. Throws std::invalid_argument naming a bad value.
EngineOptions engine_options_from_environment();

} // namespace kolta::engine
