#pragma once

#include <kolta/sdk_types.h>

// Every SdkErrorType member once, in the contract's order: its enumerator, its
// name (the Python enumeration's member; lower-cased in the engine's keys and
// logs) and the sentence the reference engine reports for it. The module's
// enumeration and the engine's names are both expanded from this list.
#define KOLTA_SDK_ERROR_TYPES(X)                                                         \
    X(kNoCredentials, NO_CREDENTIALS, "no credentials were given")                       \
    X(kUserDisabled, USER_DISABLED, "the user account is disabled")                      \
    X(kUnauthorized, UNAUTHORIZED, "the key is not authorised")                          \
    X(kUserNotFound, USER_NOT_FOUND, "the user does not exist")                          \
    X(kSessionExists, SESSION_EXISTS, "a session already exists")                        \
    X(kSessionExpired, SESSION_EXPIRED, "the session has expired")                       \
    X(kTokenExpired, TOKEN_EXPIRED, "the access token has expired")                      \
    X(kInvalidGrant, INVALID_GRANT, "the grant is invalid")                              \
    X(kAuthenticationFailed, AUTHENTICATION_FAILED, "authentication failed")             \
    X(kBadRequest, BAD_REQUEST, "the sign-in request was malformed")                     \
    X(kAuthenticationMechanismMismatch, AUTHENTICATION_MECHANISM_MISMATCH,               \
      "the account uses another authentication mechanism")                               \
    X(kDomainBlacklisted, DOMAIN_BLACKLISTED, "the domain is blocked")                   \
    X(kInvalidEmail, INVALID_EMAIL, "the e-mail address is invalid")                     \
    X(kEmptyPasscode, EMPTY_PASSCODE, "no passcode was given")                           \
    X(kInvalidPasscode, INVALID_PASSCODE, "the passcode is wrong")                       \
    X(kMaxRetriesExceeded, MAX_RETRIES_EXCEEDED, "too many sign-in attempts")            \
    X(kPortalUserExists, PORTAL_USER_EXISTS, "the portal user already exists")           \
    X(kUserCreationFailed, USER_CREATION_FAILED, "the user could not be created")        \
    X(kOnboardingExists, ONBOARDING_EXISTS, "onboarding is already under way")           \
    X(kGroupMigrated, GROUP_MIGRATED, "the group has been migrated")                     \
    X(kNotDomainJoined, NOT_DOMAIN_JOINED, "the device is not domain-joined")            \
    X(kServerUnreachable, SERVER_UNREACHABLE, "the server cannot be reached")            \
    X(kUnknownFailure, UNKNOWN_FAILURE, "an unknown failure occurred")

namespace kolta_common {

// The contract header keeps its own copy of the members: these hold the two
// together (one entry per member, each at its enumerator's value).
#define KOLTA_COUNT_ERROR_TYPE(member, name, description) +1
inline constexpr int kSdkErrorTypeCount = 0 KOLTA_SDK_ERROR_TYPES(KOLTA_COUNT_ERROR_TYPE);
#undef KOLTA_COUNT_ERROR_TYPE
static_assert(kSdkErrorTypeCount ==
                  static_cast<int>(kolta::SdkErrorType::kUnknownFailure) + 1,
              "every SdkErrorType member has one entry");

constexpr bool error_types_in_contract_order() {
    int index = 0;
#define KOLTA_CHECK_ERROR_TYPE(member, name, description)                                \
    if (static_cast<int>(kolta::SdkErrorType::member) != index++)                        \
        return false;
    KOLTA_SDK_ERROR_TYPES(KOLTA_CHECK_ERROR_TYPE)
#undef KOLTA_CHECK_ERROR_TYPE
    return true;
}
static_assert(error_types_in_contract_order(), "entries follow the enumerators' values");

} // namespace kolta_common
