#include "service_setup.h"

#include "data_dir.h"
#include "router.h"
#include "sign_in.h"
#include "sqlite_account_store.h"
#include "token_secrets.h"

namespace kolta::server {

namespace {

std::string fingerprints(const TokenSecrets::List &secrets) {
    std::string text;
    for (const auto &secret : secrets) {
        text += (text.empty() ? "" : ", ") + secret_fingerprint(secret);
    }
    return text;
}

// A file that cannot be read or parsed leaves the secrets as they were.
void reload_token_secrets(const std::filesystem::path &file, TokenSecrets &secrets,
                          ServiceLog &log) {
    try {
        TokenSecrets::List next = read_token_secret_file(file);
        const std::string described = fingerprints(next);
        secrets.replace(std::move(next));
        log.info("token secrets reloaded from " + file.string() + ": " + described +
                 " (the first signs)");
    } catch (const std::exception &error) {
        log.error(std::string("token secrets kept as they were: ") + error.what());
    }
}

} // namespace

std::unique_ptr<Service> open_service(const ServiceOptions &options,
                                      std::shared_ptr<ServiceLog> log,
                                      std::mutex *handling_lock,
                                      std::shared_ptr<AccountStore> store) {
    if (!options.data_dir.empty()) {
        prepare_data_dir(options.data_dir);
    }
    auto state = std::make_shared<ServiceState>();
    if (!store && !options.database_url.empty()) {
        throw std::runtime_error("this program keeps accounts in SQLite only");
    }
    SignInSetup setup;
    setup.store =
        store
            ? std::move(store)
            : std::make_shared<SqliteAccountStore>(options.data_dir / kAccountsFileName);
    std::shared_ptr<TokenSecrets> secrets;
    if (options.token_secret_file.empty()) {
        secrets = std::make_shared<TokenSecrets>(
            TokenSecrets::List{load_or_create_token_secret(options.data_dir)});
    } else {
        secrets = std::make_shared<TokenSecrets>(
            read_token_secret_file(options.token_secret_file));
        log->info("token secrets from " + options.token_secret_file.string() + ": " +
                  fingerprints(*secrets->current()) + " (the first signs)");
    }
    setup.token_secrets = secrets;
    setup.token_lifetime = options.token_lifetime;
    setup.guard = options.guard;
    setup.test_keys = options.test_keys;
    setup.log = log;
    setup.metrics = std::shared_ptr<Metrics>(state, &state->metrics);
    auto router = std::make_shared<const Router>(
        std::make_shared<SignInService>(std::move(setup)), state);
    auto service =
        std::make_unique<Service>(options, std::move(router), log, handling_lock);
    // Caught either way: a reload (systemctl reload) never stops the service.
    service->on_hangup([file = options.token_secret_file, secrets, log] {
        if (file.empty()) {
            log->info(
                "SIGHUP: nothing to re-read (the token secret is in the data folder)");
        } else {
            reload_token_secrets(file, *secrets, *log);
        }
    });
    return service;
}

} // namespace kolta::server
