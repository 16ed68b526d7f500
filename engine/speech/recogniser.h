#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "denoise/webrtc_denoiser.h"
#include "speech/recogniser_model.h"

struct ps_decoder_s;
struct cmd_ln_s;
struct SpeexResamplerState_;

namespace kolta::engine {

// Streaming speech recognition with a pocketsphinx decoder, which also
// finds where speech starts and ends (its own voice detector). Audio at any
// supported rate is resampled to the model's 16 kHz, then lightly denoised
// (WebRTC, moderate level): on noisy speech the decoder makes fewer errors
// and its detector finds the pauses. Not thread-safe: one thread drives it.
class Recogniser {
public:
    // Loads the model (slow: hundreds of milliseconds); throws
    // std::runtime_error when the decoder cannot be made.
    Recogniser(const RecogniserModel &model, std::uint32_t input_rate);
    ~Recogniser();
    Recogniser(const Recogniser &) = delete;
    Recogniser &operator=(const Recogniser &) = delete;

    void start_utterance();
    void feed(const float *mono, std::size_t frames);
    // Whether the decoder's voice detector is inside speech after the audio
    // fed so far.
    bool in_speech() const;
    // How much audio (in input frames) the detector keeps before the onset
    // it reports, and how much silence it waits before reporting the end.
    std::uint64_t lead_frames() const { return lead_frames_; }
    std::uint64_t hangover_frames() const { return hangover_frames_; }
    // The best hypothesis so far (words separated by single spaces).
    std::string hypothesis();
    // Ends the utterance; its final hypothesis.
    std::string finish_utterance();

private:
    struct Deleter {
        void operator()(ps_decoder_s *decoder) const;
        void operator()(cmd_ln_s *config) const;
        void operator()(SpeexResamplerState_ *resampler) const;
    };

    void decode_blocks(const float *samples, std::size_t count);

    std::unique_ptr<cmd_ln_s, Deleter> config_;
    std::unique_ptr<ps_decoder_s, Deleter> decoder_;
    std::unique_ptr<SpeexResamplerState_, Deleter> resampler_; // null at 16 kHz
    std::vector<float> resampled_;
    WebRtcDenoiser denoiser_;
    std::vector<float> block_; // 16 kHz audio waiting for a whole 10 ms block
    std::vector<std::int16_t> pcm_;
    bool in_utterance_ = false;
    std::uint64_t lead_frames_ = 0;
    std::uint64_t hangover_frames_ = 0;
};

// Whether the decoder loads `model`. Only for a child process forked for the
// purpose (on a file it cannot read the library ends the process): it sets
// the library's process-wide log directly, as no other thread runs there.
bool decoder_loads(const RecogniserModel &model);

} // namespace kolta::engine
