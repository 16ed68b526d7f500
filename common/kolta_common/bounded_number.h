#pragma once

#include <optional>
#include <string>

namespace kolta_common {

// Parses a whole decimal number in [0, max]; nothing on any other text.
std::optional<unsigned long long> parse_bounded_number(const std::string &text,
                                                       unsigned long long max);

} // namespace kolta_common
