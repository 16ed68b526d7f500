#include "speech/speech_transcriber.h"

namespace kolta::engine {

SpeechTranscriber::SpeechTranscriber(std::size_t channels, SpeechSetup setup)
    : channels_(channels), vad_(setup.rate, channels), worker_(std::move(setup)) {}

std::vector<float> SpeechTranscriber::mono_mix(const float *block, std::size_t frames,
                                               bool analysed) const {
    std::vector<float> mono(frames, 0.0f);
    if (!analysed) {
        return mono;
    }
    for (std::size_t i = 0; i < frames; ++i) {
        float sum = 0.0f;
        for (std::size_t c = 0; c < channels_; ++c) {
            sum += block[i * channels_ + c];
        }
        mono[i] = sum / static_cast<float>(channels_);
    }
    return mono;
}

void SpeechTranscriber::observe(const float *block, std::size_t frames, bool analysed) {
    vad_.push(block, frames, analysed);
    worker_.audio(mono_mix(block, frames, analysed), vad_.position(), vad_.snr_db());
}

void SpeechTranscriber::finish_utterance() {
    vad_.finish();
    worker_.end_utterance(vad_.position(), vad_.snr_db());
}

} // namespace kolta::engine
