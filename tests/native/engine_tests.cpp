// Factory, sign-in key scheme, entitlements and the log file.
#include <gtest/gtest.h>

#include <fstream>
#include <optional>
#include <ostream>
#include <regex>
#include <stdexcept>
#include <thread>

#include "engine_test_support.h"

namespace {

using namespace kolta_test;
using kolta::SdkErrorType;

std::shared_ptr<kolta::IKoltaSdk> make_sdk(const TempDir &dir) {
    kolta::InitParams params;
    params.storage_dir = dir.str();
    return kolta::CreateKoltaSdk(params);
}

// A failure shows the whole text, which is often a log.
::testing::AssertionResult contains(const std::string &text, const std::string &part) {
    if (text.find(part) != std::string::npos) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "'" << part << "' not in:\n" << text;
}

// The message of the `Error` that `action` throws; a failure when none is thrown.
template <class Error, class Action> std::string error_of(Action &&action) {
    try {
        action();
    } catch (const Error &error) {
        return error.what();
    }
    ADD_FAILURE() << "expected an exception";
    return {};
}

template <class Action> std::chrono::steady_clock::duration time_of(Action &&action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::steady_clock::now() - start;
}

bool creates(kolta::IKoltaSdk &sdk, const kolta::ProcessorAttributes &attrs) {
    return sdk.create_audio_processor(attrs) != nullptr;
}

TEST(Factory, CreatesLogAndRecordsWhatItWasGiven) {
    TempDir dir;
    kolta::InitParams params;
    params.environment = kolta::Environment::kStaging;
    params.storage_dir = (dir.path() / "nested" / "store").string();
    params.models_dir = "/opt/models";
    auto sdk = kolta::CreateKoltaSdk(params);
    ASSERT_NE(sdk, nullptr);
    EXPECT_EQ(sdk->version(), "2.0.1-reference");

    const auto log = dir.path() / "nested" / "store" / "logs" / "kolta.log";
    const std::string text = read_text(log);
    const std::regex started(
        R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z INFO engine started: version=2\.0\.1-reference )"
        R"(environment=staging storage_dir=(\S+) models_dir=/opt/models\n$)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(text, match, started)) << text;
    EXPECT_EQ(match[1].str(), params.storage_dir);
}

TEST(Factory, AppendsAcrossSessionsAndNamesEachEnvironment) {
    TempDir dir;
    const std::pair<kolta::Environment, const char *> cases[] = {
        {kolta::Environment::kDev, "environment=dev "},
        {kolta::Environment::kUat, "environment=uat "},
        {kolta::Environment::kDefault, "environment=default "},
    };
    for (const auto &[environment, expected] : cases) {
        kolta::InitParams params;
        params.environment = environment;
        params.storage_dir = dir.str();
        kolta::CreateKoltaSdk(params);
    }
    const std::string text = read_text(dir.log_file());
    for (const auto &entry : cases) {
        EXPECT_NE(text.find(entry.second), std::string::npos) << entry.second;
    }
}

TEST(Factory, EmptyStorageDirMeansCurrentDirectory) {
    TempDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    kolta::InitParams params;
    params.storage_dir = "";
    EXPECT_NO_THROW(kolta::CreateKoltaSdk(params));
    std::filesystem::current_path(previous);
    EXPECT_TRUE(std::filesystem::exists(dir.log_file()));
}

TEST(Factory, ThrowsNamingThePathWhenStorageCannotBeCreated) {
    TempDir dir;
    const auto blocker = dir.path() / "a-file";
    std::ofstream(blocker) << "x";
    kolta::InitParams params;
    params.storage_dir = (blocker / "store").string();
    const auto message =
        error_of<std::runtime_error>([&] { kolta::CreateKoltaSdk(params); });
    EXPECT_TRUE(contains(message, "cannot create"));
    EXPECT_TRUE(contains(message, params.storage_dir));
}

TEST(Factory, ThrowsWhenTheLogCannotBeOpened) {
    TempDir dir;
    std::filesystem::create_directories(dir.log_file()); // a folder where the file goes
    const auto message = error_of<std::runtime_error>([&] { make_sdk(dir); });
    EXPECT_TRUE(contains(message, "cannot open log file"));
    EXPECT_TRUE(contains(message, "kolta.log"));
}

TEST(Factory, StartupDelayIsSimulatedAndCapped) {
    TempDir dir;
    const auto startup_with = [&](const char *delay) {
        ScopedEnv env("KOLTA_ENGINE_STARTUP_DELAY_MS", delay);
        return time_of([&] { make_sdk(dir); });
    };
    EXPECT_GE(startup_with("150"), 150ms);
    EXPECT_LT(startup_with("not-a-number"), 100ms);
}

struct FailCase {
    const char *member;
    SdkErrorType type;
};

class FailKeys : public ::testing::TestWithParam<FailCase> {};

TEST_P(FailKeys, MapToTheirErrorType) {
    TempDir dir;
    auto sdk = make_sdk(dir);
    const auto result = sdk->activate_api_key(std::string("fail_") + GetParam().member);
    EXPECT_FALSE(result.success);
    EXPECT_EQ(result.error_type, GetParam().type);
    EXPECT_TRUE(contains(result.message, GetParam().member));
}

const FailCase kFailCases[] = {
    {"no_credentials", SdkErrorType::kNoCredentials},
    {"user_disabled", SdkErrorType::kUserDisabled},
    {"unauthorized", SdkErrorType::kUnauthorized},
    {"user_not_found", SdkErrorType::kUserNotFound},
    {"session_exists", SdkErrorType::kSessionExists},
    {"session_expired", SdkErrorType::kSessionExpired},
    {"token_expired", SdkErrorType::kTokenExpired},
    {"invalid_grant", SdkErrorType::kInvalidGrant},
    {"authentication_failed", SdkErrorType::kAuthenticationFailed},
    {"bad_request", SdkErrorType::kBadRequest},
    {"authentication_mechanism_mismatch", SdkErrorType::kAuthenticationMechanismMismatch},
    {"domain_blacklisted", SdkErrorType::kDomainBlacklisted},
    {"invalid_email", SdkErrorType::kInvalidEmail},
    {"empty_passcode", SdkErrorType::kEmptyPasscode},
    {"invalid_passcode", SdkErrorType::kInvalidPasscode},
    {"max_retries_exceeded", SdkErrorType::kMaxRetriesExceeded},
    {"portal_user_exists", SdkErrorType::kPortalUserExists},
    {"user_creation_failed", SdkErrorType::kUserCreationFailed},
    {"onboarding_exists", SdkErrorType::kOnboardingExists},
    {"group_migrated", SdkErrorType::kGroupMigrated},
    {"not_domain_joined", SdkErrorType::kNotDomainJoined},
    {"server_unreachable", SdkErrorType::kServerUnreachable},
    {"unknown_failure", SdkErrorType::kUnknownFailure},
};

INSTANTIATE_TEST_SUITE_P(AllMembers, FailKeys, ::testing::ValuesIn(kFailCases),
                         [](const auto &info) { return std::string(info.param.member); });

struct KeyCase {
    const char *key;
    std::optional<SdkErrorType> refusal; // none: the key is accepted
    const char *message;
};

void PrintTo(const KeyCase &c, std::ostream *os) {
    *os << '"' << c.key << '"';
}

std::vector<KeyCase> key_cases() {
    std::vector<KeyCase> cases = {{"", SdkErrorType::kNoCredentials, "no API key given"}};
    for (const char *good : {"KOLTA-DEMO-KEY", "kt_all", "kt_passthrough",
                             "kt_passthrough+denoise", "kt_no_such_model", "kt_all@0"}) {
        cases.push_back({good, std::nullopt, "activated"});
    }
    for (const char *bad :
         {"kt_", "kt_a++b", "kt_all+", "fail_", "fail_nope", "FAIL_user_disabled",
          "kolta-demo-key", "random", "kt_all@", "kt_all@x", "kt_all@10001", "kt_all@-1",
          "kt_\xff\xfe" /* not UTF-8: cannot be sent */}) {
        cases.push_back({bad, SdkErrorType::kUnauthorized, "API key not recognised"});
    }
    return cases;
}

class Keys : public ::testing::TestWithParam<KeyCase> {};

TEST_P(Keys, AreAcceptedOrRefusedAsDocumented) {
    TempDir dir;
    const KeyCase &expected = GetParam();
    const auto result = make_sdk(dir)->activate_api_key(expected.key);
    EXPECT_EQ(result.success, !expected.refusal);
    if (expected.refusal) {
        EXPECT_EQ(result.error_type, *expected.refusal);
    }
    EXPECT_EQ(result.message, expected.message);
}

INSTANTIATE_TEST_SUITE_P(KeyScheme, Keys, ::testing::ValuesIn(key_cases()));

TEST(KeyScheme, DelaySuffixSleepsThenAppliesTheRest) {
    TempDir dir;
    auto sdk = make_sdk(dir);
    kolta::SdkResult result;
    EXPECT_GE(time_of([&] { result = sdk->activate_api_key("kt_all@120"); }), 120ms);
    EXPECT_TRUE(result.success);

    EXPECT_GE(time_of([&] { result = sdk->activate_api_key("fail_token_expired@60"); }),
              60ms);
    EXPECT_EQ(result.error_type, SdkErrorType::kTokenExpired);

    EXPECT_EQ(sdk->activate_api_key("@30").error_type, SdkErrorType::kNoCredentials);
}

TEST(KeyScheme, LogMasksEveryKey) {
    TempDir dir;
    auto sdk = make_sdk(dir);
    for (const char *key : {"kt_all+secretmodel", "fail_user_disabled", "zq9", "zq9x",
                            "nobody-knows-this-key"}) {
        sdk->activate_api_key(key);
    }

    const std::string log = read_text(dir.log_file());
    for (const char *secret : {"kt_all+secretmodel", "secretmodel", "fail_user_disabled",
                               "zq9", "nobody-knows-this-key"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
    }
    for (const char *masked : {"key=kt_a**** ", "key=fail**** error=user_disabled",
                               "key=nobo**** error=unauthorized"}) {
        EXPECT_TRUE(contains(log, masked));
    }
    const std::regex fully_masked("key=\\*\\*\\*\\* ");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), fully_masked),
                            std::sregex_iterator()),
              2)
        << log;
}

TEST(KeyScheme, ConcurrentSignInsAreConsistent) {
    TempDir dir;
    auto sdk = make_sdk(dir);
    const std::vector<std::pair<std::string, SdkErrorType>> keys = {
        {"fail_invalid_grant", SdkErrorType::kInvalidGrant},
        {"fail_group_migrated", SdkErrorType::kGroupMigrated},
        {"", SdkErrorType::kNoCredentials},
        {"wrong", SdkErrorType::kUnauthorized},
    };
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 50; ++i) {
                if (i % 2 == 0) {
                    mismatches += sdk->activate_api_key("kt_all").success ? 0 : 1;
                } else {
                    const auto &[key, type] = keys[(t + i) % keys.size()];
                    const auto result = sdk->activate_api_key(key);
                    mismatches += (!result.success && result.error_type == type) ? 0 : 1;
                }
                // Racing sign-ins may sign out in between: both outcomes are fine.
                sdk->create_audio_processor(attributes("passthrough"));
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    EXPECT_EQ(mismatches.load(), 0);
}

TEST(Entitlements, KeyDecidesWhichModelsCanBeCreated) {
    TempDir dir;
    auto sdk = make_sdk(dir);
    auto lt = attributes("");
    lt.lt_config = lt_config({});

    EXPECT_FALSE(creates(*sdk, attributes("passthrough"))) << "not signed in yet";

    ASSERT_TRUE(sdk->activate_api_key("kt_passthrough").success);
    EXPECT_TRUE(creates(*sdk, attributes("passthrough")));
    EXPECT_FALSE(creates(*sdk, attributes("denoise")));
    EXPECT_FALSE(creates(*sdk, lt));

    ASSERT_TRUE(sdk->activate_api_key("kt_denoise+translate").success);
    EXPECT_FALSE(creates(*sdk, attributes("passthrough")))
        << "a new sign-in replaces the entitlements";
    EXPECT_TRUE(creates(*sdk, attributes("denoise")));
    EXPECT_TRUE(creates(*sdk, lt)) << "LT counts as model translate";

    ASSERT_TRUE(sdk->activate_api_key("kt_no_such_model").success);
    EXPECT_FALSE(creates(*sdk, attributes("no_such_model")));

    ASSERT_TRUE(sdk->activate_api_key("KOLTA-DEMO-KEY").success);
    EXPECT_TRUE(creates(*sdk, attributes("denoise")));
    EXPECT_FALSE(sdk->activate_api_key("fail_session_expired").success);
    EXPECT_FALSE(creates(*sdk, attributes("denoise"))) << "a failed sign-in signs out";

    const std::string log = read_text(dir.log_file());
    EXPECT_TRUE(contains(log, "WARN processor refused: not signed in"));
    EXPECT_TRUE(contains(log, "WARN processor refused: not entitled to model 'denoise'"));
}

TEST(Entitlements, ModelSelectionRules) {
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    auto with_lt = [](const std::string &model) {
        auto attrs = attributes(model);
        attrs.lt_config = lt_config({});
        return attrs;
    };
    const std::pair<kolta::ProcessorAttributes, bool> cases[] = {
        {attributes(""), false},
        {attributes("translate"), false},
        {attributes("Denoise"), false},
        {attributes("x\nFORGED INFO line"), false},
        {with_lt(""), true},
        {with_lt("translate"), true},
        {with_lt("denoise"), true},
    };
    for (const auto &[attrs, creatable] : cases) {
        SCOPED_TRACE(attrs.audio_attributes.model_name +
                     (attrs.lt_config ? " with lt_config" : ""));
        EXPECT_EQ(creates(*sdk, attrs), creatable);
    }

    const std::string log = read_text(dir.log_file());
    for (const char *line :
         {"model=translate rate=16000 channels=1 inference=local lt=on",
          "model=denoise rate=16000 channels=1 inference=local lt=off",
          "unknown model 'Denoise'", "model 'translate' needs lt_config"}) {
        EXPECT_TRUE(contains(log, line));
    }
    EXPECT_EQ(log.find("\nFORGED"), std::string::npos) << "one message, one line";
}

TEST(Formats, UnsupportedFormatsThrowNamingTheValue) {
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    const auto refusal = [&](std::uint32_t rate, std::uint16_t channels) {
        return error_of<std::invalid_argument>([&] {
            sdk->create_audio_processor(attributes("passthrough", rate, channels));
        });
    };
    EXPECT_EQ(refusal(0, 1), "unsupported sampling_rate 0 Hz (supported: 8000, 16000, "
                             "24000, 32000, 44100, 48000)");
    for (std::uint32_t rate : {11025u, 22050u, 96000u, 16001u}) {
        EXPECT_TRUE(contains(refusal(rate, 1), std::to_string(rate) + " Hz"));
    }
    for (std::uint16_t channels : {0, 3, 8}) {
        EXPECT_TRUE(
            contains(refusal(16000, channels), "channels " + std::to_string(channels)));
    }
    for (std::uint32_t rate : {8000u, 16000u, 24000u, 32000u, 44100u, 48000u}) {
        for (std::uint16_t channels : {1, 2}) {
            EXPECT_NE(sdk->create_audio_processor(attributes("denoise", rate, channels)),
                      nullptr);
        }
    }
}

TEST(Lifetime, ProcessorOutlivesTheSdk) {
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    auto processor = sdk->create_audio_processor(attributes("denoise", 48000, 2, true));
    ASSERT_NE(processor, nullptr);
    sdk.reset();

    const auto input = tone(300.0, 0.2, 48000 / 2, 48000, 2);
    const auto output = run_and_drain(*processor, input, 960 * 2);
    EXPECT_EQ(output.size(), input.size());
    processor.reset();
    EXPECT_TRUE(contains(read_text(dir.log_file()), "processor destroyed"));
}

} // namespace
