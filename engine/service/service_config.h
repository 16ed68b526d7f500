#pragma once

#include <chrono>
#include <optional>
#include <string>

#include <kolta/sdk_types.h>

namespace kolta::engine {

// Where sign-ins go: the service's base address, e.g. "https://auth.example:8443"
// or "http://127.0.0.1:8470/kolta" (paths are appended to it: /v1/sign-in).
struct ServiceUrl {
    std::string text; // as given, for messages
    bool tls = false;
    std::string host;
    unsigned short port = 0;
    std::string base_path; // "" or "/kolta", never ending in '/'
};

// Nothing for text that is not an http:// or https:// address with a host.
std::optional<ServiceUrl> parse_service_url(const std::string &text);

// The Host header for requests to `url`: IPv6 addresses in brackets, the
// port unless it is the scheme's own.
std::string host_header(const ServiceUrl &url);

inline constexpr char kServiceUrlVariable[] = "KOLTA_SERVICE_URL";
inline constexpr char kSignInTimeoutVariable[] = "KOLTA_SIGN_IN_TIMEOUT_MS";
inline constexpr char kServiceCaFileVariable[] = "KOLTA_SERVICE_CA_FILE";
inline constexpr std::chrono::milliseconds kDefaultSignInTimeout{5000};
inline constexpr unsigned long long kMaxSignInTimeoutMs = 600000;

// The variable that names the service of `environment`, e.g.
// KOLTA_SERVICE_URL_STAGING.
std::string service_url_variable(Environment environment);

// The configured service for `environment`, as (variable, value): the
// KOLTA_SERVICE_URL variable when set, else the environment's own; nothing
// when neither is set (the engine then embeds one).
std::optional<std::pair<std::string, std::string>>
configured_service_url(Environment environment);

// KOLTA_SIGN_IN_TIMEOUT_MS when it holds a whole number from 1 to 600000,
// else 5000 ms.
std::chrono::milliseconds sign_in_timeout();

} // namespace kolta::engine
