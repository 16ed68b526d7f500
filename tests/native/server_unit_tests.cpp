// The sign-in service's parts, driven directly.
#include <gtest/gtest.h>

#include <limits>
#include <map>
#include <random>
#include <string>

#include <kolta_common/civil_time.h>

#include "crypto.h"
#include "rate_guard.h"
#include "token_signer.h"
#include <kolta_common/json.h>

using namespace kolta::server;
using kolta_common::json_quote;
using kolta_common::JsonWriter;
using kolta_common::parse_json_object;
using std::chrono::seconds;

namespace {

GuardLimits guard_limits(unsigned max_failures, std::size_t capacity) {
    GuardLimits limits;
    limits.max_failures = max_failures;
    limits.window = seconds(60);
    limits.capacity = capacity;
    return limits;
}

} // namespace

TEST(RateGuard, BlocksAtTheLimitUntilTheWindowEnds) {
    RateGuard guard(guard_limits(3, 100));
    const auto start = RateGuard::Clock::now();
    for (int i = 0; i < 2; ++i) {
        guard.record_failure("10.0.0.1", "k", start);
    }
    EXPECT_EQ(guard.blocked_for("10.0.0.1", "other", start).count(), 0);
    guard.record_failure("10.0.0.1", "k", start);
    EXPECT_EQ(guard.blocked_for("10.0.0.1", "other", start + seconds(1)), seconds(59));
    EXPECT_EQ(guard.blocked_for("10.0.0.2", "k", start + seconds(1)), seconds(59));
    EXPECT_EQ(guard.blocked_for("10.0.0.2", "other", start).count(), 0);
    EXPECT_EQ(guard.blocked_for("10.0.0.1", "k", start + seconds(60)).count(), 0);
    // A new window starts from nothing.
    guard.record_failure("10.0.0.1", "k", start + seconds(61));
    EXPECT_EQ(guard.blocked_for("10.0.0.1", "k", start + seconds(61)).count(), 0);
}

TEST(RateGuard, MemoryStaysBoundedUnderAFloodOfNewNames) {
    RateGuard guard(guard_limits(2, 64));
    const auto start = RateGuard::Clock::now();
    for (int i = 0; i < 10000; ++i) {
        const std::string name = std::to_string(i);
        guard.record_failure("a" + name, "k" + name,
                             start + std::chrono::milliseconds(i));
        guard.record_failure("a" + name, "k" + name,
                             start + std::chrono::milliseconds(i));
        ASSERT_LE(guard.tracked(), 2u * 64u);
    }
    // The newest offenders are still held; the oldest gave way.
    const auto later = start + seconds(20);
    EXPECT_GT(guard.blocked_for("a9999", "-", later).count(), 0);
    EXPECT_EQ(guard.blocked_for("a0", "-", later).count(), 0);
}

TEST(RateGuard, ZeroFailuresMeansNoGuard) {
    RateGuard guard(guard_limits(0, 8));
    const auto now = RateGuard::Clock::now();
    for (int i = 0; i < 100; ++i) {
        guard.record_failure("a", "k", now);
    }
    EXPECT_EQ(guard.blocked_for("a", "k", now).count(), 0);
    EXPECT_EQ(guard.tracked(), 0u);
}

struct JsonCase {
    const char *text;
    bool valid;
    const char *api_key; // expected string member, when valid
};

class JsonReading : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonReading, AcceptsExactlyValidObjects) {
    const JsonCase &c = GetParam();
    const auto object = parse_json_object(c.text);
    ASSERT_EQ(object.has_value(), c.valid) << c.text;
    if (c.valid && c.api_key != nullptr) {
        EXPECT_EQ(object->strings.at("api_key"), c.api_key) << c.text;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonReading,
    ::testing::Values(
        JsonCase{R"({"api_key":"kt_all"})", true, "kt_all"},
        JsonCase{" \n{ \"api_key\" : \"a\" , \"n\": [1, {\"x\": null}] }\t", true, "a"},
        JsonCase{R"({"api_key":"\u00e9\ud83d\ude00\n\"\\\/"})", true,
                 "\xc3\xa9\xf0\x9f\x98\x80\n\"\\/"},
        JsonCase{"{\"api_key\":\"\xc3\xa9\"}", true, "\xc3\xa9"},
        JsonCase{R"({"n": -0.5e+3, "t": true, "f": false})", true, nullptr},
        JsonCase{"{}", true, nullptr}, JsonCase{"", false, nullptr},
        JsonCase{"[]", false, nullptr}, JsonCase{R"("api_key")", false, nullptr},
        JsonCase{R"({"api_key":"a"} x)", false, nullptr},
        JsonCase{R"({"api_key":"a",})", false, nullptr},
        JsonCase{R"({"api_key":"a","api_key":"b"})", false, nullptr},
        JsonCase{R"({"n": 01})", false, nullptr},
        JsonCase{R"({"n": 1.})", false, nullptr},
        JsonCase{R"({"n": .5})", false, nullptr},
        JsonCase{R"({"n": NaN})", false, nullptr},
        JsonCase{R"({"s": "\ud800"})", false, nullptr},
        JsonCase{R"({"s": "\udc00\ud800"})", false, nullptr},
        JsonCase{R"({"s": "\x"})", false, nullptr},
        JsonCase{"{\"s\": \"\x01\"}", false, nullptr},
        JsonCase{"{\"s\": \"\xc0\xaf\"}", false, nullptr},         // overlong
        JsonCase{"{\"s\": \"\xed\xa0\x80\"}", false, nullptr},     // a surrogate
        JsonCase{"{\"s\": \"\xf4\x90\x80\x80\"}", false, nullptr}, // above U+10FFFF
        JsonCase{"{\"s\": \"\xe2\x82\"}", false, nullptr},         // cut short
        JsonCase{R"({"s": "open)", false, nullptr},
        JsonCase{R"({"m": ["a", 1]})", true, nullptr},
        JsonCase{R"({"m": ["a", "\ud800"]})", false, nullptr}));

TEST(JsonReading, ArraysOfStringsAreKept) {
    const auto object =
        parse_json_object(R"({"m": ["a", "b\n"], "e": [], "x": ["a", 1]})");
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->string_arrays.at("m"), (std::vector<std::string>{"a", "b\n"}));
    EXPECT_TRUE(object->string_arrays.at("e").empty());
    EXPECT_EQ(object->others, std::vector<std::string>{"x"});
}

TEST(JsonReading, BooleansAreKept) {
    const auto object = parse_json_object(
        R"({"t": true, "f": false, "n": null, "s": "true", "a": [true], "z": 0})");
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->booleans, (std::map<std::string, bool>{{"f", false}, {"t", true}}));
    EXPECT_EQ(object->strings.at("s"), "true");
}

TEST(JsonReading, NestingIsLimited) {
    const auto nested = [](int depth) {
        return "{\"a\":" + std::string(static_cast<std::size_t>(depth), '[') +
               std::string(static_cast<std::size_t>(depth), ']') + "}";
    };
    EXPECT_TRUE(parse_json_object(nested(32)).has_value());
    EXPECT_FALSE(parse_json_object(nested(33)).has_value());
    EXPECT_FALSE(parse_json_object(nested(100000)).has_value()); // no stack overflow
}

TEST(JsonWriting, QuotesWhatMustBeQuoted) {
    EXPECT_EQ(json_quote("a\"b\\c\n\x01\x7f\xc3\xa9"),
              "\"a\\\"b\\\\c\\u000a\\u0001\\u007f\xc3\xa9\"");
    EXPECT_EQ(
        JsonWriter().string("a", "b").number("n", -3).strings("m", {"x", "y"}).finish(),
        R"({"a":"b","n":-3,"m":["x","y"]})");
}

TEST(JsonWriting, DecimalsAreFixedAndAlwaysJson) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    EXPECT_EQ(JsonWriter()
                  .decimal("a", 0.93, 3)
                  .decimal("b", 1.0, 3)
                  .decimal("c", -0.0004, 3)
                  .decimal("d", nan, 3)
                  .decimal("e", -infinity, 3)
                  .decimal("f", 1e300, 3)
                  .finish(),
              R"({"a":0.930,"b":1.000,"c":-0.000,"d":0,"e":0,"f":0})");
}

TEST(Base64Url, RoundTripsAndRefusesNonCanonicalText) {
    std::mt19937 random(7);
    for (std::size_t size = 0; size < 40; ++size) {
        std::string bytes(size, '\0');
        for (char &c : bytes) {
            c = static_cast<char>(random() & 0xff);
        }
        std::string decoded;
        const std::string text = base64url_encode(bytes);
        EXPECT_EQ(text.find_first_of("+/="), std::string::npos);
        ASSERT_TRUE(base64url_decode(text, decoded));
        EXPECT_EQ(decoded, bytes);
    }
    std::string out;
    EXPECT_TRUE(base64url_decode("AA", out));
    EXPECT_FALSE(base64url_decode("AB", out)); // leftover bits set
    EXPECT_FALSE(base64url_decode("A", out));
    EXPECT_FALSE(base64url_decode("AA==", out));
    EXPECT_FALSE(base64url_decode("A+", out));
}

TEST(Tokens, RoundTripEveryModelName) {
    const TokenSigner signer(std::string(32, 's'));
    const TokenClaims claims{"12", {"de|noise", "100%", "*", ""}, 5000};
    const auto verified = signer.verify(signer.issue(claims), 4999);
    ASSERT_TRUE(std::holds_alternative<TokenClaims>(verified));
    const auto &back = std::get<TokenClaims>(verified);
    EXPECT_EQ(back.key_id, "12");
    EXPECT_EQ(back.models, claims.models);
    EXPECT_EQ(back.expires_at, 5000);
}

TEST(Tokens, ExpiredAndForeignAndAlteredTokensAreRefused) {
    const TokenSigner signer(std::string(32, 's'));
    const std::string token = signer.issue({"7", {"denoise"}, 1000});
    const auto refusal = [](const std::variant<TokenClaims, TokenRefusal> &v) {
        return std::holds_alternative<TokenRefusal>(v)
                   ? std::get<TokenRefusal>(v).error
                   : kolta::SdkErrorType::kUnknownFailure;
    };
    EXPECT_EQ(refusal(signer.verify(token, 1000)), kolta::SdkErrorType::kTokenExpired);
    EXPECT_EQ(refusal(TokenSigner(std::string(32, 't')).verify(token, 0)),
              kolta::SdkErrorType::kInvalidGrant);
    for (std::size_t i = 0; i < token.size(); ++i) {
        std::string altered = token;
        altered[i] = altered[i] == 'A' ? 'B' : 'A';
        EXPECT_EQ(refusal(signer.verify(altered, 0)), kolta::SdkErrorType::kInvalidGrant)
            << "position " << i;
    }
}

TEST(CivilDates, DaysAndDatesRoundTrip) {
    for (long long days = -1000; days < 200000; days += 17) {
        const auto date = kolta_common::civil_from_days(days);
        EXPECT_EQ(kolta_common::days_from_civil(date), days);
        const auto parsed =
            kolta_common::parse_iso_date(kolta_common::format_iso_date(date));
        if (date.year >= 1970 && date.year <= 9999) {
            ASSERT_TRUE(parsed.has_value());
            EXPECT_EQ(kolta_common::days_from_civil(*parsed), days);
        }
    }
    EXPECT_TRUE(kolta_common::parse_iso_date("2024-02-29"));
    EXPECT_FALSE(kolta_common::parse_iso_date("2023-02-29"));
    EXPECT_FALSE(kolta_common::parse_iso_date("2100-02-29"));
    EXPECT_FALSE(kolta_common::parse_iso_date("2024-13-01"));
    EXPECT_FALSE(kolta_common::parse_iso_date("2024-1-01"));
    EXPECT_EQ(kolta_common::days_from_civil({2000, 3, 1}), 11017);
    EXPECT_EQ(kolta_common::iso_date_of(11017LL * 86400 + 86399), "2000-03-01");
    EXPECT_EQ(kolta_common::iso_date_of(-1), "1969-12-31");
}
