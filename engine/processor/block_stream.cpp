#include "processor/block_stream.h"

#include <algorithm>
#include <stdexcept>

namespace kolta::engine {

BlockStream::BlockStream(std::size_t channels, std::size_t block_frames,
                         std::size_t latency_frames, std::size_t delay_frames,
                         BlockFn process)
    : channels_(channels), block_frames_(block_frames), latency_frames_(latency_frames),
      process_(std::move(process)), block_(channels * block_frames, 0.0f),
      lead_(delay_frames) {
    if (channels == 0 || block_frames == 0 || latency_frames < block_frames) {
        throw std::logic_error("latency must cover at least one block");
    }
    if (delay_frames > latency_frames) {
        throw std::logic_error("the model's delay must fit in the latency");
    }
}

// A deferred stream releases as answers come, so the delay is not bound by
// the latency.
BlockStream::BlockStream(std::size_t channels, std::size_t block_frames,
                         std::size_t latency_frames, std::size_t delay_frames,
                         BlockFn process, SettleFn settle)
    : BlockStream(channels, block_frames, latency_frames, 0, std::move(process)) {
    lead_ = delay_frames;
    deferred_ = true;
    settle_ = std::move(settle);
}

void BlockStream::push_audio(const float *values, std::size_t frames, bool processed,
                             std::vector<float> &out) {
    out.clear();
    const Source source = processed ? Source::kModel : Source::kInput;
    frames_in_ += held_silence_ + frames;
    held_silence_ = 0;
    feed(nullptr, static_cast<std::size_t>(silence_not_fed_), source);
    silence_not_fed_ = 0;
    feed(values, frames, source);
    const std::uint64_t latency = deferred_ ? 0 : latency_frames_;
    const std::uint64_t due = frames_in_ > latency ? frames_in_ - latency : 0;
    if (due > frames_out_) {
        release(static_cast<std::size_t>(
                    std::min<std::uint64_t>(due - frames_out_, ready_frames())),
                out);
    }
}

void BlockStream::push_silence(std::size_t frames, bool processed,
                               std::vector<float> &out) {
    out.clear();
    held_silence_ += frames;
    silence_not_fed_ += frames;
    const Source source = processed ? Source::kModel : Source::kInput;
    while (ready_frames() + promised_frames_ < unreleased_frames()) {
        const std::size_t room = block_frames_ - block_fill_;
        if (silence_not_fed_ > 0) {
            const auto take =
                static_cast<std::size_t>(std::min<std::uint64_t>(silence_not_fed_, room));
            silence_not_fed_ -= take;
            feed(nullptr, take, source);
        } else {
            feed(nullptr, room, Source::kPadding);
        }
    }
    // A deferred stream's tail is as long as the answers are late: it all
    // comes out at once, so one drain ends the stream however far behind.
    if (deferred_ && settle_) {
        settle_();
    }
    const std::uint64_t most = deferred_ ? unreleased_frames() : frames;
    release(static_cast<std::size_t>(std::min<std::uint64_t>(
                std::min<std::uint64_t>(most, unreleased_frames()), ready_frames())),
            out);
}

void BlockStream::feed(const float *values, std::size_t frames, Source source) {
    while (frames > 0) {
        const std::size_t take = std::min(frames, block_frames_ - block_fill_);
        float *dest = block_.data() + block_fill_ * channels_;
        float *dest_end = dest + take * channels_;
        if (values != nullptr) {
            std::copy(values, values + take * channels_, dest);
            values += take * channels_;
        } else {
            std::fill(dest, dest_end, 0.0f);
        }
        if (source == Source::kInput || (deferred_ && source == Source::kModel)) {
            unprocessed_.insert(unprocessed_.end(), dest, dest_end);
        }
        note_input(source, take);
        block_fill_ += take;
        frames -= take;
        if (block_fill_ == block_frames_) {
            // Padding only ever completes a block, so the stream frames
            // come first.
            process_block(block_frames_ - (source == Source::kPadding ? take : 0));
        }
    }
}

void BlockStream::note_input(Source source, std::size_t frames) {
    if (!awaiting_.empty() && awaiting_.back().source == source) {
        awaiting_.back().frames += frames;
    } else {
        awaiting_.push_back(Run{source, frames});
    }
}

void BlockStream::process_block(std::size_t valid) {
    process_(block_.data(), valid);
    Plan plan = plan_outputs();
    if (deferred_) {
        promised_frames_ += plan.frames;
        pending_.push_back(std::move(plan));
    } else {
        apply(plan, block_.data());
    }
    block_fill_ = 0;
}

void BlockStream::complete_block(const float *output) {
    if (pending_.empty()) {
        throw std::logic_error("no block is pending");
    }
    const Plan plan = std::move(pending_.front());
    pending_.pop_front();
    promised_frames_ -= plan.frames;
    apply(plan, output);
}

// The block's output belongs to the frames given to the model delay_frames
// earlier: the oldest awaiting ones, once the lead is used up.
BlockStream::Plan BlockStream::plan_outputs() {
    Plan plan;
    std::size_t at = std::min(lead_, block_frames_);
    lead_ -= at;
    plan.skip = at;
    while (at < block_frames_) {
        if (awaiting_.empty()) {
            throw std::logic_error("model output without input");
        }
        Run &run = awaiting_.front();
        const std::size_t take = std::min(run.frames, block_frames_ - at);
        plan.runs.push_back(Run{run.source, take});
        if (run.source != Source::kPadding) {
            plan.frames += take;
        }
        run.frames -= take;
        if (run.frames == 0) {
            awaiting_.pop_front();
        }
        at += take;
    }
    return plan;
}

void BlockStream::apply(const Plan &plan, const float *output) {
    std::size_t at = plan.skip;
    for (const Run &run : plan.runs) {
        const auto values = static_cast<std::ptrdiff_t>(run.frames * channels_);
        const bool kept =
            run.source == Source::kInput || (deferred_ && run.source == Source::kModel);
        if (run.source == Source::kModel && output != nullptr) {
            const float *from = output + at * channels_;
            ready_.insert(ready_.end(), from, from + values);
        } else if (kept) {
            ready_.insert(ready_.end(), unprocessed_.begin(),
                          unprocessed_.begin() + values);
        }
        if (kept) {
            unprocessed_.erase(unprocessed_.begin(), unprocessed_.begin() + values);
        }
        at += run.frames;
    }
}

void BlockStream::release(std::size_t frames, std::vector<float> &out) {
    const auto count = static_cast<std::ptrdiff_t>(frames * channels_);
    out.assign(ready_.begin(), ready_.begin() + count);
    ready_.erase(ready_.begin(), ready_.begin() + count);
    frames_out_ += frames;
}

} // namespace kolta::engine
