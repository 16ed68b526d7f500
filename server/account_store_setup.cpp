#include "account_store_setup.h"

#include "data_dir.h"
#include "sqlite_account_store.h"
#ifdef KOLTA_SERVER_POSTGRES
#include "pg_account_store.h"
#endif

namespace kolta::server {

std::shared_ptr<AccountStore> open_account_store(const std::string &database_url,
                                                 const std::filesystem::path &data_dir,
                                                 std::size_t connections,
                                                 ServiceLog *log) {
    if (database_url.empty()) {
        prepare_data_dir(data_dir);
        return std::make_shared<SqliteAccountStore>(data_dir / kAccountsFileName);
    }
#ifndef KOLTA_SERVER_POSTGRES
    (void)connections;
    (void)log;
    throw StoreError("this kolta-server was built without PostgreSQL (libpq)");
#else
    auto store = std::make_shared<PgAccountStore>(database_url, connections);
    if (log != nullptr) {
        std::string applied;
        for (int version : store->applied_migrations()) {
            applied += (applied.empty() ? "" : ", ") + std::to_string(version);
        }
        log->info("accounts in PostgreSQL " + store->describe() + ", schema version " +
                  std::to_string(pg_schema_version()) +
                  (applied.empty() ? std::string(" (up to date)")
                                   : " (applied migrations " + applied + ")"));
    }
    return store;
#endif
}

} // namespace kolta::server
