#pragma once

#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace kolta::server {

// The secrets tokens are signed and checked with: the first signs, each one
// verifies. Several instances sharing them accept each other's tokens; a
// second one lets the signing secret change without refusing tokens made
// with the old one. Replaced while the service runs (SIGHUP).
class TokenSecrets {
public:
    using List = std::vector<std::string>;

    // `secrets` must not be empty.
    explicit TokenSecrets(List secrets);

    std::shared_ptr<const List> current() const;
    void replace(List secrets);

private:
    mutable std::mutex mutex_;
    std::shared_ptr<const List> secrets_;
};

// The secrets of a token secret file's text: one or two lines, each a
// secret of at least kMinSecretBytes written in hex or in base64 (standard
// or URL-safe, padding optional); blank lines and lines starting with '#'
// are skipped. Throws std::invalid_argument saying what is wrong, never
// quoting a secret.
TokenSecrets::List parse_token_secrets(const std::string &text);

// The file read and parsed; refused (std::runtime_error) when others than
// its owner may read it.
TokenSecrets::List read_token_secret_file(const std::filesystem::path &file);

// The first 8 hex digits of the secret's SHA-256: enough for people to tell
// whether two instances hold the same secret, nothing to guess it from.
std::string secret_fingerprint(const std::string &secret);

inline constexpr std::size_t kMinSecretBytes = 32;
inline constexpr std::size_t kMaxSecrets = 2;

} // namespace kolta::server
