#include "pg_account_store.h"

namespace kolta::server {

namespace {

// Each version's statements, applied in order and never edited once
// released: a change is a new version.
struct Migration {
    int version;
    std::vector<const char *> statements;
};

const std::vector<Migration> &migrations() {
    static const std::vector<Migration> all = {
        {1, {R"sql(CREATE TABLE api_keys (
                id BIGSERIAL PRIMARY KEY,
                key_hash TEXT NOT NULL UNIQUE,
                key_prefix TEXT NOT NULL,
                models TEXT NOT NULL,
                disabled BOOLEAN NOT NULL DEFAULT FALSE,
                revoked BOOLEAN NOT NULL DEFAULT FALSE,
                expires_at BIGINT,
                created_at BIGINT NOT NULL))sql"}},
    };
    return all;
}

// Any number that no other program using the database takes for its own
// advisory lock: "kolta" in ASCII.
constexpr char kMigrationLock[] = "461430879329";

constexpr char kColumns[] = "id, key_hash, key_prefix, models, disabled, revoked, "
                            "expires_at, created_at";

std::vector<int> migrate(PgPool &pool) {
    PgPool::Lease lease = pool.lease();
    std::vector<int> applied;
    lease.run("BEGIN");
    try {
        // Held until COMMIT or ROLLBACK: a second instance waits here, then
        // finds the versions the first applied.
        lease.run("SELECT pg_advisory_xact_lock($1::bigint)", {kMigrationLock});
        lease.run("CREATE TABLE IF NOT EXISTS schema_version ("
                  "version INTEGER PRIMARY KEY, "
                  "applied_at TIMESTAMPTZ NOT NULL DEFAULT now())");
        const PgRows found =
            lease.run("SELECT coalesce(max(version), 0) FROM schema_version");
        const std::int64_t current = found.integer(0, 0);
        if (current > pg_schema_version()) {
            throw StoreError("the account database has schema version " +
                             std::to_string(current) + "; this program knows up to " +
                             std::to_string(pg_schema_version()));
        }
        for (const Migration &migration : migrations()) {
            if (migration.version <= current) {
                continue;
            }
            for (const char *statement : migration.statements) {
                lease.run(statement);
            }
            lease.run("INSERT INTO schema_version (version) VALUES ($1::integer)",
                      {std::to_string(migration.version)});
            applied.push_back(migration.version);
        }
        lease.run("COMMIT");
    } catch (...) {
        try {
            lease.run("ROLLBACK");
        } catch (const StoreError &) {
            // The connection is gone; the server rolled back already.
        }
        throw;
    }
    return applied;
}

Account read_account(const PgRows &rows, int row) {
    Account account;
    account.id = rows.integer(row, 0);
    account.key_hash = rows.text(row, 1);
    account.key_prefix = rows.text(row, 2);
    account.models = split_models(rows.text(row, 3));
    account.disabled = rows.text(row, 4) == "t";
    account.revoked = rows.text(row, 5) == "t";
    if (!rows.is_null(row, 6)) {
        account.expires_at = rows.integer(row, 6);
    }
    account.created_at = rows.integer(row, 7);
    return account;
}

std::optional<Account> first(const PgRows &rows) {
    if (rows.count() == 0) {
        return std::nullopt;
    }
    return read_account(rows, 0);
}

} // namespace

int pg_schema_version() {
    return migrations().back().version;
}

PgAccountStore::PgAccountStore(const std::string &url, std::size_t connections)
    : pool_(url, connections), applied_(migrate(pool_)) {}

std::optional<Account> PgAccountStore::find_by_key_hash(const std::string &key_hash) {
    return first(pool_.run(std::string("SELECT ") + kColumns +
                               " FROM api_keys WHERE key_hash = $1",
                           {key_hash}, true));
}

std::optional<Account> PgAccountStore::find_by_id(std::int64_t id) {
    return first(pool_.run(std::string("SELECT ") + kColumns +
                               " FROM api_keys WHERE id = $1::bigint",
                           {std::to_string(id)}, true));
}

Account PgAccountStore::add(const NewAccount &account) {
    const PgRows rows = pool_.run(
        std::string(
            "INSERT INTO api_keys (key_hash, key_prefix, models, expires_at, "
            "created_at) VALUES ($1, $2, $3, $4::bigint, $5::bigint) RETURNING ") +
            kColumns,
        {account.key_hash, account.key_prefix, join_models(account.models),
         account.expires_at
             ? std::optional<std::string>(std::to_string(*account.expires_at))
             : std::nullopt,
         std::to_string(account.created_at)},
        false);
    return read_account(rows, 0);
}

std::vector<Account> PgAccountStore::list() {
    const PgRows rows = pool_.run(
        std::string("SELECT ") + kColumns + " FROM api_keys ORDER BY id", {}, true);
    std::vector<Account> accounts;
    for (int row = 0; row < rows.count(); ++row) {
        accounts.push_back(read_account(rows, row));
    }
    return accounts;
}

bool PgAccountStore::set_disabled(std::int64_t id, bool disabled) {
    return pool_
               .run("UPDATE api_keys SET disabled = $2::boolean WHERE id = $1::bigint",
                    {std::to_string(id), disabled ? "true" : "false"}, true)
               .affected() > 0;
}

bool PgAccountStore::revoke(std::int64_t id) {
    return pool_
               .run("UPDATE api_keys SET revoked = TRUE WHERE id = $1::bigint",
                    {std::to_string(id)}, true)
               .affected() > 0;
}

} // namespace kolta::server
