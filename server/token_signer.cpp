#include "token_signer.h"

#include <kolta_common/bounded_number.h>

#include "crypto.h"

namespace kolta::server {

namespace {

// The payload: "1|<key id>|<expiry>|<model>|<model>...", each field with '%'
// and '|' escaped as %25 and %7C.
constexpr char kFormatVersion[] = "1";
constexpr std::size_t kMaxTokenSize = 4096;

std::string escape_field(const std::string &field) {
    std::string escaped;
    for (char c : field) {
        if (c == '%') {
            escaped += "%25";
        } else if (c == '|') {
            escaped += "%7C";
        } else {
            escaped += c;
        }
    }
    return escaped;
}

bool unescape_field(const std::string &field, std::string &out) {
    out.clear();
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '%') {
            out += field[i];
        } else if (field.compare(i, 3, "%25") == 0) {
            out += '%';
            i += 2;
        } else if (field.compare(i, 3, "%7C") == 0) {
            out += '|';
            i += 2;
        } else {
            return false;
        }
    }
    return true;
}

std::vector<std::string> split(const std::string &text, char separator) {
    std::vector<std::string> parts;
    std::size_t begin = 0;
    while (true) {
        const std::size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos) {
            return parts;
        }
        begin = end + 1;
    }
}

TokenRefusal not_a_token() {
    return {SdkErrorType::kInvalidGrant, "the token is not valid"};
}

} // namespace

std::string TokenSigner::issue(const TokenClaims &claims) const {
    std::string payload = std::string(kFormatVersion) + "|" +
                          escape_field(claims.key_id) + "|" +
                          std::to_string(claims.expires_at);
    for (const auto &model : claims.models) {
        payload += "|" + escape_field(model);
    }
    const std::string body = base64url_encode(payload);
    const auto secrets = secrets_->current();
    return body + "." + base64url_encode(hmac_sha256(secrets->front(), body));
}

std::variant<TokenClaims, TokenRefusal> TokenSigner::verify(const std::string &token,
                                                            std::int64_t now) const {
    const std::size_t dot = token.find('.');
    if (token.size() > kMaxTokenSize || dot == std::string::npos) {
        return not_a_token();
    }
    const std::string body = token.substr(0, dot);
    std::string mac;
    if (!base64url_decode(token.substr(dot + 1), mac)) {
        return not_a_token();
    }
    const auto secrets = secrets_->current();
    bool signed_by_us = false;
    for (const std::string &secret : *secrets) {
        signed_by_us =
            equal_in_constant_time(mac, hmac_sha256(secret, body)) || signed_by_us;
    }
    if (!signed_by_us) {
        return not_a_token();
    }
    // Signed by us: what follows only reads what issue() wrote.
    std::string payload;
    if (!base64url_decode(body, payload)) {
        return not_a_token();
    }
    const std::vector<std::string> fields = split(payload, '|');
    if (fields.size() < 3 || fields[0] != kFormatVersion) {
        return not_a_token();
    }
    TokenClaims claims;
    const auto expiry = kolta_common::parse_bounded_number(fields[2], ~0ULL >> 1);
    if (!expiry || !unescape_field(fields[1], claims.key_id)) {
        return not_a_token();
    }
    claims.expires_at = static_cast<std::int64_t>(*expiry);
    for (std::size_t i = 3; i < fields.size(); ++i) {
        std::string model;
        if (!unescape_field(fields[i], model)) {
            return not_a_token();
        }
        claims.models.push_back(std::move(model));
    }
    if (claims.expires_at <= now) {
        return TokenRefusal{SdkErrorType::kTokenExpired, "the token has expired"};
    }
    return claims;
}

} // namespace kolta::server
