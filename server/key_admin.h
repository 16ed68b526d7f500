#pragma once

#include <ostream>

#include "account_store.h"
#include "command_line.h"

namespace kolta::server {

// Runs one `keys` command against `store`; reports on `out`, problems on
// `err`; returns the exit status (0, or 2 for a key that cannot be found or
// named unambiguously). A new key is written once, as the last line of `out`.
int run_keys_command(const KeysCommand &command, AccountStore &store, std::ostream &out,
                     std::ostream &err);

} // namespace kolta::server
