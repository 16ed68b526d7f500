#include "processor/output_thread.h"

#include <condition_variable>
#include <deque>
#include <mutex>

#include "base/fork_state.h"
#include "speech/transcript_text.h"

namespace kolta::engine {

// Owned jointly by the OutputThread and its thread, so a detached thread
// never touches the (possibly freed) processor.
struct OutputThread::Shared {
    CallbackSet callbacks;
    ErrorReporter report_error;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<OutputEvent> queue;
    bool stopping = false;
};

namespace {

struct Deliver {
    const ProcessorCallbacks &callbacks;
    const ErrorReporter &report_error;

    void operator()(PipelineState state) const {
        call_guarded(callbacks.on_state, report_error, state);
    }
    void operator()(TextFrame &frame) const {
        call_guarded(callbacks.on_text, report_error, std::move(frame));
    }
    void operator()(const StateFlood &flood) const {
        for (std::uint64_t i = 0; i < flood.count && callbacks.on_state; ++i) {
            call_guarded(callbacks.on_state, report_error, PipelineState::kRunning);
        }
    }
    void operator()(const TranscriptFlood &flood) const {
        for (std::uint64_t i = 0; i < flood.count && callbacks.on_text; ++i) {
            call_guarded(callbacks.on_text, report_error,
                         make_synthetic_transcript(static_cast<std::uint32_t>(i),
                                                   flood.count, flood.language));
        }
    }
    void operator()(const Reconnect &) const {
        call_guarded(callbacks.on_state, report_error, PipelineState::kRunning);
    }
};

} // namespace

OutputThread::OutputThread(CallbackSet callbacks, ErrorReporter report_error)
    : shared_(std::make_shared<Shared>()), generation_(fork_generation()) {
    shared_->callbacks = std::move(callbacks);
    shared_->report_error = std::move(report_error);
    thread_ = std::thread(&OutputThread::run, shared_);
}

OutputThread::~OutputThread() {
    finish();
}

void OutputThread::post(OutputEvent event) {
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->queue.push_back(std::move(event));
    }
    shared_->wake.notify_all();
}

bool OutputThread::inherited() const {
    return fork_generation() != generation_;
}

void OutputThread::finish() {
    if (inherited()) {
        // Nothing in this process runs the callbacks any more: free them here.
        shared_->callbacks.reset();
        if (thread_.joinable()) {
            abandon_inherited_thread(thread_, shared_);
        }
        return;
    }
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->wake.notify_all();
    if (!thread_.joinable()) {
        return;
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void OutputThread::run(std::shared_ptr<Shared> shared) {
    const Deliver deliver{*shared->callbacks, shared->report_error};
    std::unique_lock<std::mutex> lock(shared->mutex);
    while (true) {
        shared->wake.wait(lock,
                          [&] { return !shared->queue.empty() || shared->stopping; });
        if (shared->queue.empty()) {
            return; // stopping, and everything has been delivered
        }
        OutputEvent event = std::move(shared->queue.front());
        shared->queue.pop_front();
        if (const auto *reconnect = std::get_if<Reconnect>(&event)) {
            const bool stopped = shared->wake.wait_until(
                lock, reconnect->due, [&] { return shared->stopping; });
            if (stopped) {
                continue; // torn down while reconnecting: RUNNING never comes
            }
        }
        lock.unlock();
        std::visit(deliver, event);
        lock.lock();
    }
}

} // namespace kolta::engine
