#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include <kolta/sdk_types.h>

#include "token_secrets.h"

namespace kolta::server {

// What a sign-in token says: who (the account's id, or "test" for the
// reference engine's keys), which models, until when (seconds since 1970).
struct TokenClaims {
    std::string key_id;
    std::vector<std::string> models;
    std::int64_t expires_at = 0;
};

struct TokenRefusal {
    SdkErrorType error = SdkErrorType::kInvalidGrant;
    std::string message;
};

// Short-lived bearer tokens: base64url(payload) "." base64url(HMAC-SHA256 of
// that text under the service's secret). Only a holder of the secret can make
// one; nothing secret is inside. Made with the first of the secrets, checked
// with each of them.
class TokenSigner {
public:
    explicit TokenSigner(std::string secret)
        : secrets_(
              std::make_shared<TokenSecrets>(TokenSecrets::List{std::move(secret)})) {}
    explicit TokenSigner(std::shared_ptr<const TokenSecrets> secrets)
        : secrets_(std::move(secrets)) {}

    std::string issue(const TokenClaims &claims) const;
    // The claims of an intact token that has not expired at `now`;
    // TOKEN_EXPIRED for an intact one that has, INVALID_GRANT for anything
    // else (altered, truncated, not a token).
    std::variant<TokenClaims, TokenRefusal> verify(const std::string &token,
                                                   std::int64_t now) const;

private:
    std::shared_ptr<const TokenSecrets> secrets_;
};

} // namespace kolta::server
