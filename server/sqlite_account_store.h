#pragma once

#include <filesystem>
#include <memory>
#include <mutex>

#include "account_store.h"

struct sqlite3;

namespace kolta::server {

// Accounts in one SQLite file (write-ahead log, so the administration
// commands may write while the service reads). One connection, used under
// a mutex.
class SqliteAccountStore final : public AccountStore {
public:
    // Opens or creates the file and its table; throws StoreError.
    explicit SqliteAccountStore(const std::filesystem::path &file);
    ~SqliteAccountStore() override;

    SqliteAccountStore(const SqliteAccountStore &) = delete;
    SqliteAccountStore &operator=(const SqliteAccountStore &) = delete;

    std::optional<Account> find_by_key_hash(const std::string &key_hash) override;
    std::optional<Account> find_by_id(std::int64_t id) override;
    Account add(const NewAccount &account) override;
    std::vector<Account> list() override;
    bool set_disabled(std::int64_t id, bool disabled) override;
    bool revoke(std::int64_t id) override;

private:
    std::mutex mutex_;
    sqlite3 *db_ = nullptr;
    std::filesystem::path file_;
};

// The file's name inside a data folder.
inline constexpr char kAccountsFileName[] = "accounts.sqlite3";

} // namespace kolta::server
