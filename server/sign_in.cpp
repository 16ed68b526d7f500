#include "sign_in.h"

#include <kolta_common/bounded_number.h>
#include <kolta_common/civil_time.h>
#include <kolta_common/error_names.h>
#include <kolta_common/key_scheme.h>
#include <kolta_common/log_text.h>

#include "api_keys.h"

namespace kolta::server {

namespace {

std::string describe(const SignInAnswer &answer) {
    if (answer.success) {
        return "models=" + std::to_string(answer.models.size());
    }
    return "error=" + kolta_common::error_type_member_name(answer.error);
}

} // namespace

SignInService::SignInService(SignInSetup setup, WallClock wall_clock)
    : setup_(std::move(setup)), signer_(setup_.token_secrets), guard_(setup_.guard),
      wall_clock_(wall_clock ? std::move(wall_clock)
                             : WallClock(kolta_common::system_seconds)) {}

void SignInService::count(const SignInAnswer &answer) const {
    if (setup_.metrics) {
        setup_.metrics->sign_in(answer.success, answer.error);
    }
}

SignInAnswer SignInService::refuse(SdkErrorType error, std::string message) const {
    SignInAnswer answer;
    answer.error = error;
    answer.message = std::move(message);
    return answer;
}

SignInAnswer SignInService::grant(const std::string &key_id,
                                  std::vector<std::string> models,
                                  std::optional<std::int64_t> key_expires_at,
                                  std::int64_t now) const {
    std::int64_t expires_at = now + setup_.token_lifetime.count();
    if (key_expires_at && *key_expires_at < expires_at) {
        expires_at = *key_expires_at; // a token never outlives its key
    }
    SignInAnswer answer;
    answer.success = true;
    answer.message = "activated";
    answer.token = signer_.issue(TokenClaims{key_id, models, expires_at});
    answer.key_id = key_id;
    answer.models = std::move(models);
    answer.expires_in = expires_at - now;
    return answer;
}

std::optional<SignInAnswer> SignInService::account_refusal(const Account &account,
                                                           std::int64_t now) const {
    if (account.revoked) {
        return refuse(SdkErrorType::kInvalidGrant, "the API key has been revoked");
    }
    if (account.disabled) {
        return refuse(SdkErrorType::kUserDisabled, "the API key is disabled");
    }
    if (account.expires_at && *account.expires_at <= now) {
        return refuse(SdkErrorType::kTokenExpired,
                      "the API key expired on " +
                          kolta_common::iso_date_of(*account.expires_at));
    }
    return std::nullopt;
}

SignInAnswer SignInService::test_key(const std::string &api_key, std::int64_t now,
                                     bool &counts) const {
    const kolta_common::KeyDecision decision = kolta_common::interpret_api_key(api_key);
    SignInAnswer answer;
    if (decision.result.success) {
        const kolta_common::Entitlements &granted = *decision.entitlements;
        std::vector<std::string> models(granted.models.begin(), granted.models.end());
        if (granted.all) {
            models = {kolta_common::kEveryModel};
        }
        answer = grant(kTestKeyId, std::move(models), std::nullopt, now);
    } else {
        answer = refuse(decision.result.error_type, decision.result.message);
    }
    // A refusal the key asked for (fail_<member>) is no guess at a key.
    counts = !decision.recognised;
    answer.delay = decision.delay;
    return answer;
}

SignInAnswer SignInService::sign_in(const std::string &api_key,
                                    const std::string &client_address) {
    const std::int64_t now = wall_clock_();
    const auto steady_now = RateGuard::Clock::now();
    const std::string key_hash = api_key_hash(api_key);
    const std::string shown = kolta_common::mask_secret(api_key);

    if (const auto wait = guard_.blocked_for(client_address, key_hash, steady_now);
        wait.count() > 0) {
        SignInAnswer answer = refuse(SdkErrorType::kMaxRetriesExceeded,
                                     "too many failed sign-ins; try again in " +
                                         std::to_string(wait.count()) + " s");
        answer.retry_after = wait;
        setup_.log->warn("sign-in refused: key=" + shown + " from=" + client_address +
                         " " + describe(answer));
        count(answer);
        return answer;
    }

    SignInAnswer answer;
    bool counts = true;
    std::string account = "-";
    if (api_key.empty()) {
        answer = refuse(SdkErrorType::kNoCredentials, "no API key given");
    } else {
        std::optional<Account> found;
        try {
            found = setup_.store->find_by_key_hash(key_hash);
        } catch (const StoreError &error) {
            setup_.log->error(std::string("sign-in failed: ") + error.what());
            SignInAnswer failed =
                refuse(SdkErrorType::kUnknownFailure, "the account store failed");
            count(failed);
            return failed;
        }
        if (found) {
            account = std::to_string(found->id);
            const auto refusal = account_refusal(*found, now);
            answer = refusal ? *refusal
                             : grant(account, found->models, found->expires_at, now);
        } else if (setup_.test_keys) {
            answer = test_key(api_key, now, counts);
        } else {
            answer = refuse(SdkErrorType::kUnauthorized, kolta_common::kKeyNotRecognised);
        }
    }
    if (!answer.success && counts) {
        guard_.record_failure(client_address, key_hash, steady_now);
    }
    const std::string line = "key=" + shown + " account=" + account +
                             " from=" + client_address + " " + describe(answer);
    count(answer);
    if (answer.success) {
        setup_.log->info("sign-in succeeded: " + line);
    } else {
        setup_.log->warn("sign-in refused: " + line);
    }
    return answer;
}

SignInAnswer SignInService::verify_token(const std::string &token) {
    const std::int64_t now = wall_clock_();
    const auto verified = signer_.verify(token, now);
    if (const auto *refusal = std::get_if<TokenRefusal>(&verified)) {
        return refuse(refusal->error, refusal->message);
    }
    const TokenClaims &claims = std::get<TokenClaims>(verified);
    if (claims.key_id == kTestKeyId) {
        if (!setup_.test_keys) {
            return refuse(SdkErrorType::kInvalidGrant, "the token is not valid");
        }
    } else {
        // The key may have been disabled or revoked since the token was made.
        std::optional<Account> account;
        try {
            const auto id = kolta_common::parse_bounded_number(claims.key_id, ~0ULL >> 1);
            if (id) {
                account = setup_.store->find_by_id(static_cast<std::int64_t>(*id));
            }
        } catch (const StoreError &error) {
            setup_.log->error(std::string("token check failed: ") + error.what());
            return refuse(SdkErrorType::kUnknownFailure, "the account store failed");
        }
        if (!account) {
            return refuse(SdkErrorType::kInvalidGrant, "the token is not valid");
        }
        if (auto refusal = account_refusal(*account, now)) {
            return *refusal;
        }
    }
    SignInAnswer answer;
    answer.success = true;
    answer.message = "valid";
    answer.key_id = claims.key_id;
    answer.models = claims.models;
    answer.expires_in = claims.expires_at - now;
    return answer;
}

} // namespace kolta::server
