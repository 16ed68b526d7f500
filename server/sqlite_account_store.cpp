#include "sqlite_account_store.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <sqlite3.h>

namespace kolta::server {

namespace {

constexpr int kSchemaVersion = 1;
constexpr std::chrono::milliseconds kBusyTimeout{5000};

constexpr char kCreateSchema[] = R"sql(
CREATE TABLE api_keys (
    id INTEGER PRIMARY KEY,
    key_hash TEXT NOT NULL UNIQUE,
    key_prefix TEXT NOT NULL,
    models TEXT NOT NULL,
    disabled INTEGER NOT NULL DEFAULT 0,
    revoked INTEGER NOT NULL DEFAULT 0,
    expires_at INTEGER,
    created_at INTEGER NOT NULL
);
PRAGMA user_version = 1;
)sql";

constexpr char kColumns[] =
    "id, key_hash, key_prefix, models, disabled, revoked, expires_at, created_at";

// Another connection (another process: the administration commands, a
// second service) holds the lock SQLite needs; worth another try. SQLite
// waits by itself in most such cases, but refuses at once where waiting
// could deadlock (a read that must become a write, a schema being set up).
struct Busy {
    std::string message;
};

[[noreturn]] void fail(sqlite3 *db, int status) {
    const std::string message = std::string("account store: ") + sqlite3_errmsg(db);
    const int primary = status & 0xff;
    if (primary == SQLITE_BUSY || primary == SQLITE_LOCKED) {
        throw Busy{message};
    }
    throw StoreError(message);
}

// Runs `work` again while it meets a busy database, for up to kBusyTimeout.
template <class Work> auto retry_while_busy(Work &&work) -> decltype(work()) {
    const auto deadline = std::chrono::steady_clock::now() + kBusyTimeout;
    auto pause = std::chrono::milliseconds(1);
    while (true) {
        try {
            return work();
        } catch (const Busy &busy) {
            if (std::chrono::steady_clock::now() + pause > deadline) {
                throw StoreError(busy.message);
            }
        }
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(50));
    }
}

// One prepared statement, finalised on every path.
class Statement {
public:
    Statement(sqlite3 *db, const std::string &sql) : db_(db) {
        const int status = sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr);
        if (status != SQLITE_OK) {
            fail(db, status);
        }
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    void bind(int index, const std::string &text) {
        check(sqlite3_bind_text(statement_, index, text.data(),
                                static_cast<int>(text.size()), SQLITE_TRANSIENT));
    }
    void bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(statement_, index, value));
    }
    void bind(int index, const std::optional<std::int64_t> &value) {
        check(value ? sqlite3_bind_int64(statement_, index, *value)
                    : sqlite3_bind_null(statement_, index));
    }
    // True while there is a row to read.
    bool step() {
        const int status = sqlite3_step(statement_);
        if (status == SQLITE_ROW) {
            return true;
        }
        if (status == SQLITE_DONE) {
            return false;
        }
        fail(db_, status);
    }
    std::int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }
    bool is_null(int column) {
        return sqlite3_column_type(statement_, column) == SQLITE_NULL;
    }
    std::string text(int column) {
        const auto *bytes = sqlite3_column_text(statement_, column);
        const int size = sqlite3_column_bytes(statement_, column);
        return bytes != nullptr ? std::string(reinterpret_cast<const char *>(bytes),
                                              static_cast<std::size_t>(size))
                                : std::string();
    }

private:
    void check(int status) {
        if (status != SQLITE_OK) {
            fail(db_, status);
        }
    }

    sqlite3 *db_;
    sqlite3_stmt *statement_ = nullptr;
};

Account read_account(Statement &row) {
    Account account;
    account.id = row.integer(0);
    account.key_hash = row.text(1);
    account.key_prefix = row.text(2);
    account.models = split_models(row.text(3));
    account.disabled = row.integer(4) != 0;
    account.revoked = row.integer(5) != 0;
    if (!row.is_null(6)) {
        account.expires_at = row.integer(6);
    }
    account.created_at = row.integer(7);
    return account;
}

void execute(sqlite3 *db, const char *sql) {
    const int status = sqlite3_exec(db, sql, nullptr, nullptr, nullptr);
    if (status != SQLITE_OK) {
        fail(db, status);
    }
}

std::string pragma_text(sqlite3 *db, const char *sql) {
    Statement query(db, sql);
    return query.step() ? query.text(0) : std::string();
}

// The table, made once: in a write transaction from its start, so that two
// processes opening a new store at once do not both make it.
void set_up_schema(sqlite3 *db, const std::filesystem::path &file) {
    execute(db, "BEGIN IMMEDIATE");
    try {
        Statement version(db, "PRAGMA user_version");
        version.step();
        const std::int64_t found = version.integer(0);
        if (found > kSchemaVersion) {
            throw StoreError("the account store '" + file.string() +
                             "' has schema version " + std::to_string(found) +
                             "; this program knows up to " +
                             std::to_string(kSchemaVersion));
        }
        if (found == 0) {
            execute(db, kCreateSchema);
        }
        execute(db, "COMMIT");
    } catch (...) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    // Readers never wait for a writer (the administration commands).
    if (pragma_text(db, "PRAGMA journal_mode") != "wal") {
        execute(db, "PRAGMA journal_mode = WAL");
    }
}

// The account whose `column` (a unique one) holds `value`.
template <class Value>
std::optional<Account> find_one(sqlite3 *db, const char *column, const Value &value) {
    return retry_while_busy([&]() -> std::optional<Account> {
        Statement query(db, std::string("SELECT ") + kColumns + " FROM api_keys WHERE " +
                                column + " = ?1");
        query.bind(1, value);
        if (!query.step()) {
            return std::nullopt;
        }
        return read_account(query);
    });
}

} // namespace

SqliteAccountStore::SqliteAccountStore(const std::filesystem::path &file) : file_(file) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(file.string().c_str(), &db_, flags, nullptr) != SQLITE_OK) {
        const std::string reason = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot open the account store '" + file.string() +
                         "': " + reason);
    }
    try {
        sqlite3_busy_timeout(db_, static_cast<int>(kBusyTimeout.count()));
        retry_while_busy([&] { set_up_schema(db_, file); });
    } catch (...) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw;
    }
}

SqliteAccountStore::~SqliteAccountStore() {
    sqlite3_close(db_);
}

std::optional<Account> SqliteAccountStore::find_by_key_hash(const std::string &key_hash) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find_one(db_, "key_hash", key_hash);
}

std::optional<Account> SqliteAccountStore::find_by_id(std::int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return find_one(db_, "id", id);
}

Account SqliteAccountStore::add(const NewAccount &account) {
    std::lock_guard<std::mutex> lock(mutex_);
    return retry_while_busy([&] {
        Statement insert(db_, "INSERT INTO api_keys (key_hash, key_prefix, models, "
                              "expires_at, created_at) VALUES (?1, ?2, ?3, ?4, ?5)");
        insert.bind(1, account.key_hash);
        insert.bind(2, account.key_prefix);
        insert.bind(3, join_models(account.models));
        insert.bind(4, account.expires_at);
        insert.bind(5, account.created_at);
        insert.step();
        Account added;
        added.id = sqlite3_last_insert_rowid(db_);
        added.key_hash = account.key_hash;
        added.key_prefix = account.key_prefix;
        added.models = account.models;
        added.expires_at = account.expires_at;
        added.created_at = account.created_at;
        return added;
    });
}

std::vector<Account> SqliteAccountStore::list() {
    std::lock_guard<std::mutex> lock(mutex_);
    return retry_while_busy([&] {
        Statement query(db_,
                        std::string("SELECT ") + kColumns + " FROM api_keys ORDER BY id");
        std::vector<Account> accounts;
        while (query.step()) {
            accounts.push_back(read_account(query));
        }
        return accounts;
    });
}

bool SqliteAccountStore::set_disabled(std::int64_t id, bool disabled) {
    std::lock_guard<std::mutex> lock(mutex_);
    return retry_while_busy([&] {
        Statement update(db_, "UPDATE api_keys SET disabled = ?2 WHERE id = ?1");
        update.bind(1, id);
        update.bind(2, std::int64_t{disabled ? 1 : 0});
        update.step();
        return sqlite3_changes(db_) > 0;
    });
}

bool SqliteAccountStore::revoke(std::int64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    return retry_while_busy([&] {
        Statement update(db_, "UPDATE api_keys SET revoked = 1 WHERE id = ?1");
        update.bind(1, id);
        update.step();
        return sqlite3_changes(db_) > 0;
    });
}

} // namespace kolta::server
