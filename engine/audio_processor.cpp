#include "audio_processor.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

namespace kolta::engine {

namespace {

constexpr std::chrono::milliseconds kDefaultConnectDelay{20};

CallbackSet make_callbacks(ProcessorSetup &setup) {
    auto callbacks = std::make_shared<ProcessorCallbacks>();
    callbacks->on_state = std::move(setup.on_state);
    if (setup.lt_config) {
        callbacks->on_text = std::move(setup.lt_config->callback);
    }
    return callbacks;
}

ErrorReporter make_reporter(const std::shared_ptr<Logger> &logger, std::uint64_t id) {
    return [logger, id](const std::string &message) {
        logger->error("processor " + std::to_string(id) + ": " + message);
    };
}

} // namespace

AudioProcessor::AudioProcessor(ProcessorSetup setup)
    : id_(setup.id), format_(setup.format), choice_(setup.choice), cloud_(setup.cloud),
      faults_(setup.faults), logger_(setup.logger),
      connect_delay_(setup.faults.connect_delay.value_or(kDefaultConnectDelay)),
      language_in_(setup.lt_config ? setup.lt_config->language_in : std::string()),
      callbacks_(make_callbacks(setup)), output_(callbacks_, make_reporter(logger_, id_)),
      model_(
          make_block_model(setup.choice.model, setup.format, setup.options.suppressor)),
      stream_(setup.format.channels, setup.format.block_frames(),
              setup.format.latency_frames(),
              [this](float *block, std::size_t valid) { process_block(block, valid); }) {
    if (choice_.translation) {
        TranscriptSetup transcripts;
        transcripts.rate = format_.rate;
        transcripts.channels = format_.channels;
        transcripts.language_in = setup.lt_config->language_in;
        transcripts.language_out = setup.lt_config->language_out;
        transcripts.models_dir = setup.models_dir;
        transcripts.source = setup.options.transcripts;
        transcripts.sink = [this](TextFrame &&frame) { output_.post(std::move(frame)); };
        transcripts.logger = logger_;
        transcripts.report_error = make_reporter(logger_, id_);
        transcriber_ = make_transcript_producer(std::move(transcripts));
    }
    if (cloud_) {
        connect_pipeline();
    }
    if (setup.lt_config) {
        start_synthetic_transcripts();
    }
    logger_->info("processor created: " + label());
}

AudioProcessor::~AudioProcessor() {
    if (output_.inherited()) {
        // Destroyed in a child of fork(): the threads stayed in the parent and
        // this processor's locks may have been copied held, so nothing waits.
        output_.finish();
        logger_->info("processor destroyed: id=" + std::to_string(id_) +
                      " (created before fork; its threads were left to the parent)");
        return;
    }
    // A slow engine also takes its time to finish the block in hand.
    std::this_thread::sleep_for(faults_.slow_frame);
    storm_.reset();
    // The recogniser finishes what it was given and posts it before the
    // output thread delivers its last events.
    transcriber_.reset();
    if (cloud_) {
        output_.post(PipelineState::kNotRunning);
    }
    output_.finish();
    std::uint64_t calls = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        calls = calls_;
    }
    logger_->info("processor destroyed: id=" + std::to_string(id_) +
                  " calls=" + std::to_string(calls));
}

void AudioProcessor::connect_pipeline() {
    // Only the announcements go through the output thread; the connection is
    // simulated here so creation never waits on a callback.
    output_.post(PipelineState::kTrying);
    std::this_thread::sleep_for(connect_delay_);
    output_.post(PipelineState::kRunning);
    if (faults_.bad_state) {
        output_.post(static_cast<PipelineState>(*faults_.bad_state));
    }
    if (faults_.state_flood > 0) {
        output_.post(StateFlood{faults_.state_flood});
    }
}

void AudioProcessor::start_synthetic_transcripts() {
    if (faults_.transcript_flood > 0) {
        output_.post(TranscriptFlood{faults_.transcript_flood, language_in_});
    }
    if (faults_.transcript_threads > 0) {
        // The storm calls the same (const) callback copies as the output thread.
        storm_ =
            std::make_unique<TranscriptStorm>(faults_.transcript_threads, callbacks_,
                                              language_in_, make_reporter(logger_, id_));
    }
}

AudioFrame AudioProcessor::process_frame(const AudioFrame &frame) {
    if (output_.inherited()) {
        // Its lock may have been copied held and its output thread is gone:
        // fail at once instead of hanging or losing every callback.
        const std::string message =
            "processor " + std::to_string(id_) +
            " was created before fork(); create a new processor in this process";
        log_error(message);
        throw std::logic_error(message);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    std::this_thread::sleep_for(faults_.slow_frame);
    const std::uint64_t call = ++calls_;
    if (faults_.throw_on_frame == call) {
        const std::string message =
            "injected fault: process_frame call " + std::to_string(call);
        log_error(message);
        throw std::runtime_error(message);
    }
    if (cloud_ && faults_.pipeline_drop_on_frame == call) {
        drop_pipeline(call);
    }
    if (frame.frame_count % format_.channels != 0) {
        const std::string message = "frame_count " + std::to_string(frame.frame_count) +
                                    " is not a multiple of the channel count " +
                                    std::to_string(format_.channels);
        log_error(message);
        throw std::invalid_argument(message);
    }
    if (frame.samples == nullptr && frame.frame_count > 0) {
        const std::string message =
            "samples is null but frame_count is " + std::to_string(frame.frame_count);
        log_error(message);
        throw std::invalid_argument(message);
    }
    model_active_ = pipeline_running();
    if (frame.frame_count < format_.min_chunk_values()) {
        return AudioFrame{};
    }

    const std::size_t frames = frame.frame_count / format_.channels;
    const float *begin = frame.samples;
    const float *end = frame.samples + frame.frame_count;
    const bool drain = std::all_of(begin, end, [](float v) { return v == 0.0f; });
    std::vector<float> &out = outputs_[std::this_thread::get_id()];
    if (drain) {
        stream_.push_silence(frames, out);
        if (transcriber_) {
            transcriber_->finish_utterance();
        }
    } else {
        stream_.push_audio(begin, frames, out);
    }
    if (out.empty()) {
        return AudioFrame{};
    }
    return AudioFrame{out.data(), static_cast<std::uint32_t>(out.size())};
}

void AudioProcessor::drop_pipeline(std::uint64_t call) {
    const auto due = std::chrono::steady_clock::now() + connect_delay_;
    reconnect_at_ = due;
    output_.post(PipelineState::kNotRunning);
    output_.post(PipelineState::kTrying);
    output_.post(Reconnect{due});
    logger_->warn("processor " + std::to_string(id_) +
                  ": pipeline dropped (injected fault at process_frame call " +
                  std::to_string(call) + ")");
}

bool AudioProcessor::pipeline_running() {
    if (!reconnect_at_) {
        return true;
    }
    if (std::chrono::steady_clock::now() < *reconnect_at_) {
        return false;
    }
    reconnect_at_.reset();
    logger_->info("processor " + std::to_string(id_) + ": pipeline running again");
    return true;
}

void AudioProcessor::process_block(float *block, std::size_t valid) {
    if (model_active_) {
        model_->process(block, format_.block_frames());
    }
    if (transcriber_) {
        transcriber_->observe(block, valid, model_active_);
    }
}

void AudioProcessor::log_error(const std::string &message) {
    logger_->error("processor " + std::to_string(id_) + ": " + message);
}

std::string AudioProcessor::label() const {
    return "id=" + std::to_string(id_) + " model=" + choice_.model +
           " rate=" + std::to_string(format_.rate) +
           " channels=" + std::to_string(format_.channels) +
           " inference=" + (cloud_ ? "cloud" : "local") +
           " lt=" + (choice_.translation ? "on" : "off");
}

} // namespace kolta::engine
