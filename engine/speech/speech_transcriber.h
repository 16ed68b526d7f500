#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "speech/energy_vad.h"
#include "speech/speech_worker.h"
#include "speech/transcript_producer.h"

namespace kolta::engine {

// Hands the stream's audio (mono) to a SpeechWorker, whose recogniser cuts
// the utterances. The energy detector only measures the signal-to-noise
// ratio behind each transcript's probability. Only the detector and a copy
// run on the process_frame path.
class SpeechTranscriber final : public TranscriptProducer {
public:
    SpeechTranscriber(std::size_t channels, SpeechSetup setup);

    void observe(const float *block, std::size_t frames, bool analysed) override;
    void finish_utterance() override;
    void abandon() override { worker_.abandon(); }

private:
    std::vector<float> mono_mix(const float *block, std::size_t frames,
                                bool analysed) const;

    std::size_t channels_;
    EnergyVad vad_;
    SpeechWorker worker_;
};

} // namespace kolta::engine
