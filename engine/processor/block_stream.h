#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace kolta::engine {

// Cuts an interleaved stream into fixed blocks, hands each block to a model
// and releases the processed stream a fixed latency behind the input, value
// for value aligned with it: the model's own delay (its output lags its input
// by delay_frames) is taken off the front and flushed out by a drain.
//
// After real audio, frames released in total == max(0, frames in - latency)
// as long as the model has produced them: with a model delay of more than
// one block plus one frame, a chunk that ends far into a block leaves up to
// delay - block - 1 frames for the next call.
// Silence (a drain) is held: it enters the stream just before the next real
// audio, so nothing is lost or repeated. It flushes the buffered tail: the
// model is given as much of the held silence as it needs to give back every
// real frame (that silence is the stream to come, so the model sees the same
// audio however the silence arrived), and zeros outside the stream only when
// the drain is too short for that. Their output is dropped.
class BlockStream {
public:
    // `block` holds block_frames interleaved frames, processed in place; only
    // the first `valid` are stream audio (the rest is padding fed by a drain).
    using BlockFn = std::function<void(float *block, std::size_t valid)>;

    // Called by a drain in a deferred stream before it releases: it must
    // complete every pending block (with its output, or unprocessed).
    using SettleFn = std::function<void()>;

    BlockStream(std::size_t channels, std::size_t block_frames,
                std::size_t latency_frames, std::size_t delay_frames, BlockFn process);
    // Deferred: `process` only hands the block on; its output comes back later
    // through complete_block, oldest first, and is released as it arrives (the
    // latency then varies, and the delay may exceed it). A block completed
    // without output passes its frames through unprocessed, in their place.
    BlockStream(std::size_t channels, std::size_t block_frames,
                std::size_t latency_frames, std::size_t delay_frames, BlockFn process,
                SettleFn settle);

    // `out` receives the released values (it is cleared first). `processed`
    // false: these frames come back unprocessed, in their place in the
    // stream (the model still sees them, so its delay stays the same).
    void push_audio(const float *values, std::size_t frames, bool processed,
                    std::vector<float> &out);
    void push_silence(std::size_t frames, bool processed, std::vector<float> &out);

    // Deferred streams: the oldest pending block's output (block_frames
    // interleaved frames), or nullptr for none.
    void complete_block(const float *output);
    std::size_t pending_blocks() const { return pending_.size(); }

private:
    // Where the output for a frame given to the model comes from.
    enum class Source : std::uint8_t { kModel, kInput, kPadding };
    struct Run {
        Source source;
        std::size_t frames;
    };

    // Where one block's output goes, after `skip` frames of lead.
    struct Plan {
        std::size_t skip = 0;
        std::vector<Run> runs;
        std::size_t frames = 0; // stream frames among them (padding not counted)
    };

    void feed(const float *values, std::size_t frames, Source source); // nullptr: zeros
    void note_input(Source source, std::size_t frames);
    std::uint64_t unreleased_frames() const { return frames_in_ - frames_out_; }
    void process_block(std::size_t valid);
    Plan plan_outputs();
    void apply(const Plan &plan, const float *output);
    std::size_t ready_frames() const { return ready_.size() / channels_; }
    void release(std::size_t frames, std::vector<float> &out);

    std::size_t channels_;
    std::size_t block_frames_;
    std::size_t latency_frames_;
    BlockFn process_;

    std::vector<float> block_;
    std::size_t block_fill_ = 0; // frames
    // Frames given to the model whose output has not come out yet, oldest
    // first, and the values of those to pass through unprocessed.
    std::deque<Run> awaiting_;
    std::deque<float> unprocessed_;
    std::size_t lead_; // model output frames still to drop: those before the stream
    // Aligned output not yet released: the stream's, then the held silence's.
    std::vector<float> ready_;
    std::uint64_t frames_in_ = 0; // the stream's, held silence not counted
    std::uint64_t frames_out_ = 0;
    std::uint64_t held_silence_ = 0;
    std::uint64_t silence_not_fed_ = 0; // the part of it the model has not seen
    // Deferred streams only: blocks handed on whose output has not come back,
    // and the stream frames they will give.
    bool deferred_ = false;
    SettleFn settle_;
    std::deque<Plan> pending_;
    std::uint64_t promised_frames_ = 0;
};

} // namespace kolta::engine
