#include "denoise/webrtc_denoiser.h"

#include <stdexcept>
#include <string>

#include <webrtc/modules/audio_processing/include/audio_processing.h>

namespace kolta::engine {

namespace {

void check(int status, const char *what) {
    if (status != webrtc::AudioProcessing::kNoError) {
        throw std::runtime_error(std::string("noise suppressor: ") + what +
                                 " failed (error " + std::to_string(status) + ")");
    }
}

static_assert(static_cast<int>(WebRtcDenoiser::Level::kVeryHigh) ==
              webrtc::NoiseSuppression::kVeryHigh);

} // namespace

bool WebRtcDenoiser::supports_rate(std::uint32_t rate) {
    return rate == 16000 || rate == 32000 || rate == 48000;
}

WebRtcDenoiser::WebRtcDenoiser(StreamFormat format, Level level)
    : format_(format), scratch_(format.block_frames()) {
    if (!supports_rate(format.rate)) {
        throw std::invalid_argument("noise suppressor: unsupported rate " +
                                    std::to_string(format.rate));
    }
    for (unsigned channel = 0; channel < format.channels; ++channel) {
        std::unique_ptr<webrtc::AudioProcessing> state(webrtc::AudioProcessing::Create());
        if (!state) {
            throw std::runtime_error("cannot initialise the noise suppressor");
        }
        check(state->high_pass_filter()->Enable(true), "high-pass filter");
        check(state->noise_suppression()->set_level(
                  static_cast<webrtc::NoiseSuppression::Level>(level)),
              "suppression level");
        check(state->noise_suppression()->Enable(true), "noise suppression");
        states_.push_back(std::move(state));
    }
}

WebRtcDenoiser::~WebRtcDenoiser() = default;

// The suppressor runs on the 0-8 kHz band in 10 ms steps with a 16 ms
// analysis window, so its overlap-add lags 6 ms (96 samples at 16 kHz). Above
// 16 kHz the filters that split the bands and join them again add 4 samples
// (32 kHz) and 46 samples (48 kHz). Measured as the peak of the impulse
// response; bench/bench_alignment.py and the stream tests check them.
std::size_t WebRtcDenoiser::delay_frames() const {
    switch (format_.rate) {
    case 16000:
        return 96;
    case 32000:
        return 2 * 96 + 4;
    default: // 48000
        return 3 * 96 + 46;
    }
}

void WebRtcDenoiser::process(float *block, std::size_t frames) {
    if (frames != format_.block_frames()) {
        throw std::logic_error("denoiser fed a block of the wrong size");
    }
    const webrtc::StreamConfig mono(static_cast<int>(format_.rate), 1);
    const std::size_t channels = format_.channels;
    float *planes[] = {scratch_.data()};
    for (std::size_t channel = 0; channel < channels; ++channel) {
        for (std::size_t i = 0; i < frames; ++i) {
            scratch_[i] = block[i * channels + channel];
        }
        check(states_[channel]->ProcessStream(planes, mono, mono, planes), "processing");
        for (std::size_t i = 0; i < frames; ++i) {
            block[i * channels + channel] = scratch_[i];
        }
    }
}

} // namespace kolta::engine
