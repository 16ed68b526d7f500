// Output thread: pipeline states, transcripts, teardown, fault switches.
#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <thread>

#include "engine_test_support.h"

namespace {

using namespace kolta_test;
using kolta::PipelineState;
using kolta::TranscriptType;

constexpr PipelineState kTrying = PipelineState::kTrying;
constexpr PipelineState kRunning = PipelineState::kRunning;
constexpr PipelineState kNotRunning = PipelineState::kNotRunning;

// `count` chunks of 20 ms at 16 kHz, every value distinct and non-zero.
std::vector<std::vector<float>> distinct_chunks(std::size_t count) {
    std::vector<std::vector<float>> chunks(count, std::vector<float>(320));
    float next = 1.0f;
    for (auto &chunk : chunks) {
        for (auto &v : chunk) {
            v = next++;
        }
    }
    return chunks;
}

class Callbacks : public ::testing::Test {
protected:
    std::unique_ptr<kolta::IAudioProcessor> make(kolta::ProcessorAttributes attrs) {
        attrs.audio_attributes.audio_pipeline_state_notify = state_sink(recorder_);
        if (attrs.lt_config) {
            attrs.lt_config->callback = text_sink(recorder_);
        }
        auto processor = sdk_->create_audio_processor(attrs);
        if (!processor) {
            throw std::runtime_error("no processor");
        }
        return processor;
    }
    std::unique_ptr<kolta::IAudioProcessor>
    make_cloud(const std::string &model = "denoise") {
        return make(attributes(model, 16000, 1, true));
    }
    std::unique_ptr<kolta::IAudioProcessor> make_lt(bool cloud = false) {
        auto attrs = attributes("", 16000, 1, cloud);
        attrs.lt_config = lt_config({});
        return make(attrs);
    }

    TempDir dir_;
    std::shared_ptr<kolta::IKoltaSdk> sdk_ = signed_in_sdk(dir_);
    std::shared_ptr<Recorder> recorder_ = std::make_shared<Recorder>();
};

TEST_F(Callbacks, CloudPathAnnouncesItsPipelineInOrder) {
    for (const char *mode : {"stream", "simulated"}) {
        SCOPED_TRACE(mode);
        recorder_ = std::make_shared<Recorder>();
        ScopedEnv cloud("KOLTA_ENGINE_CLOUD", std::string(mode));
        const auto start = std::chrono::steady_clock::now();
        auto processor = make_cloud();
        if (std::string(mode) == "simulated") {
            EXPECT_GE(std::chrono::steady_clock::now() - start, 20ms);
        }
        ASSERT_TRUE(recorder_->wait_for_states(2));
        EXPECT_EQ(recorder_->states(), (std::vector<PipelineState>{kTrying, kRunning}));
        processor.reset();
        EXPECT_EQ(recorder_->states(),
                  (std::vector<PipelineState>{kTrying, kRunning, kNotRunning}));
    }
}

TEST_F(Callbacks, LocalPathHasNoPipelineStates) {
    auto processor = make(attributes("denoise", 16000, 1, false));
    run_chunks(*processor, tone(200, 0.1, 3200, 16000), 320);
    processor.reset();
    EXPECT_TRUE(recorder_->states().empty());
}

TEST_F(Callbacks, EmptyCallbacksAreSkipped) {
    auto attrs = attributes("", 16000, 1, true);
    attrs.lt_config = lt_config({});
    ScopedEnv faults("KOLTA_ENGINE_FAULTS", "transcript_flood=5,state_flood=5");
    auto processor = sdk_->create_audio_processor(attrs);
    ASSERT_NE(processor, nullptr);
    run_chunks(*processor, tone(300, 0.3, 16000, 16000), 320);
    EXPECT_NO_THROW(processor.reset());
}

TEST_F(Callbacks, CreationAndProcessingNeverWaitForABlockedCallback) {
    std::mutex gate;
    std::unique_lock<std::mutex> held(gate); // what a caller's interpreter lock would be
    auto attrs = attributes("passthrough", 16000, 1, true);
    attrs.audio_attributes.audio_pipeline_state_notify =
        [&gate, rec = recorder_](PipelineState s) {
            std::lock_guard<std::mutex> wait_for_gate(gate);
            rec->on_state(s);
        };
    std::unique_ptr<kolta::IAudioProcessor> processor;
    {
        Watchdog watchdog("creation with a blocked callback", 5000ms);
        processor = sdk_->create_audio_processor(attrs);
        ASSERT_NE(processor, nullptr);
        const auto out = run_chunks(*processor, tone(500, 0.3, 3200, 16000), 320);
        EXPECT_EQ(out.size(), 3200u - 320u);
    }
    EXPECT_TRUE(recorder_->states().empty());
    held.unlock();
    Watchdog watchdog("teardown", 5000ms);
    processor.reset();
    EXPECT_EQ(recorder_->states(),
              (std::vector<PipelineState>{kTrying, kRunning, kNotRunning}));
}

TEST_F(Callbacks, ProcessorCanBeDestroyedFromItsOwnCallback) {
    struct Holder {
        std::mutex mutex;
        std::condition_variable ready;
        std::unique_ptr<kolta::IAudioProcessor> processor;
    };
    auto holder = std::make_shared<Holder>();
    auto rec = recorder_;
    auto attrs = attributes("denoise", 16000, 1, true);
    attrs.audio_attributes.audio_pipeline_state_notify = [holder, rec](PipelineState s) {
        rec->on_state(s);
        if (s != kRunning) {
            return;
        }
        std::unique_ptr<kolta::IAudioProcessor> last;
        {
            std::unique_lock<std::mutex> lock(holder->mutex);
            holder->ready.wait_for(lock, 5s,
                                   [&] { return holder->processor != nullptr; });
            last = std::move(holder->processor);
        }
        last.reset(); // the destructor runs on the output thread itself
    };
    Watchdog watchdog("teardown from a callback", 10000ms);
    auto processor = sdk_->create_audio_processor(attrs);
    ASSERT_NE(processor, nullptr);
    push(*processor, tone(440, 0.2, 640, 16000));
    {
        std::lock_guard<std::mutex> lock(holder->mutex);
        holder->processor = std::move(processor);
    }
    holder->ready.notify_all();
    ASSERT_TRUE(recorder_->wait_for_states(3));
    EXPECT_EQ(recorder_->states(),
              (std::vector<PipelineState>{kTrying, kRunning, kNotRunning}));
}

TEST_F(Callbacks, TranscriptCallbackMayDestroyTheProcessorMidFlood) {
    ScopedEnv faults("KOLTA_ENGINE_FAULTS", "transcript_flood=4");
    auto holder = std::make_shared<std::unique_ptr<kolta::IAudioProcessor>>();
    auto gate = std::make_shared<std::mutex>();
    std::unique_lock<std::mutex> held(*gate);
    auto rec = recorder_;
    auto attrs = attributes("", 16000, 1, false);
    attrs.lt_config = lt_config([holder, gate, rec](kolta::TextFrame &&frame) {
        const bool first = frame.transcript_data_.utterance_idx == 0;
        rec->on_text(std::move(frame));
        if (first) {
            std::lock_guard<std::mutex> wait_until_stored(*gate);
            holder->reset();
        }
    });
    Watchdog watchdog("teardown from a transcript callback", 10000ms);
    *holder = sdk_->create_audio_processor(attrs);
    ASSERT_NE(*holder, nullptr);
    held.unlock();
    ASSERT_TRUE(recorder_->wait_for_texts(4)) << "queued transcripts still delivered";
}

// 0.5 s silence, 1.2 s tone at -20 dBFS, 1 s silence, 0.8 s tone, 1 s silence.
std::vector<float> two_utterances(double noise_rms = 0.0) {
    std::vector<float> signal = silence(8000);
    append(signal, tone(300, 0.1 * std::sqrt(2.0), 19200, 16000));
    append(signal, silence(16000));
    append(signal, tone(300, 0.1 * std::sqrt(2.0), 12800, 16000));
    append(signal, silence(16000));
    if (noise_rms > 0) {
        const auto noise = white_noise(noise_rms, signal.size(), 7);
        for (std::size_t i = 0; i < signal.size(); ++i) {
            signal[i] += noise[i];
        }
    }
    return signal;
}

std::vector<kolta::TextFrame> finals(const std::vector<kolta::TextFrame> &texts) {
    std::vector<kolta::TextFrame> out;
    for (const auto &t : texts) {
        if (!t.transcript_data_.complete.empty()) {
            out.push_back(t);
        }
    }
    return out;
}

TEST_F(Callbacks, TranslationReportsEachUtterance) {
    auto processor = make_lt();
    const auto input = two_utterances();
    const auto output = run_chunks(*processor, input, 320);
    // The silences are exact zeros, so they drain; the final one stays held.
    ASSERT_EQ(output.size(), input.size() - 16000);
    EXPECT_TRUE(std::equal(output.begin(), output.end(), input.begin()))
        << "audio unchanged";
    processor.reset();

    const auto texts = recorder_->texts();
    const auto done = finals(texts);
    ASSERT_EQ(done.size(), 4u);
    const char *starts[] = {"0.500", "2.700"};
    const char *ends[] = {"1.700", "3.500"};
    const char *lengths[] = {"1.20 s", "0.80 s"};
    for (std::uint32_t u = 0; u < 2; ++u) {
        const auto &transcription = done[2 * u];
        const auto &translation = done[2 * u + 1];
        EXPECT_EQ(transcription.type_, TranscriptType::kTranscription);
        EXPECT_EQ(translation.type_, TranscriptType::kTranslation);
        EXPECT_EQ(transcription.transcript_data_.language_code_, "en-US");
        EXPECT_EQ(translation.transcript_data_.language_code_, "es-ES");
        for (const auto *frame : {&transcription, &translation}) {
            const auto &data = frame->transcript_data_;
            EXPECT_EQ(data.utterance_idx, u);
            ASSERT_EQ(data.complete.size(), 1u);
            EXPECT_TRUE(data.partial.empty());
            const auto &segment = data.complete[0];
            EXPECT_EQ(segment.start, starts[u]);
            EXPECT_EQ(segment.end, ends[u]);
            EXPECT_DOUBLE_EQ(segment.probability, 1.0) << "clean signal";
            EXPECT_TRUE(segment.redacted_text.empty());
            EXPECT_EQ(segment.text.rfind(
                          "[reference engine] utterance " + std::to_string(u), 0),
                      0u)
                << segment.text;
            EXPECT_NE(segment.text.find(lengths[u]), std::string::npos) << segment.text;
        }
        EXPECT_NE(
            translation.transcript_data_.complete[0].text.find("\xE2\x86\x92 es-ES"),
            std::string::npos);
    }

    // Partials about every 500 ms of speech, before their utterance's end.
    std::vector<std::string> partial_ends;
    for (const auto &t : texts) {
        if (!t.transcript_data_.partial.empty()) {
            EXPECT_EQ(t.type_, TranscriptType::kTranscription);
            EXPECT_EQ(t.transcript_data_.partial.size(), 1u);
            partial_ends.push_back(t.transcript_data_.utterance_idx == 0
                                       ? t.transcript_data_.partial[0].end
                                       : "u1:" + t.transcript_data_.partial[0].end);
        }
    }
    EXPECT_EQ(partial_ends, (std::vector<std::string>{"1.000", "1.500", "u1:3.200"}));
}

TEST_F(Callbacks, ConfidenceFallsWithNoise) {
    auto processor = make_lt();
    run_chunks(*processor, two_utterances(0.006),
               320); // -44 dBFS: under the VAD threshold
    processor.reset();
    const auto done = finals(recorder_->texts());
    ASSERT_EQ(done.size(), 4u);
    const double p = done[0].transcript_data_.complete[0].probability;
    EXPECT_GT(p, 0.5);
    EXPECT_LT(p, 1.0);
}

TEST_F(Callbacks, DrainEndsARunningUtterance) {
    auto processor = make_lt();
    run_chunks(*processor, silence(3200), 320);
    run_chunks(*processor, tone(300, 0.2, 8000, 16000), 320);
    EXPECT_TRUE(finals(recorder_->texts()).empty());
    push(*processor, silence(320));
    ASSERT_TRUE(recorder_->wait_for_texts(3)) << "partial, transcription, translation";
    const auto done = finals(recorder_->texts());
    ASSERT_EQ(done.size(), 2u);
    EXPECT_EQ(done[0].transcript_data_.complete[0].start, "0.200")
        << "held silence enters the stream before the audio that follows it";
    EXPECT_EQ(done[0].transcript_data_.complete[0].end, "0.700");
}

TEST_F(Callbacks, ThrowOnFrameFault) {
    ScopedEnv faults("KOLTA_ENGINE_FAULTS", "throw_on_frame=3");
    auto processor = make(attributes("passthrough"));
    const auto input = distinct_chunks(5);
    EXPECT_TRUE(push(*processor, input[0]).empty());
    EXPECT_EQ(push(*processor, input[1]), input[0]);
    try {
        push(*processor, input[2]);
        FAIL() << "expected the injected fault";
    } catch (const std::runtime_error &error) {
        EXPECT_STREQ(error.what(), "injected fault: process_frame call 3");
    }
    EXPECT_EQ(push(*processor, input[3]), input[1]) << "the failed call changed nothing";
    EXPECT_NE(read_text(dir_.log_file()).find("ERROR processor"), std::string::npos);
}

TEST_F(Callbacks, PipelineDropPassesAudioThroughUntilItIsBack) {
    // The in-process pipeline: exact timing; the stream's drops are tested
    // with the stream.
    ScopedEnv cloud("KOLTA_ENGINE_CLOUD", std::string("simulated"));
    ScopedEnv faults("KOLTA_ENGINE_FAULTS",
                     "pipeline_drop_on_frame=3,connect_delay_ms=60");
    auto processor = make_cloud("denoise");
    std::vector<std::vector<float>> in;
    for (std::uint32_t k = 0; k < 8; ++k) {
        in.push_back(white_noise(0.05, 320, 100 + k));
    }
    for (int k = 0; k < 3; ++k) {
        push(*processor, in[k]); // call 3 drops the pipeline
    }
    EXPECT_EQ(push(*processor, in[3]), in[2]) << "call 3 passed through unprocessed";
    ASSERT_TRUE(recorder_->wait_for_states(5, 2000ms));
    EXPECT_EQ(
        recorder_->states(),
        (std::vector<PipelineState>{kTrying, kRunning, kNotRunning, kTrying, kRunning}));
    push(*processor, in[4]);
    EXPECT_NE(push(*processor, in[5]), in[4]) << "denoised again once RUNNING";
    processor.reset();
    EXPECT_EQ(recorder_->states().back(), kNotRunning);
}

TEST_F(Callbacks, BadStateAndStateFloodFollowRunning) {
    ScopedEnv faults("KOLTA_ENGINE_FAULTS", "bad_state=7, state_flood=500");
    auto processor = make_cloud();
    processor.reset();
    const auto states = recorder_->states();
    ASSERT_EQ(states.size(), 504u);
    EXPECT_EQ(states[0], kTrying);
    EXPECT_EQ(states[1], kRunning);
    EXPECT_EQ(static_cast<int>(states[2]), 7);
    for (std::size_t i = 3; i < 503; ++i) {
        ASSERT_EQ(states[i], kRunning) << i;
    }
    EXPECT_EQ(states[503], kNotRunning);
}

TEST_F(Callbacks, TranscriptFloodAndThreads) {
    ScopedEnv faults("KOLTA_ENGINE_FAULTS", "transcript_flood=30,transcript_threads=3");
    auto processor = make_lt(true);
    processor.reset();
    const auto texts = recorder_->texts();
    ASSERT_EQ(texts.size(), 30u + 3u * 10u);
    std::vector<int> seen(30, 0);
    for (const auto &t : texts) {
        EXPECT_EQ(t.type_, TranscriptType::kTranscription);
        ASSERT_EQ(t.transcript_data_.complete.size(), 1u);
        EXPECT_EQ(t.transcript_data_.language_code_, "en-US");
        ASSERT_LT(t.transcript_data_.utterance_idx, 30u);
        ++seen[t.transcript_data_.utterance_idx];
    }
    for (std::size_t i = 0; i < 30; ++i) {
        EXPECT_EQ(seen[i], i < 10 ? 4 : 1) << i;
    }
    EXPECT_EQ(recorder_->distinct_text_threads(), 4u)
        << "output thread + 3 extra threads";
}

TEST_F(Callbacks, DelaySwitchesAndBadSwitches) {
    {
        ScopedEnv faults("KOLTA_ENGINE_FAULTS", "connect_delay_ms=150");
        const auto start = std::chrono::steady_clock::now();
        make_cloud();
        EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    }
    {
        ScopedEnv faults("KOLTA_ENGINE_FAULTS", "slow_frame_ms=120");
        auto processor = make_cloud();
        const auto start = std::chrono::steady_clock::now();
        push(*processor, silence(320));
        EXPECT_GE(std::chrono::steady_clock::now() - start, 120ms) << "process_frame";
        const auto teardown = std::chrono::steady_clock::now();
        processor.reset();
        EXPECT_GE(std::chrono::steady_clock::now() - teardown, 120ms) << "teardown";
    }
    for (const char *bad :
         {"explode=1", "throw_on_frame", "throw_on_frame=-1", "connect_delay_ms=20000",
          "bad_state=x", "slow_frame_ms=", "slow_frame_ms=10001"}) {
        ScopedEnv faults("KOLTA_ENGINE_FAULTS", bad);
        const std::string key = std::string(bad).substr(0, std::string(bad).find('='));
        try {
            make_cloud();
            ADD_FAILURE() << bad;
        } catch (const std::invalid_argument &error) {
            EXPECT_NE(std::string(error.what()).find(key), std::string::npos)
                << error.what();
        }
    }
}

} // namespace
