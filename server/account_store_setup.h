#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "account_store.h"
#include "service_log.h"

namespace kolta::server {

// The account store a service or a `keys` command uses: the PostgreSQL
// database at `database_url` when one is given, else the SQLite file in
// `data_dir`. `log`, when given, hears of the database and its migrations.
// Throws StoreError (or std::runtime_error for the folder).
std::shared_ptr<AccountStore> open_account_store(const std::string &database_url,
                                                 const std::filesystem::path &data_dir,
                                                 std::size_t connections,
                                                 ServiceLog *log = nullptr);

} // namespace kolta::server
