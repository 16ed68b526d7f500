#pragma once

#include <cstddef>
#include <string>

namespace kolta::server {

// Small wrappers over OpenSSL; each throws std::runtime_error on failure.
std::string random_bytes(std::size_t count);
std::string sha256(const std::string &data);
std::string hmac_sha256(const std::string &key, const std::string &data);
// Compares in time that depends only on the sizes.
bool equal_in_constant_time(const std::string &a, const std::string &b);

std::string hex_encode(const std::string &bytes);
// Base64url without padding (RFC 4648, section 5).
std::string base64url_encode(const std::string &bytes);
// Nothing for text that is not unpadded base64url.
bool base64url_decode(const std::string &text, std::string &bytes);

} // namespace kolta::server
