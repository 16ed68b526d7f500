#include "processor/transcript_storm.h"

#include "base/fork_state.h"
#include "speech/transcript_text.h"

namespace kolta::engine {

TranscriptStorm::TranscriptStorm(unsigned threads, CallbackSet callbacks,
                                 const std::string &language, ErrorReporter report_error)
    : generation_(fork_generation()) {
    threads_.reserve(threads);
    try {
        for (unsigned t = 0; t < threads; ++t) {
            // Each thread owns its copies, so a detached one outlives the storm.
            threads_.emplace_back([callbacks, language, report_error] {
                for (unsigned i = 0; i < kTranscriptsPerThread; ++i) {
                    call_guarded(
                        callbacks->on_text, report_error,
                        make_synthetic_transcript(i, kTranscriptsPerThread, language));
                }
            });
        }
    } catch (...) {
        for (auto &thread : threads_) {
            thread.join();
        }
        throw;
    }
}

TranscriptStorm::~TranscriptStorm() {
    const bool inherited = fork_generation() != generation_;
    for (auto &thread : threads_) {
        if (inherited) {
            abandon_inherited_thread(thread);
        } else if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else if (thread.joinable()) {
            thread.join();
        }
    }
}

} // namespace kolta::engine
