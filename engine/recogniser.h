#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "recogniser_model.h"

struct ps_decoder_s;
struct cmd_ln_s;
struct SpeexResamplerState_;

namespace kolta::engine {

// Streaming speech recognition of one utterance at a time with a
// pocketsphinx decoder; audio at any supported rate is resampled to the
// model's 16 kHz. Not thread-safe: one thread drives it.
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

    std::unique_ptr<cmd_ln_s, Deleter> config_;
    std::unique_ptr<ps_decoder_s, Deleter> decoder_;
    std::unique_ptr<SpeexResamplerState_, Deleter> resampler_; // null at 16 kHz
    std::vector<float> resampled_;
    std::vector<std::int16_t> pcm_;
    bool in_utterance_ = false;
};

} // namespace kolta::engine
