#include "command_line.h"

#include <algorithm>
#include <map>
#include <set>

#include <kolta_common/bounded_number.h>
#include <kolta_common/civil_time.h>
#include <kolta_common/key_scheme.h>

#include "account_store.h"

namespace kolta::server {

namespace {

// The arguments as (name, value) options and plain words, in order.
class ArgumentReader {
public:
    explicit ArgumentReader(const std::vector<std::string> &arguments)
        : arguments_(arguments) {}

    bool done() const { return at_ >= arguments_.size(); }
    const std::string &peek() const { return arguments_[at_]; }
    bool next_is_option() const { return !done() && peek().rfind("--", 0) == 0; }

    // "--name value" or "--name=value"; sets `name` and `value`.
    void option(std::string &name, std::string &value, bool takes_value) {
        const std::string &word = arguments_[at_++];
        const std::size_t equals = word.find('=');
        name = word.substr(0, equals);
        if (!takes_value) {
            if (equals != std::string::npos) {
                throw UsageError(name + " takes no value");
            }
            return;
        }
        if (equals != std::string::npos) {
            value = word.substr(equals + 1);
        } else if (done()) {
            throw UsageError(name + " needs a value");
        } else {
            value = arguments_[at_++];
        }
    }

    std::string word() { return arguments_[at_++]; }

private:
    const std::vector<std::string> &arguments_;
    std::size_t at_ = 0;
};

unsigned long long number(const std::string &name, const std::string &value,
                          unsigned long long low, unsigned long long high) {
    const auto parsed = kolta_common::parse_bounded_number(value, high);
    if (!parsed || *parsed < low) {
        throw UsageError(name + ": expected a whole number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + value + "'");
    }
    return *parsed;
}

void parse_listen(const std::string &value, ServiceOptions &options) {
    // HOST:PORT, or [IPv6]:PORT.
    const std::size_t colon = value.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        throw UsageError("--listen: expected HOST:PORT, e.g. 127.0.0.1:8470, not '" +
                         value + "'");
    }
    std::string host = value.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    options.host = host;
    options.port = static_cast<unsigned short>(
        number("--listen port", value.substr(colon + 1), 0, 65535));
}

bool valid_model_name(const std::string &name) {
    return !name.empty() && name.size() <= 64 &&
           std::all_of(name.begin(), name.end(), [](char c) {
               return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
           });
}

std::vector<std::string> parse_models(const std::string &value) {
    std::vector<std::string> models;
    std::size_t begin = 0;
    while (true) {
        const std::size_t comma = value.find(',', begin);
        std::string name = value.substr(begin, comma - begin);
        if (name == "all" || name == kolta_common::kEveryModel) {
            name = kolta_common::kEveryModel;
        } else if (!valid_model_name(name)) {
            throw UsageError("--models: '" + name +
                             "' is not a model name (letters, digits, '_', '-', '.'; "
                             "or all)");
        }
        if (std::find(models.begin(), models.end(), name) == models.end()) {
            models.push_back(name);
        }
        if (comma == std::string::npos) {
            return models;
        }
        begin = comma + 1;
    }
}

std::string database_url(const std::string &value) {
    if (value.rfind("postgresql://", 0) != 0 && value.rfind("postgres://", 0) != 0) {
        throw UsageError("--db: expected a URL postgresql://USER@HOST:PORT/DATABASE");
    }
    return value;
}

ServiceOptions parse_service(ArgumentReader &reader) {
    ServiceOptions options;
    std::optional<std::filesystem::path> certificate;
    std::optional<std::filesystem::path> key;
    bool have_data = false;
    while (!reader.done()) {
        if (!reader.next_is_option()) {
            throw UsageError("unexpected argument '" + reader.peek() + "'");
        }
        static const std::set<std::string> known = {"--test-keys",
                                                    "--listen",
                                                    "--data",
                                                    "--tls-cert",
                                                    "--tls-key",
                                                    "--threads",
                                                    "--token-lifetime",
                                                    "--max-failures",
                                                    "--failure-window",
                                                    "--read-timeout-ms",
                                                    "--max-body-bytes",
                                                    "--max-header-bytes",
                                                    "--max-connections",
                                                    "--stream-max-message-bytes",
                                                    "--stream-idle-ms",
                                                    "--stream-sessions-per-token",
                                                    "--db",
                                                    "--token-secret-file",
                                                    "--drain-ms"};
        std::string name = reader.peek().substr(0, reader.peek().find('='));
        if (known.count(name) == 0) {
            throw UsageError("unknown option " + name);
        }
        std::string value;
        reader.option(name, value, name != "--test-keys");
        if (name == "--test-keys") {
            options.test_keys = true;
        } else if (name == "--listen") {
            parse_listen(value, options);
        } else if (name == "--data") {
            options.data_dir = value;
            have_data = !value.empty();
        } else if (name == "--tls-cert") {
            certificate = value;
        } else if (name == "--tls-key") {
            key = value;
        } else if (name == "--threads") {
            options.threads = static_cast<unsigned>(number(name, value, 1, 64));
        } else if (name == "--token-lifetime") {
            options.token_lifetime = std::chrono::seconds(number(name, value, 1, 86400));
        } else if (name == "--max-failures") {
            options.guard.max_failures =
                static_cast<unsigned>(number(name, value, 0, 1000000));
        } else if (name == "--failure-window") {
            options.guard.window = std::chrono::seconds(number(name, value, 1, 86400));
        } else if (name == "--read-timeout-ms") {
            options.connection.read_timeout =
                std::chrono::milliseconds(number(name, value, 100, 600000));
        } else if (name == "--max-body-bytes") {
            options.connection.max_body_bytes = number(name, value, 256, 16 << 20);
        } else if (name == "--max-header-bytes") {
            options.connection.max_header_bytes = number(name, value, 1024, 1 << 20);
        } else if (name == "--max-connections") {
            options.connection.max_connections = number(name, value, 1, 100000);
        } else if (name == "--stream-max-message-bytes") {
            options.stream.max_message_bytes = number(name, value, 1024, 16 << 20);
        } else if (name == "--stream-idle-ms") {
            options.stream.idle_timeout =
                std::chrono::milliseconds(number(name, value, 100, 600000));
        } else if (name == "--stream-sessions-per-token") {
            options.stream.sessions_per_token = number(name, value, 1, 100000);
        } else if (name == "--db") {
            options.database_url = database_url(value);
        } else if (name == "--token-secret-file") {
            if (value.empty()) {
                throw UsageError("--token-secret-file needs a file");
            }
            options.token_secret_file = value;
        } else if (name == "--drain-ms") {
            options.drain_timeout =
                std::chrono::milliseconds(number(name, value, 0, 3600000));
        }
    }
    // The data folder holds what neither the database nor the secret file
    // stands in for.
    if (!have_data &&
        (options.database_url.empty() || options.token_secret_file.empty())) {
        throw UsageError("--data DIR is required (unless both --db and "
                         "--token-secret-file are given)");
    }
    if (certificate.has_value() != key.has_value()) {
        throw UsageError("--tls-cert and --tls-key go together");
    }
    if (certificate) {
        options.tls = TlsFiles{*certificate, *key};
    }
    return options;
}

KeysCommand parse_keys(ArgumentReader &reader) {
    static const std::map<std::string, KeysCommand::Action> actions = {
        {"add", KeysCommand::Action::kAdd},
        {"list", KeysCommand::Action::kList},
        {"disable", KeysCommand::Action::kDisable},
        {"enable", KeysCommand::Action::kEnable},
        {"revoke", KeysCommand::Action::kRevoke},
    };
    if (reader.done()) {
        throw UsageError("keys: expected add, list, disable, enable or revoke");
    }
    const std::string verb = reader.word();
    const auto found = actions.find(verb);
    if (found == actions.end()) {
        throw UsageError("keys: unknown command '" + verb +
                         "' (expected add, list, disable, enable or revoke)");
    }
    KeysCommand command;
    command.action = found->second;
    const bool add = command.action == KeysCommand::Action::kAdd;
    const bool targeted = !add && command.action != KeysCommand::Action::kList;
    bool have_models = false;
    while (!reader.done()) {
        if (!reader.next_is_option()) {
            if (!targeted || !command.target.empty()) {
                throw UsageError("keys " + verb + ": unexpected argument '" +
                                 reader.peek() + "'");
            }
            command.target = reader.word();
            continue;
        }
        std::string name = reader.peek().substr(0, reader.peek().find('='));
        if (name != "--data" && name != "--db" &&
            !(add && (name == "--models" || name == "--expires"))) {
            throw UsageError("keys " + verb + ": unknown option " + name);
        }
        std::string value;
        reader.option(name, value, true);
        if (name == "--data") {
            command.data_dir = value;
        } else if (name == "--db") {
            command.database_url = database_url(value);
        } else if (add && name == "--models") {
            command.models = parse_models(value);
            have_models = true;
        } else if (add && name == "--expires") {
            if (!kolta_common::parse_iso_date(value)) {
                throw UsageError("--expires: expected a date YYYY-MM-DD, not '" + value +
                                 "'");
            }
            command.expires = value;
        }
    }
    if (command.data_dir.empty() == command.database_url.empty()) {
        throw UsageError("keys " + verb + ": give either --data DIR or --db URL");
    }
    if (add && !have_models) {
        throw UsageError(
            "keys add: --models is required, e.g. --models denoise,translate");
    }
    if (targeted && command.target.empty()) {
        throw UsageError("keys " + verb + ": which key? Give its id or its prefix");
    }
    return command;
}

} // namespace

Invocation parse_command_line(const std::vector<std::string> &arguments) {
    Invocation invocation;
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        invocation.kind = Invocation::Kind::kHelp;
        return invocation;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        invocation.kind = Invocation::Kind::kVersion;
        return invocation;
    }
    ArgumentReader reader(arguments);
    if (!reader.done() && reader.peek() == "keys") {
        reader.word();
        invocation.kind = Invocation::Kind::kKeys;
        invocation.keys = parse_keys(reader);
        return invocation;
    }
    invocation.service = parse_service(reader);
    return invocation;
}

std::string usage_text() {
    return R"(usage: kolta-server --data DIR [--listen HOST:PORT] [--tls-cert FILE --tls-key FILE]
                    [--test-keys] [--threads N] [--token-lifetime S]
                    [--max-failures N] [--failure-window S] [--read-timeout-ms N]
                    [--max-body-bytes N] [--max-header-bytes N] [--max-connections N]
                    [--stream-max-message-bytes N] [--stream-idle-ms N]
                    [--stream-sessions-per-token N]
                    [--db postgresql://...] [--token-secret-file FILE] [--drain-ms N]
       kolta-server keys add --data DIR|--db URL --models M1,M2|all [--expires YYYY-MM-DD]
       kolta-server keys list --data DIR|--db URL
       kolta-server keys disable|enable|revoke --data DIR|--db URL ID_OR_PREFIX

The Kolta sign-in service (protocol: docs/protocol.md). Accounts and the token
secret are kept in DIR, or accounts in the PostgreSQL database --db and the
secrets in --token-secret-file (re-read on SIGHUP), which several instances may
share (docs/deploy.md). --listen defaults to 127.0.0.1:8470 (port 0: any free
port, printed in the first log line). --test-keys also honours the reference
engine's test keys (KOLTA-DEMO-KEY, kt_..., fail_...). SIGTERM stops it after
its open streams end (at most --drain-ms, default 10000; then they are closed
with 1001); SIGINT stops it at once.
)";
}

} // namespace kolta::server
