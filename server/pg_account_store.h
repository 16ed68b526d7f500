#pragma once

#include <memory>
#include <string>
#include <vector>

#include "account_store.h"
#include "pg_connection.h"

namespace kolta::server {

// Accounts in a PostgreSQL database shared by several service instances.
// The schema is brought up to date when the store opens, under an advisory
// lock, so that instances starting together apply each migration once.
class PgAccountStore final : public AccountStore {
public:
    // `url`: postgresql://user@host:port/database (or a libpq connection
    // string); `connections`: at most this many at once. Throws StoreError.
    PgAccountStore(const std::string &url, std::size_t connections);

    std::optional<Account> find_by_key_hash(const std::string &key_hash) override;
    std::optional<Account> find_by_id(std::int64_t id) override;
    Account add(const NewAccount &account) override;
    std::vector<Account> list() override;
    bool set_disabled(std::int64_t id, bool disabled) override;
    bool revoke(std::int64_t id) override;

    // The versions this process applied when it opened the store (none when
    // another instance had applied them already).
    const std::vector<int> &applied_migrations() const { return applied_; }
    std::string describe() { return pool_.describe(); }

private:
    PgPool pool_;
    std::vector<int> applied_;
};

// The schema version this program brings a database to.
int pg_schema_version();

} // namespace kolta::server
