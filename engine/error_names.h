#pragma once

#include <optional>
#include <string>

#include <kolta/sdk_types.h>

namespace kolta::engine {

// Lower-case name of an error type, e.g. "user_disabled".
std::string error_type_name(SdkErrorType type);

// A sentence describing the error, for SdkResult::message.
std::string error_type_description(SdkErrorType type);

// The error type whose lower-case name is `name`.
std::optional<SdkErrorType> error_type_from_name(const std::string &name);

} // namespace kolta::engine
