#include "denoise/speex_denoiser.h"

#include <stdexcept>

#include <speex/speex_preprocess.h>

#include "base/pcm16.h"

namespace kolta::engine {

namespace {

constexpr int kNoiseSuppressDb = -30;

void set_option(SpeexPreprocessState *state, int request, spx_int32_t value) {
    speex_preprocess_ctl(state, request, &value);
}

} // namespace

void SpeexDenoiser::StateDeleter::operator()(SpeexPreprocessState_ *state) const {
    speex_preprocess_state_destroy(state);
}

SpeexDenoiser::SpeexDenoiser(StreamFormat format)
    : format_(format), scratch_(format.block_frames()) {
    const int frame_size = static_cast<int>(format.block_frames());
    const int rate = static_cast<int>(format.rate);
    for (unsigned channel = 0; channel < format.channels; ++channel) {
        StatePtr state(speex_preprocess_state_init(frame_size, rate));
        if (!state) {
            throw std::runtime_error("cannot initialise the noise suppressor");
        }
        set_option(state.get(), SPEEX_PREPROCESS_SET_DENOISE, 1);
        set_option(state.get(), SPEEX_PREPROCESS_SET_AGC, 0);
        // VAD and dereverb are off by default; setting the VAD at all makes
        // speexdsp print a warning on stderr.
        set_option(state.get(), SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, kNoiseSuppressDb);
        states_.push_back(std::move(state));
    }
}

void SpeexDenoiser::process(float *block, std::size_t frames) {
    if (frames != format_.block_frames()) {
        throw std::logic_error("denoiser fed a block of the wrong size");
    }
    const std::size_t channels = format_.channels;
    for (std::size_t channel = 0; channel < channels; ++channel) {
        for (std::size_t i = 0; i < frames; ++i) {
            scratch_[i] = to_pcm16(block[i * channels + channel]);
        }
        speex_preprocess_run(states_[channel].get(), scratch_.data());
        for (std::size_t i = 0; i < frames; ++i) {
            block[i * channels + channel] = static_cast<float>(scratch_[i]) / 32768.0f;
        }
    }
}

} // namespace kolta::engine
