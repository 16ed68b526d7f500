#include "key_admin.h"

#include <iomanip>

#include <kolta_common/bounded_number.h>
#include <kolta_common/civil_time.h>

#include "api_keys.h"

namespace kolta::server {

namespace {

constexpr std::int64_t kSecondsPerDay = 86400;

std::string state_of(const Account &account, std::int64_t now) {
    if (account.revoked) {
        return "revoked";
    }
    if (account.disabled) {
        return "disabled";
    }
    if (account.expires_at && *account.expires_at <= now) {
        return "expired";
    }
    return "active";
}

std::string shown(const Account &account) {
    return account.key_prefix + "****";
}

int add(const KeysCommand &command, AccountStore &store, std::ostream &out) {
    NewAccount account;
    const std::string key = generate_api_key();
    account.key_hash = api_key_hash(key);
    account.key_prefix = api_key_prefix(key);
    account.models = command.models;
    account.created_at = kolta_common::system_seconds();
    if (command.expires) {
        // Refused from the first moment of that day, UTC.
        account.expires_at = kolta_common::days_from_civil(
                                 *kolta_common::parse_iso_date(*command.expires)) *
                             kSecondsPerDay;
    }
    const Account added = store.add(account);
    out << "added key " << added.id << " (" << shown(added) << "), models "
        << join_models(added.models);
    if (added.expires_at) {
        out << ", refused from " << kolta_common::iso_date_of(*added.expires_at)
            << " (UTC)";
        if (*added.expires_at <= account.created_at) {
            out << " - expired already";
        }
    }
    out << "\nthe key is shown only this once:\n" << key << "\n";
    return 0;
}

int list(AccountStore &store, std::ostream &out) {
    const std::int64_t now = kolta_common::system_seconds();
    out << std::left << std::setw(6) << "ID" << std::setw(10) << "KEY" << std::setw(28)
        << "MODELS" << std::setw(10) << "STATE" << std::setw(12) << "EXPIRES"
        << "CREATED\n";
    for (const Account &account : store.list()) {
        out << std::setw(6) << account.id << std::setw(10) << shown(account)
            << std::setw(28) << join_models(account.models) << std::setw(10)
            << state_of(account, now) << std::setw(12)
            << (account.expires_at ? kolta_common::iso_date_of(*account.expires_at)
                                   : "never")
            << kolta_common::iso_date_of(account.created_at) << "\n";
    }
    return 0;
}

// The one account an id or a shown prefix ("kk_A" or "kk_A****") names.
std::optional<Account> find_target(const std::string &target, AccountStore &store,
                                   std::ostream &err) {
    if (const auto id = kolta_common::parse_bounded_number(target, ~0ULL >> 1)) {
        auto account = store.find_by_id(static_cast<std::int64_t>(*id));
        if (!account) {
            err << "kolta-server: error: no key with id " << target << "\n";
        }
        return account;
    }
    std::string prefix = target;
    while (!prefix.empty() && prefix.back() == '*') {
        prefix.pop_back();
    }
    std::vector<Account> matches;
    for (Account &account : store.list()) {
        if (account.key_prefix == prefix) {
            matches.push_back(std::move(account));
        }
    }
    if (matches.size() == 1) {
        return matches.front();
    }
    if (matches.empty()) {
        err << "kolta-server: error: no key with the prefix '" << prefix
            << "' (see keys list)\n";
    } else {
        err << "kolta-server: error: the prefix '" << prefix << "' names keys";
        for (const Account &account : matches) {
            err << " " << account.id;
        }
        err << ": give the id\n";
    }
    return std::nullopt;
}

int change(const KeysCommand &command, AccountStore &store, std::ostream &out,
           std::ostream &err) {
    const auto account = find_target(command.target, store, err);
    if (!account) {
        return 2;
    }
    switch (command.action) {
    case KeysCommand::Action::kDisable:
        store.set_disabled(account->id, true);
        out << "key " << account->id << " (" << shown(*account) << ") disabled\n";
        break;
    case KeysCommand::Action::kEnable:
        if (account->revoked) {
            err << "kolta-server: error: key " << account->id
                << " is revoked; a revoked key stays refused\n";
            return 2;
        }
        store.set_disabled(account->id, false);
        out << "key " << account->id << " (" << shown(*account) << ") enabled\n";
        break;
    default:
        store.revoke(account->id);
        out << "key " << account->id << " (" << shown(*account) << ") revoked\n";
        break;
    }
    return 0;
}

} // namespace

int run_keys_command(const KeysCommand &command, AccountStore &store, std::ostream &out,
                     std::ostream &err) {
    switch (command.action) {
    case KeysCommand::Action::kAdd:
        return add(command, store, out);
    case KeysCommand::Action::kList:
        return list(store, out);
    default:
        return change(command, store, out, err);
    }
}

} // namespace kolta::server
