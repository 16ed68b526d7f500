#pragma once

#include <cmath>
#include <cstdint>

namespace kolta::engine {

// A float sample in [-1, 1) as 16-bit PCM, clamped; NaN becomes 0.
inline std::int16_t to_pcm16(float value) {
    if (std::isnan(value)) {
        return 0;
    }
    const float scaled = std::round(value * 32768.0f);
    if (scaled >= 32767.0f) {
        return 32767;
    }
    if (scaled <= -32768.0f) {
        return -32768;
    }
    return static_cast<std::int16_t>(scaled);
}

} // namespace kolta::engine
