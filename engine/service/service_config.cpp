#include "service/service_config.h"

#include <kolta_common/bounded_number.h>

#include "base/env_vars.h"

namespace kolta::engine {

std::optional<ServiceUrl> parse_service_url(const std::string &text) {
    ServiceUrl url;
    url.text = text;
    std::string rest;
    if (text.rfind("https://", 0) == 0) {
        url.tls = true;
        rest = text.substr(8);
    } else if (text.rfind("http://", 0) == 0) {
        rest = text.substr(7);
    } else {
        return std::nullopt;
    }
    const std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    url.base_path = slash == std::string::npos ? "" : rest.substr(slash);
    while (!url.base_path.empty() && url.base_path.back() == '/') {
        url.base_path.pop_back();
    }
    unsigned long long port = url.tls ? 443 : 80;
    std::string host = authority;
    const std::size_t bracket = authority.rfind(']');
    const std::size_t colon = authority.rfind(':');
    if (colon != std::string::npos && (bracket == std::string::npos || colon > bracket)) {
        const auto parsed =
            kolta_common::parse_bounded_number(authority.substr(colon + 1), 65535);
        if (!parsed || *parsed == 0) {
            return std::nullopt;
        }
        port = *parsed;
        host = authority.substr(0, colon);
    }
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
        host = host.substr(1, host.size() - 2);
    }
    if (host.empty() || host.find_first_of(" @?#[]") != std::string::npos) {
        return std::nullopt;
    }
    url.host = host;
    url.port = static_cast<unsigned short>(port);
    return url;
}

std::string host_header(const ServiceUrl &url) {
    const bool ipv6 = url.host.find(':') != std::string::npos;
    const std::string host = ipv6 ? "[" + url.host + "]" : url.host;
    const bool default_port = url.port == (url.tls ? 443 : 80);
    return default_port ? host : host + ":" + std::to_string(url.port);
}

std::string service_url_variable(Environment environment) {
    switch (environment) {
    case Environment::kDev:
        return std::string(kServiceUrlVariable) + "_DEV";
    case Environment::kStaging:
        return std::string(kServiceUrlVariable) + "_STAGING";
    case Environment::kUat:
        return std::string(kServiceUrlVariable) + "_UAT";
    case Environment::kDefault:
        break;
    }
    return std::string(kServiceUrlVariable) + "_DEFAULT";
}

std::optional<std::pair<std::string, std::string>>
configured_service_url(Environment environment) {
    for (const std::string &variable :
         {std::string(kServiceUrlVariable), service_url_variable(environment)}) {
        if (auto value = read_environment(variable.c_str()); value && !value->empty()) {
            return std::make_pair(variable, *value);
        }
    }
    return std::nullopt;
}

std::chrono::milliseconds sign_in_timeout() {
    const auto text = read_environment(kSignInTimeoutVariable);
    const auto value =
        text ? kolta_common::parse_bounded_number(*text, kMaxSignInTimeoutMs)
             : std::nullopt;
    if (!value || *value == 0) {
        return kDefaultSignInTimeout;
    }
    return std::chrono::milliseconds(*value);
}

} // namespace kolta::engine
