#include "speech/placeholder_transcriber.h"

#include "speech/transcript_text.h"

namespace kolta::engine {

namespace {

constexpr char kTag[] = "[reference engine] ";
constexpr char kArrow[] =
    "\xE2\x86\x92"; // U+2192, spelled in bytes for any source charset

// A frame of one utterance, before its segment is added.
TextFrame frame_for(TranscriptType type, std::uint32_t utterance_idx,
                    const std::string &language) {
    TextFrame frame;
    frame.type_ = type;
    frame.transcript_data_.utterance_idx = utterance_idx;
    frame.transcript_data_.language_code_ = language;
    return frame;
}

} // namespace

PlaceholderTranscriber::PlaceholderTranscriber(std::uint32_t rate, std::size_t channels,
                                               std::string language_in,
                                               std::string language_out, Sink sink)
    : rate_(rate), language_in_(std::move(language_in)),
      language_out_(std::move(language_out)), sink_(std::move(sink)),
      vad_(rate, channels), partial_interval_(rate / 2) {}

void PlaceholderTranscriber::observe(const float *block, std::size_t frames,
                                     bool analysed) {
    on_event(vad_.push(block, frames, analysed));
    // Partials only on voiced blocks: the hangover is not speech.
    while (vad_.in_speech() && vad_.last_block_voiced() &&
           vad_.position() >= next_partial_) {
        emit_partial();
        next_partial_ += partial_interval_;
    }
}

void PlaceholderTranscriber::finish_utterance() {
    on_event(vad_.finish());
}

void PlaceholderTranscriber::on_event(const EnergyVad::Event &event) {
    if (event.kind == EnergyVad::Event::Kind::kStart) {
        next_partial_ = event.start + partial_interval_;
    } else if (event.kind == EnergyVad::Event::Kind::kEnd) {
        emit_final(event);
    }
}

void PlaceholderTranscriber::emit_partial() {
    const std::uint64_t start = vad_.utterance_start();
    const std::uint64_t now = vad_.position();
    TextFrame frame =
        frame_for(TranscriptType::kTranscription, utterance_idx_, language_in_);
    frame.transcript_data_.partial.push_back(
        segment(start, now, vad_.snr_db(),
                std::string(kTag) + "utterance " + std::to_string(utterance_idx_) +
                    " (partial): " + format_duration(now - start, rate_) +
                    " s of speech so far (" + language_in_ + ")"));
    sink_(std::move(frame));
}

void PlaceholderTranscriber::emit_final(const EnergyVad::Event &event) {
    const std::string index = std::to_string(utterance_idx_);
    const std::string duration = format_duration(event.end - event.start, rate_);

    const auto complete = [&](TranscriptType type, const std::string &language,
                              std::string text) {
        TextFrame frame = frame_for(type, utterance_idx_, language);
        frame.transcript_data_.complete.push_back(
            segment(event.start, event.end, event.snr_db, std::move(text)));
        return frame;
    };
    TextFrame transcription =
        complete(TranscriptType::kTranscription, language_in_,
                 std::string(kTag) + "utterance " + index + ": " + duration +
                     " s of speech (" + language_in_ + ")");
    TextFrame translation =
        complete(TranscriptType::kTranslation, language_out_,
                 std::string(kTag) + "utterance " + index + " " + kArrow + " " +
                     language_out_ + ": " + duration + " s of speech");

    ++utterance_idx_;
    sink_(std::move(transcription));
    sink_(std::move(translation));
}

TranscriptSegment PlaceholderTranscriber::segment(std::uint64_t start, std::uint64_t end,
                                                  double snr_db, std::string text) const {
    TranscriptSegment segment;
    segment.start = format_seconds(start, rate_);
    segment.end = format_seconds(end, rate_);
    segment.probability = confidence_from_snr(snr_db);
    segment.text = std::move(text);
    return segment;
}

} // namespace kolta::engine
