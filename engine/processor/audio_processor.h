#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include <kolta/kolta_sdk.h>

#include "processor/block_stream.h"
#include "processor/cloud_blocks.h"
#include "processor/output_thread.h"
#include "processor/processor_setup.h"

namespace kolta::engine {

class BlockModel;
class TranscriptProducer;
class TranscriptStorm;

class AudioProcessor final : public IAudioProcessor {
public:
    // On the cloud path, waits (within a deadline) until the service accepts
    // the stream.
    explicit AudioProcessor(ProcessorSetup setup);
    ~AudioProcessor() override;

    AudioFrame process_frame(const AudioFrame &frame) override;

private:
    void refuse_if_inherited();
    void inject_frame_faults(std::uint64_t call);
    void check_frame(const AudioFrame &frame);
    AudioFrame push(const AudioFrame &frame);
    void simulate_connection();
    void connect_stream(ProcessorSetup &setup);
    void announce_running();
    std::unique_ptr<CloudBlocks> make_cloud_blocks(const ProcessorSetup &setup);
    BlockStream make_stream(const ProcessorSetup &setup);
    std::size_t stream_delay_frames(const ProcessorSetup &setup) const;
    void settle_cloud_blocks();
    void report_given_up(std::size_t blocks, const char *when);
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
    // On the cloud path, whether the audio returned is the service's (models
    // that change it) or the caller's own (the stream is then one-way).
    const bool audio_from_service_;
    // stream_delay_frames(), worked out once: it makes two encoders.
    const std::size_t stream_delay_;
    // The cloud path's blocks in flight (guarded by mutex_ like the stream).
    std::unique_ptr<CloudBlocks> cloud_blocks_;
    // The stream's last announcement was NOT_RUNNING (written by its threads).
    std::atomic<bool> stream_down_{false};
    BlockStream stream_;
    // One result buffer per calling thread, so concurrent callers never see
    // each other's results overwritten.
    std::unordered_map<std::thread::id, std::vector<float>> outputs_;
    std::uint64_t calls_ = 0;
    bool model_active_ = true;
    std::optional<std::chrono::steady_clock::time_point> reconnect_at_;
};

} // namespace kolta::engine
