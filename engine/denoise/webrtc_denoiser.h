#pragma once

#include <memory>
#include <vector>

#include "base/audio_format.h"
#include "denoise/block_model.h"

namespace webrtc {
class AudioProcessing;
}

namespace kolta::engine {

// Noise suppression with one WebRTC audio-processing state per channel on
// 10 ms blocks. The high-pass filter is on too: it removes rumble and DC the
// suppressor would otherwise treat as speech.
class WebRtcDenoiser final : public BlockModel {
public:
    // WebRTC's levels, gentlest first.
    enum class Level { kLow, kModerate, kHigh, kVeryHigh };

    explicit WebRtcDenoiser(StreamFormat format, Level level = Level::kHigh);
    ~WebRtcDenoiser() override;
    void process(float *block, std::size_t frames) override;
    std::size_t delay_frames() const override;

    // 16, 32 and 48 kHz. At 8 kHz it sometimes takes a steady tone for
    // noise (-5 dB), and 24 and 44.1 kHz it does not take: speexdsp there.
    static bool supports_rate(std::uint32_t rate);

private:
    StreamFormat format_;
    std::vector<std::unique_ptr<webrtc::AudioProcessing>> states_;
    std::vector<float> scratch_;
};

} // namespace kolta::engine
