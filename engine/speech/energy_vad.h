#pragma once

#include <cstddef>
#include <cstdint>

namespace kolta::engine {

// Energy voice activity detection on the mono mix of 10 ms blocks: a block
// is voiced when its RMS reaches -40 dBFS; speech starts after 2 voiced
// blocks in a row and ends after 300 ms without a voiced block. Also keeps a
// noise-floor estimate so an utterance's SNR can be reported.
class EnergyVad {
public:
    struct Event {
        enum class Kind { kNone, kStart, kEnd };
        Kind kind = Kind::kNone;
        std::uint64_t start = 0; // first frame of the utterance
        std::uint64_t end = 0;   // one past its last voiced frame (kEnd)
        double snr_db = 0.0;     // kEnd
    };

    EnergyVad(std::uint32_t rate, std::size_t channels);

    // `analysed` false: the block's audio is unknown and counts as silence.
    Event push(const float *block, std::size_t frames, bool analysed);
    // Ends a running utterance at its last voiced frame.
    Event finish();

    bool in_speech() const { return in_speech_; }
    bool last_block_voiced() const { return last_voiced_; }
    std::uint64_t position() const { return position_; }
    std::uint64_t utterance_start() const { return start_; }
    double snr_db() const;

private:
    double block_power(const float *block, std::size_t frames) const;
    Event end_utterance();

    std::size_t channels_;
    std::uint64_t hangover_frames_;
    std::uint64_t position_ = 0;
    bool last_voiced_ = false;

    bool in_speech_ = false;
    unsigned voiced_run_ = 0;
    std::uint64_t run_start_ = 0;
    double run_power_sum_ = 0.0;
    std::uint64_t start_ = 0;
    std::uint64_t last_voiced_end_ = 0;
    std::uint64_t silence_frames_ = 0;
    double speech_power_sum_ = 0.0;
    unsigned speech_blocks_ = 0;

    bool have_noise_ = false;
    double noise_power_ = 0.0;
};

} // namespace kolta::engine
