#pragma once

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "service_options.h"

namespace kolta::server {

// `kolta-server keys ...`: administration of the account store.
struct KeysCommand {
    enum class Action { kAdd, kList, kDisable, kEnable, kRevoke };
    Action action = Action::kList;
    std::filesystem::path data_dir;
    std::string database_url;           // instead of data_dir
    std::vector<std::string> models;    // add: names, or "*" for every model
    std::optional<std::string> expires; // add: YYYY-MM-DD, checked
    std::string target;                 // disable, enable, revoke: id or prefix
};

struct Invocation {
    enum class Kind { kServe, kKeys, kHelp, kVersion };
    Kind kind = Kind::kServe;
    ServiceOptions service;
    KeysCommand keys;
};

// A mistake in the arguments; the message says which and why.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The arguments after the program's name.
Invocation parse_command_line(const std::vector<std::string> &arguments);

std::string usage_text();

} // namespace kolta::server
