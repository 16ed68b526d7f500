#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <kolta/kolta_sdk.h>

#include "audio_format.h"
#include "block_model.h"
#include "block_stream.h"
#include "engine_options.h"
#include "faults.h"
#include "logger.h"
#include "model_selection.h"
#include "output_thread.h"
#include "transcript_producer.h"
#include "transcript_storm.h"

namespace kolta::engine {

// Everything a processor keeps from its creation; it never refers back to
// the SDK object.
struct ProcessorSetup {
    std::uint64_t id = 0;
    StreamFormat format;
    ModelChoice choice;
    bool cloud = true;
    std::optional<LanguageTranslationConfig> lt_config;
    std::function<void(PipelineState)> on_state;
    FaultSwitches faults;
    EngineOptions options;
    std::string models_dir;
    std::shared_ptr<Logger> logger;
};

class AudioProcessor final : public IAudioProcessor {
public:
    // On the cloud path, blocks until the simulated pipeline is RUNNING.
    explicit AudioProcessor(ProcessorSetup setup);
    ~AudioProcessor() override;

    AudioFrame process_frame(const AudioFrame &frame) override;

private:
    void connect_pipeline();
    void start_synthetic_transcripts();
    void drop_pipeline(std::uint64_t call);
    bool pipeline_running();
    void process_block(float *block, std::size_t valid);
    void log_error(const std::string &message);
    std::string label() const;

    const std::uint64_t id_;
    const StreamFormat format_;
    const ModelChoice choice_;
    const bool cloud_;
    const FaultSwitches faults_;
    const std::shared_ptr<Logger> logger_;
    const std::chrono::milliseconds connect_delay_;
    std::string language_in_;

    const CallbackSet callbacks_;
    OutputThread output_;
    std::unique_ptr<TranscriptStorm> storm_;

    std::mutex mutex_; // serialises process_frame
    std::unique_ptr<BlockModel> model_;
    std::unique_ptr<TranscriptProducer> transcriber_;
    BlockStream stream_;
    // One result buffer per calling thread, so concurrent callers never see
    // each other's results overwritten.
    std::unordered_map<std::thread::id, std::vector<float>> outputs_;
    std::uint64_t calls_ = 0;
    bool model_active_ = true;
    std::optional<std::chrono::steady_clock::time_point> reconnect_at_;
};

} // namespace kolta::engine
