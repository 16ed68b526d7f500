// The service's transcript messages, made from the engine's transcript records.
#include <gtest/gtest.h>

#include <kolta_common/json.h>

#include "stream_protocol.h"
#include "stream_transcripts.h"

using namespace kolta::server;
using kolta::TextFrame;
using kolta::TranscriptSegment;
using kolta::TranscriptType;
using kolta_common::parse_json_object;

namespace {

TranscriptSegment segment(const char *start, const char *end, double probability,
                          const char *text) {
    TranscriptSegment made;
    made.start = start;
    made.end = end;
    made.probability = probability;
    made.text = text;
    return made;
}

} // namespace

TEST(TranscriptMessages, OnePerSegmentPartialsFirst) {
    TextFrame frame;
    frame.type_ = TranscriptType::kTranslation;
    frame.transcript_data_.utterance_idx = 7;
    frame.transcript_data_.language_code_ = "es-ES";
    frame.transcript_data_.complete = {
        segment("1.000", "2.500", 0.25, "ir \"adelante\"\n"),
        segment("2.500", "3.000", 1.0, "diez")};
    frame.transcript_data_.partial = {segment("3.000", "3.500", 0.5, "metros")};

    const auto messages = transcript_messages(frame);
    ASSERT_EQ(messages.size(), 3u);
    const struct {
        const char *text;
        bool final;
        const char *start;
        const char *probability;
    } expected[] = {{"metros", false, "3.000", "0.500"},
                    {"ir \"adelante\"\n", true, "1.000", "0.250"},
                    {"diez", true, "2.500", "1.000"}};
    for (std::size_t i = 0; i < messages.size(); ++i) {
        const auto object = parse_json_object(messages[i]);
        ASSERT_TRUE(object.has_value()) << messages[i];
        EXPECT_EQ(object->strings.at("event"), "transcript");
        EXPECT_EQ(object->strings.at("type"), "translation");
        EXPECT_EQ(object->strings.at("language"), "es-ES");
        EXPECT_EQ(object->numbers.at("utterance"), "7");
        EXPECT_EQ(object->strings.at("text"), expected[i].text);
        EXPECT_EQ(object->booleans.at("final"), expected[i].final);
        EXPECT_EQ(object->strings.at("start"), expected[i].start);
        EXPECT_EQ(object->numbers.at("probability"), expected[i].probability);
    }
}

TEST(TranscriptMessages, TranscriptionsAreNamedSo) {
    TextFrame frame;
    frame.type_ = TranscriptType::kTranscription;
    frame.transcript_data_.complete = {segment("0.000", "1.000", 0.9, "go")};
    const auto object = parse_json_object(transcript_messages(frame).at(0));
    ASSERT_TRUE(object.has_value());
    EXPECT_EQ(object->strings.at("type"), "transcription");
}

TEST(StreamTranscriptsWanted, OnlyForTextModelsUnlessDeclined) {
    StreamConfig config;
    for (const char *model : {"passthrough", "denoise"}) {
        config.model = model;
        EXPECT_FALSE(wants_transcripts(config)) << model;
    }
    config.model = "translate";
    EXPECT_TRUE(wants_transcripts(config));
    config.transcripts = false;
    EXPECT_FALSE(wants_transcripts(config));
}
