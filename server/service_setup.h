#pragma once

#include <memory>

#include "account_store.h"
#include "service.h"
#include "service_log.h"
#include "service_options.h"

namespace kolta::server {

// The whole service from its options: the data folder (made if missing), the
// account store and token secret in it, the sign-in rules and the listening
// port. Throws std::runtime_error (or StoreError) naming what failed.
// `handling_lock`: see Service. `store`, when given, stands in for the
// SQLite file in the data folder (kolta-server's PostgreSQL store, which the
// engine embedding this library does not link).
std::unique_ptr<Service> open_service(const ServiceOptions &options,
                                      std::shared_ptr<ServiceLog> log,
                                      std::mutex *handling_lock = nullptr,
                                      std::shared_ptr<AccountStore> store = nullptr);

} // namespace kolta::server
