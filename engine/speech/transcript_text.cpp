#include "speech/transcript_text.h"

#include <algorithm>
#include <cstdio>

namespace kolta::engine {

namespace {

std::string fixed_point(std::uint64_t frames, std::uint32_t rate, std::uint64_t scale,
                        int decimals) {
    const std::uint64_t units = (frames * scale + rate / 2) / rate;
    char text[48];
    std::snprintf(text, sizeof text, "%llu.%0*llu",
                  static_cast<unsigned long long>(units / scale), decimals,
                  static_cast<unsigned long long>(units % scale));
    return text;
}

} // namespace

std::string format_seconds(std::uint64_t frames, std::uint32_t rate) {
    return fixed_point(frames, rate, 1000, 3);
}

std::string format_duration(std::uint64_t frames, std::uint32_t rate) {
    return fixed_point(frames, rate, 100, 2);
}

double confidence_from_snr(double snr_db) {
    return std::clamp(snr_db / 30.0, 0.0, 1.0);
}

TextFrame make_synthetic_transcript(std::uint32_t index, std::uint64_t total,
                                    const std::string &language) {
    TranscriptSegment segment;
    segment.start = "0.000";
    segment.end = "0.000";
    segment.probability = 1.0;
    segment.text = "[reference engine] synthetic transcript " +
                   std::to_string(index + 1) + " of " + std::to_string(total);

    TextFrame frame;
    frame.type_ = TranscriptType::kTranscription;
    frame.transcript_data_.complete.push_back(std::move(segment));
    frame.transcript_data_.utterance_idx = index;
    frame.transcript_data_.language_code_ = language;
    return frame;
}

} // namespace kolta::engine
