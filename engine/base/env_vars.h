#pragma once

#include <optional>
#include <string>

namespace kolta::engine {

// The value of an environment variable, or nothing when it is unset.
std::optional<std::string> read_environment(const char *name);

} // namespace kolta::engine
