#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include <kolta/transcript_types.h>

#include "energy_vad.h"

namespace kolta::engine {

// Turns a processor's stream into transcripts; fed every processed block on
// the process_frame path.
class TranscriptProducer {
public:
    virtual ~TranscriptProducer() = default;
    // `analysed` false: the block's audio is unknown and counts as silence.
    virtual void observe(const float *block, std::size_t frames, bool analysed) = 0;
    // Ends a running utterance (the stream was drained).
    virtual void finish_utterance() = 0;
};

// The placeholder "translation model": finds utterances with the energy VAD
// and reports them as transcripts that describe the audio honestly (no
// recognised words). Partial transcripts come about every 500 ms of an
// utterance; its end brings a TRANSCRIPTION then a TRANSLATION frame.
class Transcriber final : public TranscriptProducer {
public:
    using Sink = std::function<void(TextFrame &&)>;

    Transcriber(std::uint32_t rate, std::size_t channels, std::string language_in,
                std::string language_out, Sink sink);

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
