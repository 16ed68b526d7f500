// The recogniser and the translator behind the translation pipeline, on
// recorded speech from pocketsphinx-testdata.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <cerrno>
#include <sys/wait.h>
#endif

#include "engine_test_support.h"

namespace {

using namespace kolta_test;

constexpr char kGoForward[] = "/usr/share/pocketsphinx/test/data/goforward.raw";

std::vector<float> read_raw16(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<float> samples;
    std::int16_t value = 0;
    while (in.read(reinterpret_cast<char *>(&value), sizeof value)) {
        samples.push_back(static_cast<float>(value) / 32768.0f);
    }
    return samples;
}

std::size_t occurrences(const std::string &text, const std::string &needle) {
    std::size_t count = 0;
    for (auto at = text.find(needle); at != std::string::npos;
         at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

struct Heard {
    std::vector<std::string> partials;
    std::vector<std::string> finals;
    std::vector<std::string> translations;
};

// Streams `speech` in 20 ms chunks, drains, destroys the processor (which
// lets the recogniser finish) and sorts what arrived.
Heard listen(kolta::IKoltaSdk &sdk, const std::vector<float> &speech,
             const std::string &language_out) {
    auto recorder = std::make_shared<Recorder>();
    auto attrs = attributes("", 16000, 1, false);
    attrs.lt_config = lt_config(text_sink(recorder));
    attrs.lt_config->language_out = language_out;
    auto processor = sdk.create_audio_processor(attrs);
    EXPECT_TRUE(processor);
    if (!processor) {
        return {};
    }
    std::vector<float> input(8000, 0.0f); // lead-in silence
    input.insert(input.end(), speech.begin(), speech.end());
    run_chunks(*processor, input, 320);
    run_chunks(*processor, std::vector<float>(320 * 50, 0.0f), 320);
    processor.reset();

    Heard heard;
    for (const auto &frame : recorder->texts()) {
        const auto &data = frame.transcript_data_;
        for (const auto &segment : data.partial) {
            heard.partials.push_back(segment.text);
        }
        for (const auto &segment : data.complete) {
            (frame.type_ == kolta::TranscriptType::kTranslation ? heard.translations
                                                                : heard.finals)
                .push_back(segment.text);
        }
    }
    return heard;
}

class Speech : public ::testing::Test {
protected:
    void SetUp() override {
        if (!std::ifstream(kGoForward)) {
            GTEST_SKIP() << "pocketsphinx-testdata is not installed";
        }
    }
    ScopedEnv recogniser_{"KOLTA_ENGINE_TRANSCRIPTS", std::nullopt};
    ScopedEnv models_{"KOLTA_MODELS_DIR", std::nullopt};
    TempDir dir_;
};

TEST_F(Speech, RecognisesGoForwardAndTranslatesIt) {
    auto sdk = signed_in_sdk(dir_);
    const Heard heard = listen(*sdk, read_raw16(kGoForward), "es-ES");
    ASSERT_EQ(heard.finals, std::vector<std::string>{"go forward ten meters"})
        << read_text(dir_.log_file());
    EXPECT_FALSE(heard.partials.empty()) << "interim transcripts while it runs";
    ASSERT_EQ(heard.translations.size(), 1u) << read_text(dir_.log_file());
    EXPECT_NE(heard.translations[0].find("diez metros"), std::string::npos)
        << heard.translations[0];
#ifndef _WIN32
    // Teardown leaves no translator process behind, not even a zombie.
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
#endif
}

TEST_F(Speech, UnsupportedPairGivesTheTranscriptOnly) {
    auto sdk = signed_in_sdk(dir_);
    const Heard heard = listen(*sdk, read_raw16(kGoForward), "de-DE");
    EXPECT_EQ(heard.finals, std::vector<std::string>{"go forward ten meters"});
    EXPECT_TRUE(heard.translations.empty());
    EXPECT_EQ(
        occurrences(read_text(dir_.log_file()), "no translation from en-US to de-DE"),
        1u);
}

TEST_F(Speech, WrongModelPathFallsBackToPlaceholdersAndLogsOnce) {
    const std::string wrong = (dir_.path() / "no-models").string();
    ScopedEnv models("KOLTA_MODELS_DIR", wrong);
    auto sdk = signed_in_sdk(dir_);
    const auto speech = read_raw16(kGoForward);
    for (int round = 0; round < 2; ++round) {
        const Heard heard = listen(*sdk, speech, "es-ES");
        ASSERT_EQ(heard.finals.size(), 1u);
        EXPECT_EQ(heard.finals[0].rfind("[reference engine] utterance 0: ", 0), 0u)
            << heard.finals[0];
    }
    EXPECT_EQ(occurrences(read_text(dir_.log_file()),
                          "recogniser not available (no acoustic model at " + wrong),
              1u);
}

} // namespace
