#include "error_names.h"

#include <iterator>

namespace kolta::engine {

namespace {

struct ErrorEntry {
    SdkErrorType type;
    const char *name;
    const char *description;
};

constexpr ErrorEntry kErrors[] = {
    {SdkErrorType::kNoCredentials, "no_credentials", "no credentials were given"},
    {SdkErrorType::kUserDisabled, "user_disabled", "the user account is disabled"},
    {SdkErrorType::kUnauthorized, "unauthorized", "the key is not authorised"},
    {SdkErrorType::kUserNotFound, "user_not_found", "the user does not exist"},
    {SdkErrorType::kSessionExists, "session_exists", "a session already exists"},
    {SdkErrorType::kSessionExpired, "session_expired", "the session has expired"},
    {SdkErrorType::kTokenExpired, "token_expired", "the access token has expired"},
    {SdkErrorType::kInvalidGrant, "invalid_grant", "the grant is invalid"},
    {SdkErrorType::kAuthenticationFailed, "authentication_failed",
     "authentication failed"},
    {SdkErrorType::kBadRequest, "bad_request", "the sign-in request was malformed"},
    {SdkErrorType::kAuthenticationMechanismMismatch, "authentication_mechanism_mismatch",
     "the account uses another authentication mechanism"},
    {SdkErrorType::kDomainBlacklisted, "domain_blacklisted", "the domain is blocked"},
    {SdkErrorType::kInvalidEmail, "invalid_email", "the e-mail address is invalid"},
    {SdkErrorType::kEmptyPasscode, "empty_passcode", "no passcode was given"},
    {SdkErrorType::kInvalidPasscode, "invalid_passcode", "the passcode is wrong"},
    {SdkErrorType::kMaxRetriesExceeded, "max_retries_exceeded",
     "too many sign-in attempts"},
    {SdkErrorType::kPortalUserExists, "portal_user_exists",
     "the portal user already exists"},
    {SdkErrorType::kUserCreationFailed, "user_creation_failed",
     "the user could not be created"},
    {SdkErrorType::kOnboardingExists, "onboarding_exists",
     "onboarding is already under way"},
    {SdkErrorType::kGroupMigrated, "group_migrated", "the group has been migrated"},
    {SdkErrorType::kNotDomainJoined, "not_domain_joined",
     "the device is not domain-joined"},
    {SdkErrorType::kServerUnreachable, "server_unreachable",
     "the server cannot be reached"},
    {SdkErrorType::kUnknownFailure, "unknown_failure", "an unknown failure occurred"},
};

const ErrorEntry *find_entry(SdkErrorType type) {
    for (const auto &entry : kErrors) {
        if (entry.type == type) {
            return &entry;
        }
    }
    return nullptr;
}

} // namespace

std::string error_type_name(SdkErrorType type) {
    const ErrorEntry *entry = find_entry(type);
    return entry != nullptr ? entry->name
                            : "unknown(" + std::to_string(static_cast<int>(type)) + ")";
}

std::string error_type_description(SdkErrorType type) {
    const ErrorEntry *entry = find_entry(type);
    return entry != nullptr ? entry->description : "an unknown failure occurred";
}

std::optional<SdkErrorType> error_type_from_name(const std::string &name) {
    for (const auto &entry : kErrors) {
        if (name == entry.name) {
            return entry.type;
        }
    }
    return std::nullopt;
}

} // namespace kolta::engine
