// Factory, sign-in key scheme, entitlements and the log file.
#include <gtest/gtest.h>

#include <fstream>
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
    try {
        kolta::CreateKoltaSdk(params);
        FAIL() << "expected std::runtime_error";
    } catch (const std::runtime_error &error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("cannot create"), std::string::npos) << message;
        EXPECT_NE(message.find(params.storage_dir), std::string::npos) << message;
    }
}

TEST(Factory, ThrowsWhenTheLogCannotBeOpened) {
    TempDir dir;
    std::filesystem::create_directories(dir.log_file()); // a folder where the file goes
    kolta::InitParams params;
    params.storage_dir = dir.str();
    try {
        kolta::CreateKoltaSdk(params);
        FAIL() << "expected std::runtime_error";
    } catch (const std::runtime_error &error) {
        const std::string message = error.what();
        EXPECT_NE(message.find("cannot open log file"), std::string::npos) << message;
        EXPECT_NE(message.find("kolta.log"), std::string::npos) << message;
    }
}

TEST(Factory, StartupDelayIsSimulatedAndCapped) {
    TempDir dir;
    {
        ScopedEnv delay("KOLTA_ENGINE_STARTUP_DELAY_MS", "150");
        const auto start = std::chrono::steady_clock::now();
        make_sdk(dir);
        EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    }
    {
        ScopedEnv delay("KOLTA_ENGINE_STARTUP_DELAY_MS", "not-a-number");
        const auto start = std::chrono::steady_clock::now();
        make_sdk(dir);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 100ms);
    }
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
    EXPECT_NE(result.message.find(GetParam().member), std::string::npos)
        << result.message;
}

INSTANTIATE_TEST_SUITE_P(
    AllMembers, FailKeys,
    ::testing::Values(FailCase{"no_credentials", SdkErrorType::kNoCredentials},
                      FailCase{"user_disabled", SdkErrorType::kUserDisabled},
                      FailCase{"unauthorized", SdkErrorType::kUnauthorized},
                      FailCase{"user_not_found", SdkErrorType::kUserNotFound},
                      FailCase{"session_exists", SdkErrorType::kSessionExists},
                      FailCase{"session_expired", SdkErrorType::kSessionExpired},
                      FailCase{"token_expired", SdkErrorType::kTokenExpired},
                      FailCase{"invalid_grant", SdkErrorType::kInvalidGrant},
                      FailCase{"authentication_failed",
                               SdkErrorType::kAuthenticationFailed},
                      FailCase{"bad_request", SdkErrorType::kBadRequest},
                      FailCase{"authentication_mechanism_mismatch",
                               SdkErrorType::kAuthenticationMechanismMismatch},
                      FailCase{"domain_blacklisted", SdkErrorType::kDomainBlacklisted},
                      FailCase{"invalid_email", SdkErrorType::kInvalidEmail},
                      FailCase{"empty_passcode", SdkErrorType::kEmptyPasscode},
                      FailCase{"invalid_passcode", SdkErrorType::kInvalidPasscode},
                      FailCase{"max_retries_exceeded", SdkErrorType::kMaxRetriesExceeded},
                      FailCase{"portal_user_exists", SdkErrorType::kPortalUserExists},
                      FailCase{"user_creation_failed", SdkErrorType::kUserCreationFailed},
                      FailCase{"onboarding_exists", SdkErrorType::kOnboardingExists},
                      FailCase{"group_migrated", SdkErrorType::kGroupMigrated},
                      FailCase{"not_domain_joined", SdkErrorType::kNotDomainJoined},
                      FailCase{"server_unreachable", SdkErrorType::kServerUnreachable},
                      FailCase{"unknown_failure", SdkErrorType::kUnknownFailure}),
    [](const auto &info) { return std::string(info.param.member); });

TEST(KeyScheme, AcceptsAndRefusesAsDocumented) {
    TempDir dir;
    auto sdk = make_sdk(dir);

    const auto empty = sdk->activate_api_key("");
    EXPECT_FALSE(empty.success);
    EXPECT_EQ(empty.error_type, SdkErrorType::kNoCredentials);
    EXPECT_EQ(empty.message, "no API key given");

    for (const char *good : {"KOLTA-DEMO-KEY", "kt_all", "kt_passthrough",
                             "kt_passthrough+denoise", "kt_no_such_model", "kt_all@0"}) {
        const auto result = sdk->activate_api_key(good);
        EXPECT_TRUE(result.success) << good;
        EXPECT_EQ(result.message, "activated") << good;
    }
    for (const char *bad : {"kt_", "kt_a++b", "kt_all+", "fail_", "fail_nope",
                            "FAIL_user_disabled", "kolta-demo-key", "random", "kt_all@",
                            "kt_all@x", "kt_all@10001", "kt_all@-1"}) {
        const auto result = sdk->activate_api_key(bad);
        EXPECT_FALSE(result.success) << bad;
        EXPECT_EQ(result.error_type, SdkErrorType::kUnauthorized) << bad;
        EXPECT_EQ(result.message, "API key not recognised") << bad;
    }
}

TEST(KeyScheme, DelaySuffixSleepsThenAppliesTheRest) {
    TempDir dir;
    auto sdk = make_sdk(dir);
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(sdk->activate_api_key("kt_all@120").success);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 120ms);

    start = std::chrono::steady_clock::now();
    const auto failed = sdk->activate_api_key("fail_token_expired@60");
    EXPECT_GE(std::chrono::steady_clock::now() - start, 60ms);
    EXPECT_EQ(failed.error_type, SdkErrorType::kTokenExpired);

    EXPECT_EQ(sdk->activate_api_key("@30").error_type, SdkErrorType::kNoCredentials);
}

TEST(KeyScheme, LogMasksEveryKey) {
    TempDir dir;
    auto sdk = make_sdk(dir);
    sdk->activate_api_key("kt_all+secretmodel");
    sdk->activate_api_key("fail_user_disabled");
    sdk->activate_api_key("zq9");
    sdk->activate_api_key("zq9x");
    sdk->activate_api_key("nobody-knows-this-key");

    const std::string log = read_text(dir.log_file());
    for (const char *secret : {"kt_all+secretmodel", "secretmodel", "fail_user_disabled",
                               "zq9", "nobody-knows-this-key"}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << "\n" << log;
    }
    EXPECT_NE(log.find("key=kt_a**** "), std::string::npos) << log;
    EXPECT_NE(log.find("key=fail**** error=user_disabled"), std::string::npos) << log;
    EXPECT_NE(log.find("key=nobo**** error=unauthorized"), std::string::npos) << log;
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

    EXPECT_EQ(sdk->create_audio_processor(attributes("passthrough")), nullptr)
        << "not signed in yet";

    ASSERT_TRUE(sdk->activate_api_key("kt_passthrough").success);
    EXPECT_NE(sdk->create_audio_processor(attributes("passthrough")), nullptr);
    EXPECT_EQ(sdk->create_audio_processor(attributes("denoise")), nullptr);
    EXPECT_EQ(sdk->create_audio_processor(lt), nullptr);

    ASSERT_TRUE(sdk->activate_api_key("kt_denoise+translate").success);
    EXPECT_EQ(sdk->create_audio_processor(attributes("passthrough")), nullptr)
        << "a new sign-in replaces the entitlements";
    EXPECT_NE(sdk->create_audio_processor(attributes("denoise")), nullptr);
    EXPECT_NE(sdk->create_audio_processor(lt), nullptr) << "LT counts as model translate";

    ASSERT_TRUE(sdk->activate_api_key("kt_no_such_model").success);
    EXPECT_EQ(sdk->create_audio_processor(attributes("no_such_model")), nullptr);

    ASSERT_TRUE(sdk->activate_api_key("KOLTA-DEMO-KEY").success);
    EXPECT_NE(sdk->create_audio_processor(attributes("denoise")), nullptr);
    EXPECT_FALSE(sdk->activate_api_key("fail_session_expired").success);
    EXPECT_EQ(sdk->create_audio_processor(attributes("denoise")), nullptr)
        << "a failed sign-in signs out";

    const std::string log = read_text(dir.log_file());
    EXPECT_NE(log.find("WARN processor refused: not signed in"), std::string::npos)
        << log;
    EXPECT_NE(log.find("WARN processor refused: not entitled to model 'denoise'"),
              std::string::npos)
        << log;
}

TEST(Entitlements, ModelSelectionRules) {
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    auto with_lt = [](const std::string &model) {
        auto attrs = attributes(model);
        attrs.lt_config = lt_config({});
        return attrs;
    };
    EXPECT_EQ(sdk->create_audio_processor(attributes("")), nullptr);
    EXPECT_EQ(sdk->create_audio_processor(attributes("translate")), nullptr);
    EXPECT_EQ(sdk->create_audio_processor(attributes("Denoise")), nullptr);
    EXPECT_EQ(sdk->create_audio_processor(attributes("x\nFORGED INFO line")), nullptr);
    EXPECT_NE(sdk->create_audio_processor(with_lt("")), nullptr);
    EXPECT_NE(sdk->create_audio_processor(with_lt("translate")), nullptr);
    EXPECT_NE(sdk->create_audio_processor(with_lt("denoise")), nullptr);

    const std::string log = read_text(dir.log_file());
    EXPECT_NE(log.find("model=translate rate=16000 channels=1 inference=local lt=on"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("model=denoise rate=16000 channels=1 inference=local lt=off"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("unknown model 'Denoise'"), std::string::npos) << log;
    EXPECT_NE(log.find("model 'translate' needs lt_config"), std::string::npos) << log;
    EXPECT_EQ(log.find("\nFORGED"), std::string::npos) << "one message, one line";
}

TEST(Formats, UnsupportedFormatsThrowNamingTheValue) {
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    try {
        sdk->create_audio_processor(attributes("passthrough", 0));
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument &error) {
        EXPECT_STREQ(error.what(),
                     "unsupported sampling_rate 0 Hz (supported: 8000, 16000, "
                     "24000, 32000, 44100, 48000)");
    }
    for (std::uint32_t rate : {11025u, 22050u, 96000u, 16001u}) {
        try {
            sdk->create_audio_processor(attributes("passthrough", rate));
            ADD_FAILURE() << rate;
        } catch (const std::invalid_argument &error) {
            EXPECT_NE(std::string(error.what()).find(std::to_string(rate) + " Hz"),
                      std::string::npos);
        }
    }
    for (std::uint16_t channels : {0, 3, 8}) {
        try {
            sdk->create_audio_processor(attributes("passthrough", 16000, channels));
            ADD_FAILURE() << channels;
        } catch (const std::invalid_argument &error) {
            EXPECT_NE(
                std::string(error.what()).find("channels " + std::to_string(channels)),
                std::string::npos)
                << error.what();
        }
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
    const auto output = run_chunks(*processor, input, 960 * 2);
    EXPECT_EQ(output.size(), input.size() - 960 * 2);
    processor.reset();
    EXPECT_NE(read_text(dir.log_file()).find("processor destroyed"), std::string::npos);
}

} // namespace
