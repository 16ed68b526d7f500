// process_frame: chunk rules, fixed latency, drain, noise reduction, threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <stdexcept>
#include <thread>

#include "engine_test_support.h"

namespace {

using namespace kolta_test;

// Distinct non-zero values, so any lost, repeated or reordered sample shows.
std::vector<float> ramp(std::size_t values, float first = 1.0f) {
    std::vector<float> out(values);
    for (std::size_t i = 0; i < values; ++i) {
        out[i] = first + static_cast<float>(i);
    }
    return out;
}

class Stream : public ::testing::Test {
protected:
    std::unique_ptr<kolta::IAudioProcessor> make(const std::string &model,
                                                 std::uint32_t rate = 16000,
                                                 std::uint16_t channels = 1) {
        auto processor = sdk_->create_audio_processor(attributes(model, rate, channels));
        if (!processor) {
            throw std::runtime_error("no processor");
        }
        return processor;
    }

    TempDir dir_;
    std::shared_ptr<kolta::IKoltaSdk> sdk_ = signed_in_sdk(dir_);
};

TEST_F(Stream, RejectsChunksThatSplitAFrame) {
    auto processor = make("passthrough", 16000, 2);
    try {
        push(*processor, ramp(641));
        FAIL() << "expected std::invalid_argument";
    } catch (const std::invalid_argument &error) {
        EXPECT_NE(std::string(error.what()).find("641"), std::string::npos)
            << error.what();
    }
}

TEST_F(Stream, ShortChunksAreDroppedWithoutAnyEffect) {
    auto processor = make("passthrough");
    const auto input = ramp(320 * 10);
    std::vector<float> output;
    for (std::size_t at = 0; at < input.size(); at += 320) {
        EXPECT_TRUE(push(*processor, ramp(319, -5000.0f)).empty());
        EXPECT_TRUE(push(*processor, silence(100)).empty());
        kolta::AudioFrame nothing;
        EXPECT_EQ(processor->process_frame(nothing).frame_count, 0u);
        append(output, push(*processor, std::vector<float>(input.begin() + at,
                                                           input.begin() + at + 320)));
    }
    ASSERT_EQ(output.size(), input.size() - 320);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), input.begin()));
}

TEST_F(Stream, FirstTwentyMsPrimeThenEveryChunkComesBackWhole) {
    auto processor = make("passthrough", 48000, 2);
    const std::size_t chunk = 960 * 2;
    const auto input = ramp(chunk * 6);
    std::vector<float> chunk_in(input.begin(), input.begin() + chunk);
    EXPECT_TRUE(push(*processor, chunk_in).empty()) << "priming";
    for (std::size_t k = 1; k < 6; ++k) {
        const std::vector<float> next(input.begin() + k * chunk,
                                      input.begin() + (k + 1) * chunk);
        const auto out = push(*processor, next);
        ASSERT_EQ(out.size(), chunk);
        EXPECT_TRUE(std::equal(out.begin(), out.end(), input.begin() + (k - 1) * chunk));
    }
}

TEST_F(Stream, CumulativeOutputTrailsInputByExactlyTwentyMs) {
    for (std::uint32_t rate : {8000u, 44100u}) {
        auto processor = make("denoise", rate, 2);
        const std::size_t latency = rate / 50;
        std::size_t in_frames = 0;
        std::size_t out_frames = 0;
        std::uint32_t seed = 1;
        for (double ms : {20.0, 25.0, 37.0, 21.0, 100.0, 20.0, 33.0, 60.0}) {
            const auto frames = static_cast<std::size_t>(rate * ms / 1000.0);
            const auto out = push(*processor, white_noise(0.1, frames * 2, seed++));
            in_frames += frames;
            out_frames += out.size() / 2;
            EXPECT_EQ(out_frames, in_frames - latency)
                << rate << " Hz after " << ms << " ms";
        }
    }
}

struct RoundTrip {
    std::uint32_t rate;
    std::uint16_t channels;
    double chunk_ms;
};

class PassthroughRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

// A session with speech, a drain in the middle, more speech and a final drain
// gives back exactly what went in, minus the trailing drain chunks.
TEST_P(PassthroughRoundTrip, DrainedSessionReturnsTheInputExactly) {
    const auto [rate, channels, chunk_ms] = GetParam();
    TempDir dir;
    auto sdk = signed_in_sdk(dir);
    auto processor =
        sdk->create_audio_processor(attributes("passthrough", rate, channels));
    ASSERT_NE(processor, nullptr);

    const auto chunk = static_cast<std::size_t>(rate * chunk_ms / 1000.0) * channels;
    const auto speech = [&](std::size_t chunks, float first) {
        return ramp(chunks * chunk + channels * 7, first); // not a whole number of blocks
    };
    std::vector<std::vector<float>> chunks;
    const auto add = [&](const std::vector<float> &values) {
        for (std::size_t at = 0; at < values.size(); at += chunk) {
            chunks.emplace_back(values.begin() + at,
                                values.begin() + std::min(values.size(), at + chunk));
        }
    };
    add(speech(9, 1.0f));
    chunks.push_back(silence(chunk));
    chunks.push_back(silence(chunk));
    add(speech(6, 100000.0f));
    chunks.push_back(silence(chunk));
    add(speech(3, 300000.0f));
    chunks.push_back(silence(chunk));
    chunks.push_back(silence(chunk));

    std::vector<float> expected;
    std::vector<float> output;
    std::size_t trailing_drains = 0;
    for (const auto &c : chunks) {
        append(output, push(*processor, c));
        const bool is_silence =
            std::all_of(c.begin(), c.end(), [](float v) { return v == 0; });
        const bool accepted = c.size() >= rate / 50 * channels;
        if (accepted) {
            append(expected, c);
        }
        trailing_drains = is_silence ? trailing_drains + c.size() : 0;
    }
    expected.resize(expected.size() - trailing_drains);
    ASSERT_EQ(output.size(), expected.size());
    EXPECT_TRUE(output == expected);
}

INSTANTIATE_TEST_SUITE_P(
    Formats, PassthroughRoundTrip,
    ::testing::Values(RoundTrip{16000, 1, 20.0}, RoundTrip{16000, 1, 25.0},
                      RoundTrip{48000, 2, 20.0}, RoundTrip{48000, 2, 25.0},
                      RoundTrip{44100, 1, 20.0}, RoundTrip{44100, 2, 30.0},
                      RoundTrip{8000, 2, 45.0}),
    [](const auto &info) {
        return std::to_string(info.param.rate) + "Hz_x" +
               std::to_string(info.param.channels) + "_" +
               std::to_string(static_cast<int>(info.param.chunk_ms)) + "ms";
    });

TEST_F(Stream, DrainReleasesTheTailAndThenReturnsNothing) {
    auto processor = make("passthrough");
    const auto first = ramp(320);
    const auto second = ramp(320 + 37, 1000.0f);
    EXPECT_TRUE(push(*processor, first).empty());
    auto out = push(*processor, second);
    ASSERT_EQ(out.size(), 357u);
    EXPECT_TRUE(std::equal(first.begin(), first.end(), out.begin()));
    const auto tail = push(*processor, silence(320));
    EXPECT_TRUE(tail == std::vector<float>(second.begin() + 37, second.end()))
        << "the whole buffered tail, partial block included";
    EXPECT_TRUE(push(*processor, silence(320)).empty());
    EXPECT_TRUE(push(*processor, silence(640)).empty());

    // The held silence (1280 frames) re-enters the stream before new audio.
    const auto resumed = push(*processor, ramp(320, 9000.0f));
    ASSERT_EQ(resumed.size(), 1280u);
    EXPECT_TRUE(
        std::all_of(resumed.begin(), resumed.end(), [](float v) { return v == 0; }));
    const auto next = push(*processor, ramp(320, 20000.0f));
    EXPECT_TRUE(next == ramp(320, 9000.0f));
}

TEST_F(Stream, DrainAtTheStartBuffersNothing) {
    auto processor = make("denoise", 32000, 2);
    EXPECT_TRUE(push(*processor, silence(640 * 2)).empty());
    EXPECT_TRUE(push(*processor, silence(640 * 2)).empty());
}

// White noise at -30 dBFS with a 440 Hz tone in every other half second.
struct NoisyTone {
    std::vector<float> values;
    std::vector<bool> tone_segment;
};

NoisyTone noisy_tone(std::uint32_t rate, std::uint16_t channels, std::size_t segments) {
    const std::size_t segment_frames = rate / 2;
    NoisyTone signal;
    signal.values = white_noise(std::pow(10.0, -30.0 / 20.0),
                                segments * segment_frames * channels, rate + channels);
    const auto sine = tone(440.0, 0.25, segments * segment_frames, rate, channels);
    for (std::size_t s = 0; s < segments; ++s) {
        const bool with_tone = s % 2 == 1;
        signal.tone_segment.push_back(with_tone);
        if (with_tone) {
            for (std::size_t i = s * segment_frames * channels;
                 i < (s + 1) * segment_frames * channels; ++i) {
                signal.values[i] += sine[i];
            }
        }
    }
    return signal;
}

struct Reduction {
    double noise_db = 0.0; // mean level change in noise-only segments
    double tone_db = 0.0;  // mean level change in tone segments
};

// Compares input and output level per half-second segment, skipping the
// first second while the suppressor learns the noise. Output value i is the
// processed input value i (the latency delays it in time, not in position).
Reduction measure(const NoisyTone &signal, const std::vector<float> &output,
                  std::uint32_t rate, std::uint16_t channels) {
    const std::size_t segment = rate / 2 * channels;
    const std::size_t margin = rate / 20 * channels;
    Reduction r;
    int noise_n = 0;
    int tone_n = 0;
    for (std::size_t s = 2; s < signal.tone_segment.size(); ++s) {
        const std::size_t begin = s * segment + margin;
        const std::size_t end = (s + 1) * segment - margin;
        if (end > output.size()) {
            break;
        }
        const double change =
            rms_db(signal.values, begin, end) - rms_db(output, begin, end);
        if (signal.tone_segment[s]) {
            r.tone_db += change;
            ++tone_n;
        } else {
            r.noise_db += change;
            ++noise_n;
        }
    }
    r.noise_db /= noise_n;
    r.tone_db /= tone_n;
    return r;
}

TEST_F(Stream, DenoiseCutsNoiseAndKeepsTheTone) {
    const NoisyTone signal = noisy_tone(16000, 1, 8);
    auto processor = make("denoise");
    const auto output = run_chunks(*processor, signal.values, 320);
    const Reduction r = measure(signal, output, 16000, 1);
    RecordProperty("noise_reduction_db", std::to_string(r.noise_db));
    RecordProperty("tone_loss_db", std::to_string(r.tone_db));
    std::printf("denoise 16 kHz mono: noise -%.1f dB, tone -%.2f dB\n", r.noise_db,
                r.tone_db);
    EXPECT_GE(r.noise_db, 6.0);
    EXPECT_LE(r.tone_db, 3.0);

    auto passthrough = make("passthrough");
    const Reduction none =
        measure(signal, run_chunks(*passthrough, signal.values, 320), 16000, 1);
    EXPECT_EQ(none.noise_db, 0.0);
}

TEST_F(Stream, DenoiseWorksAtEveryRateAndForStereo) {
    for (std::uint32_t rate : {8000u, 24000u, 32000u, 44100u, 48000u}) {
        for (std::uint16_t channels : {1, 2}) {
            const NoisyTone signal = noisy_tone(rate, channels, 6);
            auto processor = make("denoise", rate, channels);
            const auto output =
                run_chunks(*processor, signal.values, rate / 40 * channels);
            ASSERT_TRUE(std::all_of(output.begin(), output.end(),
                                    [](float v) { return std::isfinite(v); }));
            const Reduction r = measure(signal, output, rate, channels);
            std::printf("denoise %u Hz x%u: noise -%.1f dB, tone -%.2f dB\n", rate,
                        channels, r.noise_db, r.tone_db);
            EXPECT_GE(r.noise_db, 6.0) << rate << " Hz x" << channels;
            EXPECT_LE(r.tone_db, 3.0) << rate << " Hz x" << channels;
        }
    }
}

TEST_F(Stream, ConcurrentCallersAreSerialisedAndLoseNothing) {
    auto processor = make("passthrough");
    constexpr std::size_t kChunks = 150;
    constexpr std::size_t kChunk = 320;
    std::vector<float> outputs[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&, t] {
            const float base = 1.0f + static_cast<float>(t * kChunks * kChunk);
            for (std::size_t k = 0; k < kChunks; ++k) {
                append(outputs[t], push(*processor, ramp(kChunk, base + k * kChunk)));
            }
        });
    }
    for (auto &thread : threads) {
        thread.join();
    }
    std::vector<float> all = outputs[0];
    append(all, outputs[1]);
    EXPECT_EQ(all.size(), 2 * kChunks * kChunk - kChunk);
    std::set<float> unique(all.begin(), all.end());
    EXPECT_EQ(unique.size(), all.size()) << "no sample repeated";
    EXPECT_GE(*unique.begin(), 1.0f);
    EXPECT_LE(*unique.rbegin(), static_cast<float>(2 * kChunks * kChunk));
}

} // namespace
