#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <kolta/transcript_types.h>

#include "speech/energy_vad.h"
#include "speech/transcript_producer.h"

namespace kolta::engine {

// The placeholder "translation model": finds utterances with the energy VAD
// and reports them as transcripts that describe the audio honestly (no
// recognised words). Partial transcripts come about every 500 ms of an
// utterance; its end brings a TRANSCRIPTION then a TRANSLATION frame.
class PlaceholderTranscriber final : public TranscriptProducer {
public:
    using Sink = std::function<void(TextFrame &&)>;

    PlaceholderTranscriber(std::uint32_t rate, std::size_t channels,
                           std::string language_in, std::string language_out, Sink sink);

    void observe(const float *block, std::size_t frames, bool analysed) override;
    void finish_utterance() override;

private:
    void on_event(const EnergyVad::Event &event);
    void emit_partial();
    void emit_final(const EnergyVad::Event &event);
    TranscriptSegment segment(std::uint64_t start, std::uint64_t end, double snr_db,
                              std::string text) const;

    std::uint32_t rate_;
    std::string language_in_;
    std::string language_out_;
    Sink sink_;
    EnergyVad vad_;
    std::uint64_t partial_interval_;
    std::uint64_t next_partial_ = 0;
    std::uint32_t utterance_idx_ = 0;
};

} // namespace kolta::engine
