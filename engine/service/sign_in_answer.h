#pragma once

#include <optional>
#include <string>

#include <kolta/sdk_types.h>
#include <kolta_common/key_scheme.h>

namespace kolta::engine {

// A sign-in's outcome as the session needs it.
struct SignInOutcome {
    SdkResult result;
    std::optional<kolta_common::Entitlements> entitlements; // set exactly on success
    // On success, where the session's audio streams go and what they show.
    std::string service_url;
    std::string token;
};

// The service's answer (docs/protocol.md) read into an outcome: 200 with its
// models, or the refusal it names. An answer that is neither is an
// UNKNOWN_FAILURE naming `service`.
SignInOutcome read_sign_in_answer(unsigned status, const std::string &body,
                                  const std::string &service);

SignInOutcome sign_in_refused(SdkErrorType error, std::string message);

} // namespace kolta::engine
