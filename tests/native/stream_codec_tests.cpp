// The stream's codecs: which one a stream gets, 16-bit PCM exact both ways,
// and Opus's delay as reported, which the engine takes off the answers.
#include <cmath>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "base/stream_codec.h"

namespace {

using kolta::engine::BlockDecoder;
using kolta::engine::BlockEncoder;
using kolta::engine::choose_stream_codec;
using kolta::engine::StreamCodec;
using kolta::engine::StreamFormat;

TEST(StreamCodecs, OpusWhereItsRatesAllowUnless16BitPcmIsAskedFor) {
    const std::vector<std::tuple<std::uint32_t, bool, StreamCodec>> table = {
        {8000, false, StreamCodec::kOpus},  {16000, false, StreamCodec::kOpus},
        {24000, false, StreamCodec::kOpus}, {48000, false, StreamCodec::kOpus},
        {32000, false, StreamCodec::kL16},  {44100, false, StreamCodec::kL16},
        {16000, true, StreamCodec::kL16},   {48000, true, StreamCodec::kL16},
    };
    for (const auto &[rate, pcm16, codec] : table) {
        EXPECT_EQ(choose_stream_codec(rate, pcm16), codec) << rate << " " << pcm16;
    }
}

TEST(StreamCodecs, L16RoundTripsSixteenBitValuesAndRefusesPartBlocks) {
    const StreamFormat format{16000, 2};
    BlockEncoder encoder(StreamCodec::kL16, format, kolta::engine::StreamLeg::kToService);
    BlockDecoder decoder(StreamCodec::kL16, format);
    std::vector<float> block(320);
    for (std::size_t i = 0; i < block.size(); ++i) {
        block[i] =
            static_cast<float>(static_cast<int>(i * 211 % 65536) - 32768) / 32768.0f;
    }
    std::string bytes;
    encoder.encode(block.data(), bytes);
    encoder.encode(block.data(), bytes);
    const auto decoded = decoder.decode(bytes);
    ASSERT_TRUE(decoded);
    ASSERT_EQ(decoded->size(), 2 * block.size());
    EXPECT_TRUE(std::equal(block.begin(), block.end(), decoded->begin()));
    EXPECT_EQ(encoder.delay_frames(), 0u);
    EXPECT_FALSE(decoder.decode(bytes.substr(0, 100)));
    EXPECT_FALSE(decoder.decode(""));
}

using kolta::engine::StreamLeg;

class OpusDelay : public ::testing::TestWithParam<
                      std::tuple<std::uint32_t, std::uint16_t, StreamLeg>> {};

// A click coded and decoded comes out where the reported lookahead says.
TEST_P(OpusDelay, TheDecodedAudioLagsByTheReportedLookahead) {
    const auto [rate, channels, leg] = GetParam();
    const StreamFormat format{rate, channels};
    BlockEncoder encoder(StreamCodec::kOpus, format, leg);
    BlockDecoder decoder(StreamCodec::kOpus, format);
    const std::size_t frames = format.block_frames();
    const std::size_t blocks = 20;
    const std::size_t click = 5 * frames + frames / 3;
    std::vector<float> input(blocks * frames * channels, 0.0f);
    for (std::uint16_t c = 0; c < channels; ++c) {
        input[click * channels + c] = 0.8f;
    }
    std::vector<float> output;
    for (std::size_t b = 0; b < blocks; ++b) {
        std::string packet;
        encoder.encode(input.data() + b * frames * channels, packet);
        const auto decoded = decoder.decode(packet);
        ASSERT_TRUE(decoded);
        output.insert(output.end(), decoded->begin(), decoded->end());
    }
    std::size_t loudest = 0;
    for (std::size_t f = 0; f < output.size() / channels; ++f) {
        if (std::fabs(output[f * channels]) > std::fabs(output[loudest * channels])) {
            loudest = f;
        }
    }
    EXPECT_NEAR(static_cast<double>(loudest),
                static_cast<double>(click + encoder.delay_frames()), 1.0);
    EXPECT_EQ(encoder.delay_frames(), rate / 400); // 2.5 ms
    EXPECT_EQ(kolta::engine::round_trip_codec_delay(StreamCodec::kOpus, format),
              2 * encoder.delay_frames());
}

INSTANTIATE_TEST_SUITE_P(
    EveryOpusRate, OpusDelay,
    ::testing::Combine(::testing::Values(8000u, 12000u, 16000u, 24000u, 48000u),
                       ::testing::Values(std::uint16_t{1}, std::uint16_t{2}),
                       ::testing::Values(StreamLeg::kToService,
                                         StreamLeg::kFromService)));

TEST(StreamCodecs, OpusRefusesRatesItCannotCode) {
    EXPECT_THROW(BlockEncoder(StreamCodec::kOpus, StreamFormat{44100, 1},
                              kolta::engine::StreamLeg::kToService),
                 std::invalid_argument);
    EXPECT_THROW(BlockDecoder(StreamCodec::kOpus, StreamFormat{32000, 1}),
                 std::invalid_argument);
}

} // namespace
