#include "speech/energy_vad.h"

#include <algorithm>
#include <cmath>

namespace kolta::engine {

namespace {

constexpr double kThresholdPower = 1e-4; // RMS -40 dBFS
constexpr unsigned kOnsetBlocks = 2;
constexpr std::uint64_t kHangoverMs = 300;
// Digital silence has no noise: measure SNR against -90 dBFS instead.
constexpr double kNoiseFloorPower = 1e-9;
constexpr double kNoiseSmoothing = 0.1;

} // namespace

EnergyVad::EnergyVad(std::uint32_t rate, std::size_t channels)
    : channels_(channels), hangover_frames_(rate * kHangoverMs / 1000) {}

double EnergyVad::block_power(const float *block, std::size_t frames) const {
    if (frames == 0) {
        return 0.0;
    }
    double sum = 0.0;
    for (std::size_t i = 0; i < frames; ++i) {
        double mono = 0.0;
        for (std::size_t c = 0; c < channels_; ++c) {
            mono += block[i * channels_ + c];
        }
        mono /= static_cast<double>(channels_);
        sum += mono * mono;
    }
    return sum / static_cast<double>(frames);
}

EnergyVad::Event EnergyVad::push(const float *block, std::size_t frames, bool analysed) {
    const double power = analysed ? block_power(block, frames) : 0.0;
    const bool voiced = analysed && power >= kThresholdPower;
    last_voiced_ = voiced;
    const std::uint64_t block_start = position_;
    position_ += frames;

    Event event;
    if (!in_speech_) {
        if (!voiced) {
            voiced_run_ = 0;
            if (analysed) {
                noise_power_ =
                    have_noise_ ? noise_power_ + kNoiseSmoothing * (power - noise_power_)
                                : power;
                have_noise_ = true;
            }
            return event;
        }
        if (voiced_run_ == 0) {
            run_start_ = block_start;
            run_power_sum_ = 0.0;
        }
        ++voiced_run_;
        run_power_sum_ += power;
        if (voiced_run_ >= kOnsetBlocks) {
            in_speech_ = true;
            start_ = run_start_;
            last_voiced_end_ = position_;
            silence_frames_ = 0;
            speech_power_sum_ = run_power_sum_;
            speech_blocks_ = voiced_run_;
            voiced_run_ = 0;
            event.kind = Event::Kind::kStart;
            event.start = start_;
        }
        return event;
    }

    if (voiced) {
        last_voiced_end_ = position_;
        silence_frames_ = 0;
        speech_power_sum_ += power;
        ++speech_blocks_;
        return event;
    }
    silence_frames_ += frames;
    if (silence_frames_ >= hangover_frames_) {
        return end_utterance();
    }
    return event;
}

EnergyVad::Event EnergyVad::finish() {
    voiced_run_ = 0;
    return in_speech_ ? end_utterance() : Event{};
}

double EnergyVad::snr_db() const {
    if (speech_blocks_ == 0) {
        return 0.0;
    }
    const double speech = speech_power_sum_ / speech_blocks_;
    const double noise = std::max(have_noise_ ? noise_power_ : 0.0, kNoiseFloorPower);
    return 10.0 * std::log10(speech / noise);
}

EnergyVad::Event EnergyVad::end_utterance() {
    Event event;
    event.kind = Event::Kind::kEnd;
    event.start = start_;
    event.end = last_voiced_end_;
    event.snr_db = snr_db();
    in_speech_ = false;
    silence_frames_ = 0;
    return event;
}

} // namespace kolta::engine
