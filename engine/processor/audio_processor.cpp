#include "processor/audio_processor.h"

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "base/fork_state.h"
#include "base/logger.h"
#include "base/stream_codec.h"
#include "denoise/block_model_factory.h"
#include "processor/transcript_storm.h"
#include "speech/transcript_producer_factory.h"

namespace kolta::engine {

namespace {

constexpr std::chrono::milliseconds kDefaultConnectDelay{20};
// How long creation waits for the service to accept a stream, and a drain
// for the blocks still out.
constexpr std::chrono::milliseconds kConnectDeadline{5000};
constexpr std::chrono::milliseconds kDrainDeadline{2000};
// Blocks given again to a new connection beyond those its delay needs.
constexpr std::size_t kSettlingBlocks = 2;
// Audio sent faster than the service answers (a file, not a microphone)
// waits once this much is out, so memory stays bounded; a real-time
// stream never has this much out.
constexpr std::size_t kMaxBlocksInFlight = 200;

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
      audio_from_service_(setup.streaming && model_changes_audio(setup.choice.model)),
      stream_delay_(stream_delay_frames(setup)),
      cloud_blocks_(setup.streaming ? make_cloud_blocks(setup) : nullptr),
      stream_(make_stream(setup)) {
    if (choice_.translation) {
        TranscriptSetup transcripts;
        transcripts.rate = format_.rate;
        transcripts.channels = format_.channels;
        transcripts.language_in = setup.lt_config->language_in;
        transcripts.language_out = setup.lt_config->language_out;
        transcripts.models_dir = setup.models_dir;
        transcripts.source = setup.options.transcripts;
        transcripts.sink = [this](TextFrame &&frame) { output_.post(std::move(frame)); };
        transcripts.warn = [logger = logger_](const std::string &message) {
            logger->warn(message);
        };
        transcripts.report_error = make_reporter(logger_, id_);
        transcriber_ = make_transcript_producer(std::move(transcripts));
    }
    if (cloud_blocks_) {
        connect_stream(setup);
    } else if (cloud_) {
        simulate_connection();
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
        // The stream's condition variables may have had waiters in the
        // parent: destroying their copies here would wait for them forever.
        std::thread none;
        abandon_inherited_thread(none, std::shared_ptr<void>(std::move(cloud_blocks_)));
        logger_->info("processor destroyed: id=" + std::to_string(id_) +
                      " (created before fork; its threads were left to the parent)");
        return;
    }
    // A slow engine also takes its time to finish the block in hand.
    std::this_thread::sleep_for(faults_.slow_frame);
    storm_.reset();
    // The recogniser finishes what it was given and posts it before the
    // output thread delivers its last events.
    cloud_blocks_.reset();
    transcriber_.reset();
    // A stream that ended before is not announced as ending twice.
    if (cloud_ && !stream_down_) {
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

// The service runs the same model; its answers also lag by the codec's
// delay, once on the way there and once on the way back.
std::size_t AudioProcessor::stream_delay_frames(const ProcessorSetup &setup) const {
    const std::size_t codec_delay =
        setup.stream ? round_trip_codec_delay(setup.stream->codec, setup.format) : 0;
    return model_->delay_frames() + codec_delay;
}

std::unique_ptr<CloudBlocks>
AudioProcessor::make_cloud_blocks(const ProcessorSetup &setup) {
    const std::size_t block_values = setup.format.block_frames() * setup.format.channels;
    if (!audio_from_service_) {
        return std::make_unique<CloudBlocks>(block_values, CloudBlocks::Complete{});
    }
    return std::make_unique<CloudBlocks>(
        block_values, [this](const float *output) { stream_.complete_block(output); });
}

BlockStream AudioProcessor::make_stream(const ProcessorSetup &setup) {
    const StreamFormat &format = setup.format;
    auto process = [this](float *block, std::size_t valid) {
        process_block(block, valid);
    };
    if (!audio_from_service_) {
        return BlockStream(format.channels, format.block_frames(),
                           format.latency_frames(), model_->delay_frames(), process);
    }
    return BlockStream(format.channels, format.block_frames(), format.latency_frames(),
                       stream_delay_, process, [this] { settle_cloud_blocks(); });
}

// Only the announcements go through the output thread, so creation never
// waits on a callback.
void AudioProcessor::simulate_connection() {
    output_.post(PipelineState::kTrying);
    std::this_thread::sleep_for(connect_delay_);
    announce_running();
}

void AudioProcessor::connect_stream(ProcessorSetup &setup) {
    if (setup.faults.connect_delay) {
        std::this_thread::sleep_for(*setup.faults.connect_delay);
    }
    if (!setup.stream) {
        output_.post(PipelineState::kTrying);
        logger_->warn("processor " + std::to_string(id_) +
                      ": pipeline not running: no service signed in to");
        output_.post(PipelineState::kNotRunning);
        stream_down_ = true;
        return;
    }
    CloudBlocks::Hooks hooks;
    hooks.trying = [this, attempt = std::make_shared<std::uint64_t>(0)] {
        stream_down_ = false;
        output_.post(PipelineState::kTrying);
        if (++*attempt > 1) {
            logger_->info("processor " + std::to_string(id_) +
                          ": pipeline connecting again (attempt " +
                          std::to_string(*attempt) + ")");
        }
    };
    hooks.running = [this, first = std::make_shared<bool>(true)] {
        if (*first) {
            *first = false;
            announce_running();
        } else {
            output_.post(PipelineState::kRunning);
            logger_->info("processor " + std::to_string(id_) +
                          ": pipeline running again");
        }
    };
    hooks.dropped = [this](const std::string &why) {
        stream_down_ = true;
        output_.post(PipelineState::kNotRunning);
        logger_->warn("processor " + std::to_string(id_) + ": pipeline dropped: " + why);
    };
    // Enough of the stream's past for the service's answers to be whole
    // again after a reconnect, and a little for the models to settle.
    const std::size_t block_frames = format_.block_frames();
    const std::size_t replayed =
        (stream_delay_ + block_frames - 1) / block_frames + kSettlingBlocks;
    if (!cloud_blocks_->open(std::move(*setup.stream), std::move(hooks), kConnectDeadline,
                             replayed)) {
        logger_->warn("processor " + std::to_string(id_) +
                      ": pipeline not running after connecting");
    }
}

void AudioProcessor::announce_running() {
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
    refuse_if_inherited();
    std::lock_guard<std::mutex> lock(mutex_);
    std::this_thread::sleep_for(faults_.slow_frame);
    inject_frame_faults(++calls_);
    check_frame(frame);
    model_active_ = pipeline_running();
    if (frame.frame_count < format_.min_chunk_values()) {
        return AudioFrame{};
    }
    return push(frame);
}

void AudioProcessor::refuse_if_inherited() {
    if (output_.inherited()) {
        // Its lock may have been copied held and its output thread is gone:
        // fail at once instead of hanging or losing every callback.
        const std::string message =
            "processor " + std::to_string(id_) +
            " was created before fork(); create a new processor in this process";
        log_error(message);
        throw std::logic_error(message);
    }
}

void AudioProcessor::inject_frame_faults(std::uint64_t call) {
    if (faults_.throw_on_frame == call) {
        const std::string message =
            "injected fault: process_frame call " + std::to_string(call);
        log_error(message);
        throw std::runtime_error(message);
    }
    if (cloud_ && faults_.pipeline_drop_on_frame == call) {
        if (cloud_blocks_) {
            // The real connection drops; the stream connects again itself.
            cloud_blocks_->cut("injected fault at process_frame call " +
                               std::to_string(call));
        } else {
            drop_pipeline(call);
        }
    }
}

void AudioProcessor::check_frame(const AudioFrame &frame) {
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
}

// A chunk of zeros drains the stream: the held-back tail comes out and the
// running utterance ends.
AudioFrame AudioProcessor::push(const AudioFrame &frame) {
    const std::size_t frames = frame.frame_count / format_.channels;
    const float *begin = frame.samples;
    const float *end = frame.samples + frame.frame_count;
    const bool drain = std::all_of(begin, end, [](float v) { return v == 0.0f; });
    std::vector<float> &out = outputs_[std::this_thread::get_id()];
    if (cloud_blocks_) {
        cloud_blocks_->collect();
        if (cloud_blocks_->in_flight() > kMaxBlocksInFlight) {
            report_given_up(cloud_blocks_->settle(kMaxBlocksInFlight / 2, kDrainDeadline),
                            "in flight");
        }
    }
    if (drain) {
        stream_.push_silence(frames, model_active_, out);
        if (transcriber_) {
            transcriber_->finish_utterance();
        }
    } else {
        stream_.push_audio(begin, frames, model_active_, out);
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

// The model runs even while the pipeline is down (the stream passes that audio
// through unprocessed): its delay line stays filled, so the frames on either
// side of the drop come out whole and in their place.
void AudioProcessor::process_block(float *block, std::size_t valid) {
    if (audio_from_service_) {
        cloud_blocks_->send(block);
        return;
    }
    if (cloud_blocks_) {
        cloud_blocks_->send_only(block);
    }
    model_->process(block, format_.block_frames());
    if (transcriber_ && valid > 0) {
        transcriber_->observe(block, valid, model_active_);
    }
}

void AudioProcessor::settle_cloud_blocks() {
    report_given_up(cloud_blocks_->settle(0, kDrainDeadline), "drain");
}

void AudioProcessor::report_given_up(std::size_t blocks, const char *when) {
    if (blocks > 0) {
        logger_->warn("processor " + std::to_string(id_) + ": " + when + ": " +
                      std::to_string(blocks) + " blocks not back within " +
                      std::to_string(kDrainDeadline.count()) +
                      " ms of the last answer, returned unprocessed");
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
