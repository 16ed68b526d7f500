#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <kolta/sdk_types.h>

#include "account_store.h"
#include "metrics.h"
#include "rate_guard.h"
#include "service_log.h"
#include "token_signer.h"

namespace kolta::server {

// The answer to one sign-in or token check, before it becomes HTTP.
struct SignInAnswer {
    bool success = false;
    SdkErrorType error = SdkErrorType::kUnknownFailure; // when !success
    std::string message;
    std::string token;                   // sign-in only
    std::string key_id;                  // token check only
    std::vector<std::string> models;     // "*": every model
    std::int64_t expires_in = 0;         // seconds
    std::chrono::seconds retry_after{0}; // MAX_RETRIES_EXCEEDED
    // The reference engine's simulated service time (a test key's "@<ms>"):
    // the answer is sent after it, without holding a thread.
    std::chrono::milliseconds delay{0};
};

struct SignInSetup {
    std::shared_ptr<AccountStore> store;
    std::shared_ptr<const TokenSecrets> token_secrets;
    std::chrono::seconds token_lifetime{900};
    GuardLimits guard;
    bool test_keys = false;
    std::shared_ptr<ServiceLog> log;
    std::shared_ptr<Metrics> metrics; // optional
};

// Decides sign-ins and token checks; safe to call from several threads.
class SignInService {
public:
    using WallClock = std::function<std::int64_t()>; // seconds since 1970

    explicit SignInService(SignInSetup setup, WallClock wall_clock = nullptr);

    SignInAnswer sign_in(const std::string &api_key, const std::string &client_address);
    SignInAnswer verify_token(const std::string &token);

private:
    SignInAnswer refuse(SdkErrorType error, std::string message) const;
    void count(const SignInAnswer &answer) const;
    SignInAnswer grant(const std::string &key_id, std::vector<std::string> models,
                       std::optional<std::int64_t> key_expires_at,
                       std::int64_t now) const;
    std::optional<SignInAnswer> account_refusal(const Account &account,
                                                std::int64_t now) const;
    SignInAnswer test_key(const std::string &api_key, std::int64_t now,
                          bool &counts) const;

    SignInSetup setup_;
    TokenSigner signer_;
    RateGuard guard_;
    WallClock wall_clock_;
};

// The key id in tokens made for the reference engine's test keys.
inline constexpr char kTestKeyId[] = "test";

} // namespace kolta::server
