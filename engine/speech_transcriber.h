#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "energy_vad.h"
#include "speech_worker.h"
#include "transcriber.h"

namespace kolta::engine {

// Cuts utterances with the energy detector and hands their audio (mono, with
// up to 300 ms before the onset so the recogniser hears it begin) to a
// SpeechWorker. Only the detector and a copy run on the process_frame path.
class SpeechTranscriber final : public TranscriptProducer {
public:
    SpeechTranscriber(std::size_t channels, SpeechSetup setup);

    void observe(const float *block, std::size_t frames, bool analysed) override;
    void finish_utterance() override;

private:
    struct Block {
        std::vector<float> mono;
        std::uint64_t position; // stream position at its end
    };

    std::vector<float> mono_mix(const float *block, std::size_t frames,
                                bool analysed) const;

    std::size_t channels_;
    std::uint32_t rate_;
    EnergyVad vad_;
    std::deque<Block> lead_in_;
    std::size_t lead_in_blocks_;
    SpeechWorker worker_;
};

} // namespace kolta::engine
