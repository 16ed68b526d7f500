#pragma once

#include <string>

#include "base/logger.h"

namespace kolta::engine {

// The sign-in service the engine runs itself where none is configured: the
// service's own code (server/), with the reference engine's test keys, on a
// loopback port the system picks, without the brute-force guard (the
// engine's tests refuse many keys on purpose). Started on first use, once per
// process; its accounts, token secret and log (service.log) are in
// `<storage_dir>/service` of the SDK that first needed it. Returns its
// address, e.g. "http://127.0.0.1:40123"; throws std::runtime_error when it
// cannot start.
//
// Around fork() no thread of the service is handling a request (the lock
// that keeps it out of SQLite and OpenSSL is held); a forked child leaves the
// parent's service untouched and starts its own when it first signs in.
std::string embedded_service_url(const std::string &storage_dir, Logger &logger);

} // namespace kolta::engine
