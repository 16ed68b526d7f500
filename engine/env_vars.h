#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace kolta::engine {

// The value of an environment variable, or nothing when it is unset.
std::optional<std::string> read_environment(const char *name);

// Parses a whole decimal number in [0, max]; nothing on any other text.
std::optional<unsigned long long> parse_bounded_number(const std::string &text,
                                                       unsigned long long max);

} // namespace kolta::engine
