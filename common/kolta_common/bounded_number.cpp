#include "kolta_common/bounded_number.h"

namespace kolta_common {

std::optional<unsigned long long> parse_bounded_number(const std::string &text,
                                                       unsigned long long max) {
    if (text.empty() || text.size() > 19) {
        return std::nullopt;
    }
    unsigned long long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<unsigned long long>(c - '0');
    }
    if (value > max) {
        return std::nullopt;
    }
    return value;
}

} // namespace kolta_common
