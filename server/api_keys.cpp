#include "api_keys.h"

#include "crypto.h"

namespace kolta::server {

namespace {
constexpr char kKeyPrefix[] = "kk_";
constexpr std::size_t kRandomBytes = 24; // 32 base64url characters
constexpr std::size_t kShownCharacters = 4;
} // namespace

std::string generate_api_key() {
    return kKeyPrefix + base64url_encode(random_bytes(kRandomBytes));
}

std::string api_key_hash(const std::string &key) {
    return hex_encode(sha256(key));
}

std::string api_key_prefix(const std::string &key) {
    return key.substr(0, kShownCharacters);
}

} // namespace kolta::server
