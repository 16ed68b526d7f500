#pragma once

#include <string>

namespace kolta::server {

// A new API key: "kk_" and 32 URL-safe characters from the system's secure
// random source (192 bits). Throws std::runtime_error when it has none.
std::string generate_api_key();

// What the store keeps of a key: its SHA-256 in lower-case hex. Keys are
// random and long, so a plain hash cannot be reversed by guessing and
// verifies in microseconds.
std::string api_key_hash(const std::string &key);

// How a key is shown to people: its first 4 characters ("kk_A"); the rest
// appears nowhere.
std::string api_key_prefix(const std::string &key);

} // namespace kolta::server
