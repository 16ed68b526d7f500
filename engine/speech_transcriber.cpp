#include "speech_transcriber.h"

namespace kolta::engine {

namespace {

constexpr std::uint32_t kLeadInMs = 300;

} // namespace

SpeechTranscriber::SpeechTranscriber(std::size_t channels, SpeechSetup setup)
    : channels_(channels), rate_(setup.rate), vad_(setup.rate, channels),
      lead_in_blocks_(kLeadInMs / 10), worker_(std::move(setup)) {}

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
    const EnergyVad::Event event = vad_.push(block, frames, analysed);
    lead_in_.push_back(Block{mono_mix(block, frames, analysed), vad_.position()});
    if (event.kind == EnergyVad::Event::Kind::kStart) {
        worker_.begin_utterance(event.start);
    }
    if (vad_.in_speech() || event.kind == EnergyVad::Event::Kind::kEnd) {
        for (Block &held : lead_in_) {
            worker_.audio(std::move(held.mono), held.position, vad_.snr_db());
        }
        lead_in_.clear();
    } else if (lead_in_.size() > lead_in_blocks_) {
        lead_in_.pop_front();
    }
    if (event.kind == EnergyVad::Event::Kind::kEnd) {
        worker_.end_utterance(event.end, event.snr_db);
    }
}

void SpeechTranscriber::finish_utterance() {
    const EnergyVad::Event event = vad_.finish();
    if (event.kind == EnergyVad::Event::Kind::kEnd) {
        worker_.end_utterance(event.end, event.snr_db);
    }
}

} // namespace kolta::engine
