#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kolta {

// Back-end environment the library talks to.
enum class Environment : std::int32_t {
    kDev = 0,
    kStaging = 1,
    kUat = 2,
    kDefault = 3,
};

enum class SdkErrorType : std::int32_t {
    kNoCredentials = 0,
    kUserDisabled = 1,
    kUnauthorized = 2,
    kUserNotFound = 3,
    kSessionExists = 4,
    kSessionExpired = 5,
    kTokenExpired = 6,
    kInvalidGrant = 7,
    kAuthenticationFailed = 8,
    kBadRequest = 9,
    kAuthenticationMechanismMismatch = 10,
    kDomainBlacklisted = 11,
    kInvalidEmail = 12,
    kEmptyPasscode = 13,
    kInvalidPasscode = 14,
    kMaxRetriesExceeded = 15,
    kPortalUserExists = 16,
    kUserCreationFailed = 17,
    kOnboardingExists = 18,
    kGroupMigrated = 19,
    kNotDomainJoined = 20,
    kServerUnreachable = 21,
    kUnknownFailure = 22,
};

struct SdkResult {
    bool success = false;
    SdkErrorType error_type = SdkErrorType::kUnknownFailure;
    std::string message;
};

// Initialisation record. The bindings set environment, storage_dir and
// models_dir; the remaining fields stay at their defaults.
struct InitParams {
    Environment environment = Environment::kDefault;
    std::string storage_dir = "./";
    std::string models_dir = "./";
    std::string app_name;
    std::string app_version;
    std::string device_id;

    std::function<void(const SdkResult &)> on_activation;
    std::function<void(const SdkResult &)> on_deactivation;
    std::function<void(const SdkResult &)> on_session_expired;
    std::function<void(const SdkResult &)> on_token_refreshed;
    std::function<void(const std::string &)> on_user_changed;
    std::function<void(const std::string &)> on_entitlements_changed;
    std::function<void(const std::string &)> on_model_downloaded;
    std::function<void(const std::string &)> on_model_removed;
    std::function<void(const std::string &, double)> on_model_progress;
    std::function<void(const std::string &)> on_update_available;
    std::function<void(bool)> on_connectivity_changed;
    std::function<void(int, const std::string &)> on_log_message;
    std::function<void(const std::string &)> on_telemetry;
    std::function<void(const std::string &)> on_config_changed;
    std::function<void()> on_shutdown;
};

} // namespace kolta
