#include "router.h"

#include <kolta_common/error_names.h>

#include "version.h"
#include "web_page.h"
#include <kolta_common/json.h>

namespace kolta::server {

using kolta_common::JsonWriter;
using kolta_common::parse_json_object;

namespace {

struct Endpoint {
    const char *path;
    const char *method;
    Reply (*handle)(const Router &, const Request &);
};

std::string path_of(const std::string &target) {
    return target.substr(0, target.find('?'));
}

Reply json_reply(std::string body) {
    Reply reply;
    reply.body = std::move(body);
    return reply;
}

// The named string member of a JSON object body, or the BAD_REQUEST reply.
bool string_member(const Request &request, const char *name, std::string &value,
                   Reply &refusal) {
    const auto object = parse_json_object(request.body);
    if (object) {
        const auto found = object->strings.find(name);
        if (found != object->strings.end()) {
            value = found->second;
            return true;
        }
    }
    refusal = error_reply(SdkErrorType::kBadRequest,
                          std::string("expected a JSON object with a string member \"") +
                              name + "\"");
    return false;
}

Reply answer_reply(const SignInAnswer &answer, bool with_token) {
    if (!answer.success) {
        Reply reply = error_reply(answer.error, answer.message);
        if (answer.retry_after.count() > 0) {
            reply.headers.emplace_back("Retry-After",
                                       std::to_string(answer.retry_after.count()));
        }
        reply.delay = answer.delay;
        return reply;
    }
    JsonWriter body;
    if (with_token) {
        body.string("token", answer.token);
    } else {
        body.string("key_id", answer.key_id);
    }
    body.number("expires_in", answer.expires_in).strings("models", answer.models);
    Reply reply = json_reply(body.finish());
    reply.delay = answer.delay;
    return reply;
}

} // namespace

unsigned http_status_of(SdkErrorType error) {
    switch (error) {
    case SdkErrorType::kBadRequest:
    case SdkErrorType::kNoCredentials:
        return 400;
    case SdkErrorType::kUserDisabled:
        return 403;
    case SdkErrorType::kMaxRetriesExceeded:
        return 429;
    case SdkErrorType::kServerUnreachable:
        return 503;
    case SdkErrorType::kUnknownFailure:
        return 500;
    default:
        return 401;
    }
}

Reply error_reply(SdkErrorType error, const std::string &message) {
    Reply reply;
    reply.status = http_status_of(error);
    reply.body = JsonWriter()
                     .string("error", kolta_common::error_type_member_name(error))
                     .string("message", message)
                     .finish();
    return reply;
}

Reply method_not_allowed(const std::string &path, const std::string &allowed,
                         const std::string &method) {
    Reply reply = error_reply(SdkErrorType::kBadRequest,
                              path + " takes " + allowed + ", not " + method);
    reply.status = 405;
    reply.headers.emplace_back("Allow", allowed);
    return reply;
}

Reply Router::route(const Request &request) const {
    static const Endpoint endpoints[] = {
        {"/v1/health", "GET",
         [](const Router &router, const Request &) { return router.health(); }},
        {"/metrics", "GET",
         [](const Router &router, const Request &) { return router.metrics(); }},
        {"/v1/sign-in", "POST",
         [](const Router &router, const Request &r) { return router.sign_in(r); }},
        {"/v1/token/verify", "POST",
         [](const Router &router, const Request &r) { return router.verify_token(r); }},
    };
    const std::string path = path_of(request.target);
    for (const Endpoint &endpoint : endpoints) {
        if (path != endpoint.path) {
            continue;
        }
        if (request.method != endpoint.method) {
            return method_not_allowed(path, endpoint.method, request.method);
        }
        return endpoint.handle(*this, request);
    }
    if (auto page = page_reply(request, path)) {
        return std::move(*page);
    }
    Reply reply = error_reply(SdkErrorType::kBadRequest, "no such endpoint");
    reply.status = 404;
    return reply;
}

Reply Router::health() const {
    const bool draining = state_->draining.load();
    Reply reply = json_reply(JsonWriter()
                                 .string("status", draining ? "draining" : "ok")
                                 .string("version", kServiceVersion)
                                 .finish());
    if (draining) {
        reply.status = 503; // a load balancer takes the instance out
    }
    return reply;
}

Reply Router::metrics() const {
    Reply reply;
    reply.body = state_->metrics.render();
    reply.content_type = kMetricsContentType;
    return reply;
}

Reply Router::sign_in(const Request &request) const {
    std::string api_key;
    Reply refusal;
    if (!string_member(request, "api_key", api_key, refusal)) {
        return refusal;
    }
    return answer_reply(sign_in_->sign_in(api_key, request.client_address), true);
}

Reply Router::verify_token(const Request &request) const {
    std::string token;
    Reply refusal;
    if (!string_member(request, "token", token, refusal)) {
        return refusal;
    }
    return answer_reply(sign_in_->verify_token(token), false);
}

} // namespace kolta::server
