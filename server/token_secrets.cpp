#include "token_secrets.h"

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

#include "crypto.h"
#include "owner_only_file.h"

namespace kolta::server {

namespace fs = std::filesystem;

TokenSecrets::TokenSecrets(List secrets) {
    replace(std::move(secrets));
}

std::shared_ptr<const TokenSecrets::List> TokenSecrets::current() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return secrets_;
}

void TokenSecrets::replace(List secrets) {
    if (secrets.empty()) {
        throw std::invalid_argument("no token secret");
    }
    auto next = std::make_shared<const List>(std::move(secrets));
    std::lock_guard<std::mutex> lock(mutex_);
    secrets_ = std::move(next);
}

namespace {

bool is_hex(const std::string &text) {
    return text.size() % 2 == 0 &&
           std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isxdigit(c) != 0; });
}

std::string hex_decode(const std::string &text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
    }
    return bytes;
}

bool base64_decode(std::string text, std::string &bytes) {
    while (!text.empty() && text.back() == '=') {
        text.pop_back();
    }
    std::replace(text.begin(), text.end(), '+', '-');
    std::replace(text.begin(), text.end(), '/', '_');
    return base64url_decode(text, bytes);
}

std::string trimmed(const std::string &line) {
    const auto space = [](unsigned char c) { return std::isspace(c) != 0; };
    const auto begin = std::find_if_not(line.begin(), line.end(), space);
    const auto end = std::find_if_not(line.rbegin(), line.rend(), space).base();
    return begin < end ? std::string(begin, end) : std::string();
}

} // namespace

TokenSecrets::List parse_token_secrets(const std::string &text) {
    TokenSecrets::List secrets;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = trimmed(line);
        if (line.empty() || line[0] == '#') {
            continue;
        }
        const std::string where = "line " + std::to_string(number);
        std::string secret;
        if (is_hex(line)) {
            secret = hex_decode(line);
        } else if (!base64_decode(line, secret)) {
            throw std::invalid_argument(where + " is neither hex nor base64");
        }
        if (secret.size() < kMinSecretBytes) {
            throw std::invalid_argument(
                where + " holds " + std::to_string(secret.size()) +
                " bytes; a secret needs at least " + std::to_string(kMinSecretBytes));
        }
        if (secrets.size() == kMaxSecrets) {
            throw std::invalid_argument("more than " + std::to_string(kMaxSecrets) +
                                        " secrets (" + where + ")");
        }
        secrets.push_back(std::move(secret));
    }
    if (secrets.empty()) {
        throw std::invalid_argument("no secret in it");
    }
    return secrets;
}

TokenSecrets::List read_token_secret_file(const fs::path &file) {
    const auto refuse = [&](const std::string &reason) {
        return std::runtime_error("token secret file '" + file.string() + "': " + reason);
    };
    std::string text;
    try {
        text = read_owner_only_file(file);
    } catch (const OwnerOnlyFileError &error) {
        throw refuse(error.what());
    }
    try {
        return parse_token_secrets(text);
    } catch (const std::invalid_argument &error) {
        throw refuse(error.what());
    }
}

std::string secret_fingerprint(const std::string &secret) {
    return hex_encode(sha256(secret)).substr(0, 8);
}

} // namespace kolta::server
