// kolta-server: the sign-in service, and the administration of its API keys.
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "account_store_setup.h"
#include "command_line.h"
#include "key_admin.h"
#include "service_setup.h"
#include "version.h"

namespace {

using namespace kolta::server;

int serve(const ServiceOptions &options) {
    auto log = std::make_shared<ServiceLog>(stderr);
    // A database connection for each serving thread, and one for overlap.
    auto store = open_account_store(options.database_url, options.data_dir,
                                    options.threads + 1, log.get());
    std::unique_ptr<Service> service =
        open_service(options, log, nullptr, std::move(store));
    const int signal_number = service->run_until_signalled([&] {
        log->info(
            std::string("kolta-server ") + kServiceVersion + " listening on " +
            service->url() + " (test keys " + (options.test_keys ? "on" : "off") +
            ", data " +
            (options.data_dir.empty() ? std::string("none") : options.data_dir.string()) +
            ")");
    });
    log->info("stopping on signal " + std::to_string(signal_number));
    service.reset();
    log->info("stopped");
    return 0;
}

int keys(const KeysCommand &command) {
    const auto store = open_account_store(command.database_url, command.data_dir, 1);
    return run_keys_command(command, *store, std::cout, std::cerr);
}

} // namespace

int main(int argc, char **argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    Invocation invocation;
    try {
        invocation = parse_command_line(arguments);
    } catch (const UsageError &error) {
        std::cerr << "kolta-server: error: " << error.what()
                  << " (see kolta-server --help)\n";
        return 2;
    }
    try {
        switch (invocation.kind) {
        case Invocation::Kind::kHelp:
            std::cout << usage_text();
            return 0;
        case Invocation::Kind::kVersion:
            std::cout << "kolta-server " << kServiceVersion << "\n";
            return 0;
        case Invocation::Kind::kKeys:
            return keys(invocation.keys);
        case Invocation::Kind::kServe:
            return serve(invocation.service);
        }
    } catch (const std::exception &error) {
        std::cerr << "kolta-server: error: " << error.what() << "\n";
        return 1;
    }
    return 1;
}
