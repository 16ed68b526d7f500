#include "speech/recogniser.h"

#include <mutex>
#include <stdexcept>

#include <pocketsphinx.h>
#include <speex/speex_resampler.h>
#include <sphinxbase/err.h>

#include "base/pcm16.h"

namespace kolta::engine {

namespace {

constexpr std::uint32_t kModelRate = 16000;

// The decoder logs to stderr through a process-wide stream; the engine keeps
// stderr clean and writes its own log. Set once, before any decoder exists,
// so no decoder thread ever reads it while it changes.
void silence_decoder_log() {
    static std::once_flag once;
    std::call_once(once, [] { err_set_logfp(nullptr); });
}

cmd_ln_t *decoder_config(const RecogniserModel &model) {
    const std::string acoustic = model.acoustic.string();
    const std::string language_model = model.language_model.string();
    const std::string dictionary = model.dictionary.string();
    return cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", acoustic.c_str(), "-lm",
                       language_model.c_str(), "-dict", dictionary.c_str(), nullptr);
}

std::string text_of(const char *hypothesis) {
    return hypothesis ? std::string(hypothesis) : std::string();
}

} // namespace

void Recogniser::Deleter::operator()(ps_decoder_s *decoder) const {
    ps_free(decoder);
}
void Recogniser::Deleter::operator()(cmd_ln_s *config) const {
    cmd_ln_free_r(config);
}
void Recogniser::Deleter::operator()(SpeexResamplerState_ *resampler) const {
    speex_resampler_destroy(resampler);
}

Recogniser::Recogniser(const RecogniserModel &model, std::uint32_t input_rate)
    : denoiser_(StreamFormat{kModelRate, 1}, WebRtcDenoiser::Level::kModerate) {
    silence_decoder_log();
    const std::string acoustic = model.acoustic.string();
    config_.reset(decoder_config(model));
    if (!config_) {
        throw std::runtime_error("recogniser: bad configuration for model " + acoustic);
    }
    decoder_.reset(ps_init(config_.get()));
    if (!decoder_) {
        throw std::runtime_error("recogniser: cannot load model " + acoustic);
    }
    // The detector's windows are counted in feature frames.
    const auto to_frames = [&](const char *option) {
        const long frames_per_second = cmd_ln_int32_r(config_.get(), "-frate");
        const long frames = cmd_ln_int32_r(config_.get(), option);
        return frames_per_second > 0
                   ? static_cast<std::uint64_t>(frames) * input_rate / frames_per_second
                   : 0;
    };
    lead_frames_ = to_frames("-vad_prespeech");
    hangover_frames_ = to_frames("-vad_postspeech");
    if (input_rate != kModelRate) {
        int error = 0;
        resampler_.reset(speex_resampler_init(1, input_rate, kModelRate,
                                              SPEEX_RESAMPLER_QUALITY_DEFAULT, &error));
        if (!resampler_) {
            throw std::runtime_error("recogniser: cannot resample from " +
                                     std::to_string(input_rate) + " Hz");
        }
    }
}

bool decoder_loads(const RecogniserModel &model) {
    // No once-flag: this is the only thread, and a flag another thread of the
    // parent held at fork() would never open.
    err_set_logfp(nullptr);
    cmd_ln_t *config = decoder_config(model);
    return config && ps_init(config); // the process ends next: nothing is freed
}

Recogniser::~Recogniser() {
    if (in_utterance_) {
        ps_end_utt(decoder_.get());
    }
}

void Recogniser::start_utterance() {
    if (in_utterance_) {
        ps_end_utt(decoder_.get());
    }
    if (resampler_) {
        speex_resampler_reset_mem(resampler_.get());
    }
    block_.clear();
    if (ps_start_utt(decoder_.get()) < 0) {
        throw std::runtime_error("recogniser: cannot start an utterance");
    }
    in_utterance_ = true;
}

void Recogniser::feed(const float *mono, std::size_t frames) {
    if (!in_utterance_ || frames == 0) {
        return;
    }
    const float *samples = mono;
    std::size_t count = frames;
    if (resampler_) {
        resampled_.resize(frames * 2 + 16); // from 8 kHz the count at most doubles
        spx_uint32_t in_length = static_cast<spx_uint32_t>(frames);
        spx_uint32_t out_length = static_cast<spx_uint32_t>(resampled_.size());
        speex_resampler_process_float(resampler_.get(), 0, mono, &in_length,
                                      resampled_.data(), &out_length);
        samples = resampled_.data();
        count = out_length;
    }
    decode_blocks(samples, count);
}

void Recogniser::decode_blocks(const float *samples, std::size_t count) {
    const std::size_t block_frames = StreamFormat{kModelRate, 1}.block_frames();
    block_.insert(block_.end(), samples, samples + count);
    const std::size_t whole = block_.size() / block_frames * block_frames;
    if (whole == 0) {
        return;
    }
    pcm_.resize(whole);
    for (std::size_t at = 0; at < whole; at += block_frames) {
        denoiser_.process(block_.data() + at, block_frames);
        for (std::size_t i = at; i < at + block_frames; ++i) {
            pcm_[i] = to_pcm16(block_[i]);
        }
    }
    block_.erase(block_.begin(), block_.begin() + static_cast<std::ptrdiff_t>(whole));
    ps_process_raw(decoder_.get(), pcm_.data(), whole, FALSE, FALSE);
}

bool Recogniser::in_speech() const {
    return in_utterance_ && ps_get_in_speech(decoder_.get()) != 0;
}

std::string Recogniser::hypothesis() {
    if (!in_utterance_) {
        return {};
    }
    return text_of(ps_get_hyp(decoder_.get(), nullptr));
}

std::string Recogniser::finish_utterance() {
    if (!in_utterance_) {
        return {};
    }
    in_utterance_ = false;
    ps_end_utt(decoder_.get());
    return text_of(ps_get_hyp(decoder_.get(), nullptr));
}

} // namespace kolta::engine
