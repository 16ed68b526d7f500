#include "base/audio_format.h"

#include <stdexcept>
#include <string>

namespace kolta::engine {

namespace {

constexpr std::uint32_t kSupportedRates[] = {8000, 16000, 24000, 32000, 44100, 48000};

std::string supported_rates_text() {
    std::string text;
    for (std::uint32_t rate : kSupportedRates) {
        text += (text.empty() ? "" : ", ") + std::to_string(rate);
    }
    return text;
}

} // namespace

void validate_format(std::uint32_t rate, std::uint16_t channels) {
    bool rate_ok = false;
    for (std::uint32_t supported : kSupportedRates) {
        rate_ok = rate_ok || rate == supported;
    }
    if (!rate_ok) {
        throw std::invalid_argument("unsupported sampling_rate " + std::to_string(rate) +
                                    " Hz (supported: " + supported_rates_text() + ")");
    }
    if (channels != 1 && channels != 2) {
        throw std::invalid_argument("unsupported channels " + std::to_string(channels) +
                                    " (supported: 1, 2)");
    }
}

} // namespace kolta::engine
