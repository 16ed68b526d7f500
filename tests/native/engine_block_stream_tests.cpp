// The processor's block stream on its own, with a model that only delays:
// whatever its delay, the chunking, the drains and the frames passed through
// unprocessed, every input value comes back once, in its place.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <deque>
#include <string>
#include <vector>

#include "processor/block_stream.h"

namespace {

using kolta::engine::BlockStream;

constexpr std::size_t kBlock = 10;
constexpr std::size_t kLatency = 20;

// Output lags input by `delay` frames and is negated, so processed values
// are told apart from those passed through.
class DelayModel {
public:
    DelayModel(std::size_t channels, std::size_t delay)
        : channels_(channels), line_(channels * delay, 0.0f) {}
    void process(float *block) {
        for (std::size_t i = 0; i < kBlock * channels_; ++i) {
            line_.push_back(block[i]);
            block[i] = -line_.front();
            line_.pop_front();
        }
    }

private:
    std::size_t channels_;
    std::deque<float> line_;
};

enum class Kind { kProcessed, kUnprocessed, kDrain };
struct Step {
    Kind kind;
    std::size_t frames;
};

struct Case {
    std::string name;
    std::vector<Step> steps;
};

struct Param {
    std::size_t channels;
    std::size_t delay;
    Case scenario;
};

class BlockStreamAlignment : public ::testing::TestWithParam<Param> {};

TEST_P(BlockStreamAlignment, EveryValueComesBackOnceInItsPlace) {
    const auto &[channels, delay, scenario] = GetParam();
    DelayModel model(channels, delay);
    std::vector<std::size_t> valid_seen;
    BlockStream stream(channels, kBlock, kLatency, delay,
                       [&](float *block, std::size_t valid) {
                           valid_seen.push_back(valid);
                           model.process(block);
                       });
    // The model needs more than one block beyond the latency's second block.
    const std::size_t shortfall = delay > kBlock + 1 ? delay - kBlock - 1 : 0;

    std::vector<float> expected;
    std::vector<float> output;
    std::vector<float> out;
    std::size_t held_silence = 0;
    std::size_t frames_in = 0;
    std::size_t frames_out = 0;
    float next = 1.0f;
    for (const Step &step : scenario.steps) {
        if (step.kind == Kind::kDrain) {
            stream.push_silence(step.frames, true, out);
            held_silence += step.frames;
        } else {
            std::vector<float> values(step.frames * channels);
            for (float &v : values) {
                v = next++;
            }
            const bool processed = step.kind == Kind::kProcessed;
            frames_in += held_silence + step.frames;
            expected.insert(expected.end(), held_silence * channels, 0.0f);
            held_silence = 0;
            for (float v : values) {
                expected.push_back(processed ? -v : v);
            }
            stream.push_audio(values.data(), step.frames, processed, out);
        }
        output.insert(output.end(), out.begin(), out.end());
        frames_out += out.size() / channels;
        if (step.kind != Kind::kDrain) {
            const std::size_t due = frames_in > kLatency ? frames_in - kLatency : 0;
            EXPECT_LE(frames_out, due) << "released early";
            EXPECT_GE(frames_out + shortfall, due) << "held back beyond the latency";
        }
    }
    for (int drains = 0; drains < 4; ++drains) { // more than any tail needs
        stream.push_silence(kLatency, true, out);
        output.insert(output.end(), out.begin(), out.end());
    }
    ASSERT_EQ(output.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_EQ(output[i], expected[i]) << "value " << i;
    }
    for (std::size_t valid : valid_seen) {
        ASSERT_LE(valid, kBlock);
    }
}

std::vector<Param> params() {
    const auto P = Kind::kProcessed;
    const auto U = Kind::kUnprocessed;
    const auto D = Kind::kDrain;
    const std::vector<Case> cases = {
        {"WholeChunks", {{P, 20}, {P, 20}, {P, 20}, {P, 20}, {D, 20}}},
        {"OddChunksAndDrains",
         {{P, 23},
          {P, 37},
          {D, 20},
          {P, 21},
          {D, 25},
          {D, 20},
          {P, 29},
          {P, 100},
          {D, 20}}},
        {"PassThroughAndBack",
         {{P, 20},
          {P, 20},
          {U, 23},
          {U, 37},
          {P, 21},
          {D, 20},
          {U, 20},
          {P, 25},
          {U, 33},
          {P, 20}}},
        {"DrainFirst", {{D, 20}, {P, 20}, {U, 31}, {D, 20}, {D, 20}, {P, 22}}},
    };
    std::vector<Param> out;
    for (std::size_t channels : {1u, 2u}) {
        for (std::size_t delay : {0u, 1u, 9u, 10u, 11u, 15u, 20u}) {
            for (const Case &c : cases) {
                out.push_back({channels, delay, c});
            }
        }
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Delays, BlockStreamAlignment, ::testing::ValuesIn(params()),
                         [](const ::testing::TestParamInfo<Param> &info) {
                             return info.param.scenario.name + "_delay" +
                                    std::to_string(info.param.delay) + "_x" +
                                    std::to_string(info.param.channels);
                         });

// Adds to each output value the number of frames seen before its block, so
// zeros given to the model outside the stream change every later value.
class ClockedDelayModel {
public:
    explicit ClockedDelayModel(std::size_t delay) : delay_(1, delay) {}
    void process(float *block) {
        delay_.process(block);
        for (std::size_t i = 0; i < kBlock; ++i) {
            block[i] += 1000.0f * static_cast<float>(seen_);
        }
        seen_ += kBlock;
    }

private:
    DelayModel delay_;
    std::size_t seen_ = 0;
};

class SilenceAsDrains : public ::testing::TestWithParam<std::size_t> {};

// Digital silence sent as drain chunks (whole blocks, each at least the
// latency) gives the same output as the same silence inside audio chunks.
TEST_P(SilenceAsDrains, LeavesWhatTheModelSeesUnchanged) {
    struct Piece {
        std::size_t frames;
        bool silent;
    };
    const std::vector<Piece> pieces = {{40, false}, {20, true},  {20, true}, {30, false},
                                       {30, true},  {20, false}, {20, true}};
    const auto run = [&](bool silence_as_drains) {
        ClockedDelayModel model(GetParam());
        BlockStream stream(1, kBlock, kLatency, GetParam(),
                           [&](float *block, std::size_t) { model.process(block); });
        std::vector<float> output;
        std::vector<float> out;
        float next = 1.0f;
        for (const Piece &piece : pieces) {
            std::vector<float> values(piece.frames, 0.0f);
            if (piece.silent && silence_as_drains) {
                stream.push_silence(piece.frames, true, out);
            } else {
                for (float &v : values) {
                    v = piece.silent ? 0.0f : next++;
                }
                stream.push_audio(values.data(), piece.frames, true, out);
            }
            output.insert(output.end(), out.begin(), out.end());
        }
        for (int drains = 0; drains < 4; ++drains) {
            stream.push_silence(kLatency, true, out);
            output.insert(output.end(), out.begin(), out.end());
        }
        return output;
    };
    const auto inside_audio = run(false);
    const auto as_drains = run(true);
    // The last silent piece is a trailing drain, never played back.
    EXPECT_EQ(as_drains.size(), inside_audio.size() - 20);
    EXPECT_TRUE(std::equal(as_drains.begin(), as_drains.end(), inside_audio.begin()));
}

INSTANTIATE_TEST_SUITE_P(Delays, SilenceAsDrains,
                         ::testing::Values(0u, 1u, 10u, 15u, 20u));

TEST(BlockStream, WithinOneBlockOfDelayTheLatencyRuleIsExactForAnyChunk) {
    DelayModel model(1, kBlock + 1);
    BlockStream stream(1, kBlock, kLatency, kBlock + 1,
                       [&](float *block, std::size_t) { model.process(block); });
    std::vector<float> out;
    std::size_t in = 0;
    std::size_t released = 0;
    for (std::size_t frames : {20u, 29u, 21u, 27u, 39u, 20u, 31u}) {
        const std::vector<float> values(frames, 1.0f);
        stream.push_audio(values.data(), frames, true, out);
        in += frames;
        released += out.size();
        EXPECT_EQ(released, in - kLatency) << "after " << in << " frames";
    }
}

TEST(BlockStream, RefusesADelayLongerThanTheLatency) {
    EXPECT_THROW(
        BlockStream(1, kBlock, kLatency, kLatency + 1, [](float *, std::size_t) {}),
        std::logic_error);
}

} // namespace

namespace {

// A deferred stream as the cloud path uses it: blocks handed on, answered
// late (every third one not at all: passed through), with a delay beyond the
// latency (a codec's on top of the model's). One drain gives back the whole
// tail, each value once and in its place.
TEST(DeferredBlockStream, OneDrainReturnsAWholeLateTailInPlace) {
    constexpr std::size_t kDelay = 27; // more than the 20-frame latency
    DelayModel model(1, kDelay);
    std::deque<std::vector<float>> handed_on;
    std::size_t answered = 0;
    BlockStream *self = nullptr;
    auto complete_all = [&] {
        while (!handed_on.empty()) {
            std::vector<float> block = std::move(handed_on.front());
            handed_on.pop_front();
            // The model sees every block, so its delay line stays whole.
            model.process(block.data());
            self->complete_block(answered++ % 3 == 2 ? nullptr : block.data());
        }
    };
    BlockStream stream(
        1, kBlock, kLatency, kDelay,
        [&](float *block, std::size_t) { handed_on.emplace_back(block, block + kBlock); },
        complete_all);
    self = &stream;
    std::vector<float> values(500);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i + 1);
    }
    std::vector<float> out;
    stream.push_audio(values.data(), values.size(), true, out);
    EXPECT_TRUE(out.empty()); // nothing answered yet
    stream.push_silence(kLatency, true, out);
    ASSERT_EQ(out.size(), values.size());
    std::size_t processed = 0;
    for (std::size_t i = 0; i < values.size(); ++i) {
        ASSERT_EQ(std::fabs(out[i]), values[i]) << "value " << i;
        processed += out[i] < 0 ? 1 : 0;
    }
    EXPECT_GT(processed, values.size() / 2);
    EXPECT_LT(processed, values.size());
    stream.push_silence(kLatency, true, out);
    EXPECT_TRUE(out.empty());
}

} // namespace
