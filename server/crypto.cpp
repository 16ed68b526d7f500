#include "crypto.h"

#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

namespace kolta::server {

namespace {

constexpr char kBase64Url[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

int base64url_value(char c) {
    if (c >= 'A' && c <= 'Z') {
        return c - 'A';
    }
    if (c >= 'a' && c <= 'z') {
        return c - 'a' + 26;
    }
    if (c >= '0' && c <= '9') {
        return c - '0' + 52;
    }
    if (c == '-') {
        return 62;
    }
    if (c == '_') {
        return 63;
    }
    return -1;
}

} // namespace

std::string random_bytes(std::size_t count) {
    std::string bytes(count, '\0');
    if (count > 0 && RAND_bytes(reinterpret_cast<unsigned char *>(&bytes[0]),
                                static_cast<int>(count)) != 1) {
        throw std::runtime_error("the system's secure random source failed");
    }
    return bytes;
}

std::string sha256(const std::string &data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    unsigned int size = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &size, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed");
    }
    return std::string(reinterpret_cast<const char *>(digest), size);
}

std::string hmac_sha256(const std::string &key, const std::string &data) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char *>(data.data()), data.size(), mac,
             &size) == nullptr) {
        throw std::runtime_error("HMAC-SHA256 failed");
    }
    return std::string(reinterpret_cast<const char *>(mac), size);
}

bool equal_in_constant_time(const std::string &a, const std::string &b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

std::string hex_encode(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (unsigned char byte : bytes) {
        text += digits[byte >> 4];
        text += digits[byte & 0x0f];
    }
    return text;
}

std::string base64url_encode(const std::string &bytes) {
    std::string text;
    text.reserve((bytes.size() * 4 + 2) / 3);
    std::size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const unsigned long v = (static_cast<unsigned char>(bytes[i]) << 16) |
                                (static_cast<unsigned char>(bytes[i + 1]) << 8) |
                                static_cast<unsigned char>(bytes[i + 2]);
        text += kBase64Url[(v >> 18) & 63];
        text += kBase64Url[(v >> 12) & 63];
        text += kBase64Url[(v >> 6) & 63];
        text += kBase64Url[v & 63];
    }
    const std::size_t rest = bytes.size() - i;
    if (rest > 0) {
        unsigned long v = static_cast<unsigned char>(bytes[i]) << 16;
        if (rest == 2) {
            v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        }
        text += kBase64Url[(v >> 18) & 63];
        text += kBase64Url[(v >> 12) & 63];
        if (rest == 2) {
            text += kBase64Url[(v >> 6) & 63];
        }
    }
    return text;
}

bool base64url_decode(const std::string &text, std::string &bytes) {
    if (text.size() % 4 == 1) {
        return false;
    }
    bytes.clear();
    bytes.reserve(text.size() * 3 / 4);
    unsigned long bits = 0;
    int count = 0;
    for (char c : text) {
        const int value = base64url_value(c);
        if (value < 0) {
            return false;
        }
        bits = (bits << 6) | static_cast<unsigned long>(value);
        count += 6;
        if (count >= 8) {
            count -= 8;
            bytes += static_cast<char>((bits >> count) & 0xff);
        }
    }
    // Leftover bits must be zero: one text per byte string.
    return (bits & ((1UL << count) - 1)) == 0;
}

} // namespace kolta::server
