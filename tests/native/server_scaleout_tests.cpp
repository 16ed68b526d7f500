// What several instances of the service share: the token secrets file and
// its rotation, and the counters served at /metrics.
#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <string>
#include <utility>
#include <variant>

#include "metrics.h"
#include "token_secrets.h"
#include "token_signer.h"

using namespace kolta::server;

namespace {

const std::string kHex64(64, 'a'); // 32 bytes of 0xaa
// 16 times fb ff: '+' and '/' in standard base64, '-' and '_' in URL-safe.
const std::string kStandard = "+//7//v/+//7//v/+//7//v/+//7//v/+//7//v/+/8=";
const std::string kUrlSafe = "-__7__v_-__7__v_-__7__v_-__7__v_-__7__v_-_8";
std::string fb_ff() {
    std::string bytes;
    for (int i = 0; i < 16; ++i) {
        bytes += "\xfb\xff";
    }
    return bytes;
}

struct SecretsCase {
    const char *name;
    std::string text;
    std::vector<std::string> secrets; // empty: refused
};

class SecretsFileText : public ::testing::TestWithParam<SecretsCase> {};

TEST_P(SecretsFileText, ParsesOrRefuses) {
    const SecretsCase &c = GetParam();
    if (c.secrets.empty()) {
        EXPECT_THROW(parse_token_secrets(c.text), std::invalid_argument) << c.name;
    } else {
        EXPECT_EQ(parse_token_secrets(c.text), c.secrets) << c.name;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SecretsFileText,
    ::testing::Values(SecretsCase{"hex", kHex64 + "\n", {std::string(32, '\xaa')}},
                      SecretsCase{"standard base64", kStandard, {fb_ff()}},
                      SecretsCase{"url-safe base64", kUrlSafe, {fb_ff()}},
                      SecretsCase{"two, comments, blanks, CRLF",
                                  "# new first\r\n" + kStandard + "\r\n\r\n  " + kHex64 +
                                      "  \n",
                                  {fb_ff(), std::string(32, '\xaa')}},
                      SecretsCase{"too short", std::string(62, 'a'), {}},
                      SecretsCase{"three", kHex64 + "\n" + kHex64 + "\n" + kHex64, {}},
                      SecretsCase{"not an encoding", std::string(50, '*'), {}},
                      SecretsCase{"empty", "# nothing\n\n", {}}),
    [](const auto &info) {
        std::string name = info.param.name;
        for (char &c : name) {
            c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        }
        return name;
    });

bool verifies(const TokenSigner &signer, const std::string &token) {
    return std::holds_alternative<TokenClaims>(signer.verify(token, 0));
}

} // namespace

TEST(TokenRotation, NewSecretFirstThenOldDropped) {
    const std::string old_secret(32, 'o');
    const std::string new_secret(32, 'n');
    auto secrets = std::make_shared<TokenSecrets>(TokenSecrets::List{old_secret});
    const TokenSigner signer(secrets);
    const TokenClaims claims{"7", {"denoise"}, 100};
    const std::string before = signer.issue(claims);

    secrets->replace({new_secret, old_secret});
    const std::string during = signer.issue(claims);
    EXPECT_NE(during, before); // signed with the new one
    EXPECT_TRUE(verifies(signer, before));
    EXPECT_TRUE(verifies(signer, during));
    // Another instance that holds only the new secret accepts it already.
    EXPECT_TRUE(verifies(TokenSigner(new_secret), during));

    secrets->replace({new_secret});
    EXPECT_FALSE(verifies(signer, before));
    EXPECT_TRUE(verifies(signer, during));
}

TEST(TokenRotation, FingerprintTellsSecretsApartWithoutShowingThem) {
    const std::string secret(32, 's');
    const std::string print = secret_fingerprint(secret);
    EXPECT_EQ(print.size(), 8u);
    EXPECT_EQ(print, secret_fingerprint(secret));
    EXPECT_NE(print, secret_fingerprint(std::string(32, 't')));
}

namespace {

std::string line_of(const std::string &text, const std::string &series) {
    const std::size_t at = text.find("\n" + series + " ");
    return at == std::string::npos
               ? ""
               : text.substr(at + 1, text.find('\n', at + 1) - at - 1);
}

} // namespace

TEST(Metrics, HistogramBucketsAreCumulativeAndCountsAddUp) {
    Metrics metrics;
    metrics.chunk_processed(std::chrono::microseconds(50));  // first bucket
    metrics.chunk_processed(std::chrono::microseconds(100)); // on the bound: in it
    metrics.chunk_processed(std::chrono::milliseconds(3));   // 0.005
    metrics.chunk_processed(std::chrono::seconds(2));        // only +Inf
    const std::string text = metrics.render();
    const std::pair<std::string, std::string> expected[] = {
        {"kolta_stream_chunk_seconds_bucket{le=\"0.0001\"}", "2"},
        {"kolta_stream_chunk_seconds_bucket{le=\"0.0025\"}", "2"},
        {"kolta_stream_chunk_seconds_bucket{le=\"0.005\"}", "3"},
        {"kolta_stream_chunk_seconds_bucket{le=\"1\"}", "3"},
        {"kolta_stream_chunk_seconds_bucket{le=\"+Inf\"}", "4"},
        {"kolta_stream_chunk_seconds_count", "4"},
        {"kolta_stream_chunk_seconds_sum", "2.00315"},
    };
    for (const auto &[series, value] : expected) {
        EXPECT_EQ(line_of(text, series), series + " " + value);
    }
}

TEST(Metrics, EveryLineIsACommentOrASample) {
    Metrics metrics;
    metrics.sign_in(false, kolta::SdkErrorType::kUserDisabled);
    metrics.sign_in(true, kolta::SdkErrorType::kUnknownFailure);
    metrics.stream_opened("opus");
    metrics.stream_opened("pcm-of-the-future"); // open, but no codec counted
    const std::string text = metrics.render();
    const std::regex sample(R"([a-z_]+(\{[a-z]+="[^"]*"\})? -?[0-9.e+]+)");
    const std::regex comment(R"(# (HELP|TYPE) [a-z_]+ .+)");
    std::size_t begin = 0;
    while (begin < text.size()) {
        const std::size_t end = text.find('\n', begin);
        ASSERT_NE(end, std::string::npos) << "the text ends with a newline";
        const std::string line = text.substr(begin, end - begin);
        EXPECT_TRUE(std::regex_match(line, sample) || std::regex_match(line, comment))
            << line;
        begin = end + 1;
    }
    EXPECT_NE(text.find("\nkolta_sign_in_failures_total{error=\"USER_DISABLED\"} 1\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nkolta_sign_ins_total 1\n"), std::string::npos);
    EXPECT_NE(text.find("\nkolta_streams_opened_total{codec=\"opus\"} 1\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nkolta_streams_opened_total{codec=\"l16\"} 0\n"),
              std::string::npos);
    EXPECT_NE(text.find("\nkolta_streams_open 2\n"), std::string::npos);
}
