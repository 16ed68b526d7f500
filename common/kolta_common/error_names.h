#pragma once

#include <optional>
#include <string>

#include <kolta/sdk_types.h>

namespace kolta_common {

// Lower-case name of an error type, e.g. "user_disabled" (the engine's keys
// and logs).
std::string error_type_name(kolta::SdkErrorType type);

// The member's own name, e.g. "USER_DISABLED" (the Python enumeration, the
// service's answers).
std::string error_type_member_name(kolta::SdkErrorType type);

// A sentence describing the error, for SdkResult::message.
std::string error_type_description(kolta::SdkErrorType type);

// The error type whose lower-case name is `name`.
std::optional<kolta::SdkErrorType> error_type_from_name(const std::string &name);

// The error type whose member name is `name`, e.g. "TOKEN_EXPIRED".
std::optional<kolta::SdkErrorType> error_type_from_member_name(const std::string &name);

} // namespace kolta_common
