#pragma once

#include <cstdint>
#include <string>

#include <kolta/transcript_types.h>

namespace kolta::engine {

// Stream time in seconds with 3 decimals, e.g. "1.230" (locale-independent).
std::string format_seconds(std::uint64_t frames, std::uint32_t rate);

// A duration in seconds with 2 decimals, e.g. "1.24".
std::string format_duration(std::uint64_t frames, std::uint32_t rate);

// SNR in dB mapped to a confidence: 0 dB -> 0, 30 dB or more -> 1.
double confidence_from_snr(double snr_db);

// One TRANSCRIPTION frame holding one complete segment, used by the
// synthetic transcript switches.
TextFrame make_synthetic_transcript(std::uint32_t index, std::uint64_t total,
                                    const std::string &language);

} // namespace kolta::engine
