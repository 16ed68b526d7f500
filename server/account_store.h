#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace kolta::server {

// One API key and what it grants. The key itself is never stored.
struct Account {
    std::int64_t id = 0;
    std::string key_hash;   // api_key_hash(key)
    std::string key_prefix; // api_key_prefix(key), for people
    std::vector<std::string> models;
    bool disabled = false; // refused until enabled again
    bool revoked = false;  // refused for good
    // Seconds since 1970 (UTC) from which the key is refused; none: never.
    std::optional<std::int64_t> expires_at;
    std::int64_t created_at = 0;
};

struct NewAccount {
    std::string key_hash;
    std::string key_prefix;
    std::vector<std::string> models;
    std::optional<std::int64_t> expires_at;
    std::int64_t created_at = 0;
};

// Where accounts live. Implementations are safe to call from several threads
// and several processes at once (the administration commands run beside the
// service) and throw StoreError when the storage fails.
class AccountStore {
public:
    virtual ~AccountStore() = default;

    virtual std::optional<Account> find_by_key_hash(const std::string &key_hash) = 0;
    virtual std::optional<Account> find_by_id(std::int64_t id) = 0;
    virtual Account add(const NewAccount &account) = 0;
    virtual std::vector<Account> list() = 0;
    // False when there is no such account.
    virtual bool set_disabled(std::int64_t id, bool disabled) = 0;
    virtual bool revoke(std::int64_t id) = 0;
};

// How a store keeps an account's models in one column: names joined by
// commas (a model name has none).
inline std::string join_models(const std::vector<std::string> &models) {
    std::string joined;
    for (const auto &model : models) {
        joined += (joined.empty() ? "" : ",") + model;
    }
    return joined;
}

inline std::vector<std::string> split_models(const std::string &joined) {
    std::vector<std::string> models;
    std::size_t begin = 0;
    while (!joined.empty()) {
        const std::size_t comma = joined.find(',', begin);
        models.push_back(joined.substr(begin, comma - begin));
        if (comma == std::string::npos) {
            break;
        }
        begin = comma + 1;
    }
    return models;
}

class StoreError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace kolta::server
