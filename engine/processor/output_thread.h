#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <variant>

#include <kolta/audio_types.h>

namespace kolta::engine {

// The processor's copies of the caller's callbacks; either may be empty.
struct ProcessorCallbacks {
    std::function<void(PipelineState)> on_state;
    std::function<void(TextFrame &&)> on_text;
};

using CallbackSet = std::shared_ptr<const ProcessorCallbacks>;
using ErrorReporter = std::function<void(const std::string &)>;

// `count` RUNNING states delivered back to back.
struct StateFlood {
    std::uint64_t count = 0;
};
// `count` synthetic transcripts delivered back to back.
struct TranscriptFlood {
    std::uint64_t count = 0;
    std::string language;
};
// The pipeline comes back (RUNNING) at `due`, unless the thread is stopping.
struct Reconnect {
    std::chrono::steady_clock::time_point due;
};

using OutputEvent =
    std::variant<PipelineState, TextFrame, StateFlood, TranscriptFlood, Reconnect>;

// One thread delivering a processor's events to its callbacks, in order.
// Callbacks run without any engine lock held, so they may block, call into
// the processor or even destroy it.
class OutputThread {
public:
    OutputThread(CallbackSet callbacks, ErrorReporter report_error);
    ~OutputThread();

    OutputThread(const OutputThread &) = delete;
    OutputThread &operator=(const OutputThread &) = delete;

    void post(OutputEvent event);

    // Lets the thread deliver everything posted so far, then stops it. Joins
    // it, or detaches it when called from a callback on the thread itself.
    // In a child of fork() the thread is not there: it is abandoned and the
    // callbacks are released at once, with nothing delivered.
    void finish();

    // True in a child of fork() for a thread started before the fork: its
    // thread stayed in the parent, and the queue's lock may have been copied
    // while that thread held it.
    bool inherited() const;

private:
    struct Shared;
    static void run(std::shared_ptr<Shared> shared);

    std::shared_ptr<Shared> shared_;
    const std::uint64_t generation_;
    std::thread thread_;
};

// Calls a callback, reporting instead of propagating whatever it throws.
template <typename Callback, typename... Args>
void call_guarded(const Callback &callback, const ErrorReporter &report_error,
                  Args &&...args) {
    if (!callback) {
        return;
    }
    try {
        callback(std::forward<Args>(args)...);
    } catch (const std::exception &error) {
        report_error(std::string("callback threw an exception (ignored): ") +
                     error.what());
    } catch (...) {
        report_error("callback threw an exception (ignored)");
    }
}

} // namespace kolta::engine
