#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <kolta/sdk_types.h>

#include "service_state.h"
#include "sign_in.h"

namespace kolta::server {

// One HTTP request as the router sees it: no socket, no parser.
struct Request {
    std::string method; // as sent, e.g. "POST"
    std::string target; // e.g. "/v1/sign-in?x=1"
    std::string body;
    std::string client_address;
};

struct Reply {
    unsigned status = 200;
    std::string body; // JSON, but for the browser page's files
    std::string content_type = "application/json";
    std::vector<std::pair<std::string, std::string>> headers;
    std::chrono::milliseconds delay{0}; // send after this long
};

// The HTTP status and JSON body of a refusal: {"error": <the SdkErrorType
// member's name>, "message": ...}. Every error answer is made here.
Reply error_reply(SdkErrorType error, const std::string &message);
// The 405 answer to `method` at `path`, which takes `allowed` only.
Reply method_not_allowed(const std::string &path, const std::string &allowed,
                         const std::string &method);
unsigned http_status_of(SdkErrorType error);

// Maps requests to the service's endpoints (/v1/health, /v1/sign-in,
// /v1/token/verify, /metrics) and the browser page (web_page.h).
class Router {
public:
    explicit Router(
        std::shared_ptr<SignInService> sign_in,
        std::shared_ptr<ServiceState> state = std::make_shared<ServiceState>())
        : sign_in_(std::move(sign_in)), state_(std::move(state)) {}

    Reply route(const Request &request) const;
    const std::shared_ptr<SignInService> &sign_in_service() const { return sign_in_; }
    ServiceState &state() const { return *state_; }

private:
    Reply sign_in(const Request &request) const;
    Reply verify_token(const Request &request) const;

    Reply health() const;
    Reply metrics() const;

    std::shared_ptr<SignInService> sign_in_;
    std::shared_ptr<ServiceState> state_;
};

} // namespace kolta::server
