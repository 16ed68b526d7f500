#include "service/sign_in_answer.h"

#include <kolta_common/error_names.h>
#include <kolta_common/json.h>

namespace kolta::engine {

SignInOutcome sign_in_refused(SdkErrorType error, std::string message) {
    SignInOutcome outcome;
    outcome.result.success = false;
    outcome.result.error_type = error;
    outcome.result.message = std::move(message);
    return outcome;
}

SignInOutcome read_sign_in_answer(unsigned status, const std::string &body,
                                  const std::string &service) {
    const auto object = kolta_common::parse_json_object(body);
    if (status == 200 && object && object->strings.count("token") > 0 &&
        object->string_arrays.count("models") > 0) {
        SignInOutcome outcome;
        outcome.result.success = true;
        outcome.result.message = "activated";
        outcome.entitlements =
            kolta_common::entitlements_of(object->string_arrays.at("models"));
        outcome.service_url = service;
        outcome.token = object->strings.at("token");
        return outcome;
    }
    if (status != 200 && object && object->strings.count("error") > 0) {
        const auto error =
            kolta_common::error_type_from_member_name(object->strings.at("error"));
        const auto message = object->strings.find("message");
        if (error && message != object->strings.end()) {
            return sign_in_refused(*error, message->second);
        }
    }
    return sign_in_refused(SdkErrorType::kUnknownFailure,
                           "the sign-in service at " + service +
                               " gave an answer that is not the protocol's (HTTP " +
                               std::to_string(status) + ")");
}

} // namespace kolta::engine
