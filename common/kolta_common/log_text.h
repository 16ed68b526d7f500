#pragma once

#include <chrono>
#include <string>

namespace kolta_common {

// The levels of the engine's and the service's log lines.
enum class LogLevel { kInfo, kWarn, kError };

// "INFO", "WARN" or "ERROR": the level as a log line spells it.
const char *level_name(LogLevel level);

// Caller-supplied text (keys, model names, paths, addresses) made fit for one
// log line: every control character and the Unicode line separators some
// readers split on (U+0085, U+2028, U+2029) become spaces.
std::string one_line(const std::string &message);

// Keeps the first 4 characters (UTF-8 characters, never part of one) and
// hides the rest behind "****"; a secret of 4 characters or fewer is hidden
// entirely, an empty one is "(empty)".
std::string mask_secret(const std::string &secret);

// ISO-8601 UTC with milliseconds, e.g. "2024-05-01T12:34:56.789Z".
std::string utc_timestamp(std::chrono::system_clock::time_point when);

} // namespace kolta_common
