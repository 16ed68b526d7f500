#pragma once

#include <string>
#include <thread>
#include <vector>

#include "output_thread.h"

namespace kolta::engine {

// The transcript_threads switch: extra threads that each deliver
// kTranscriptsPerThread synthetic transcripts at once, concurrently with the
// output thread, to exercise concurrent delivery.
class TranscriptStorm {
public:
    static constexpr unsigned kTranscriptsPerThread = 10;

    TranscriptStorm(unsigned threads, CallbackSet callbacks, const std::string &language,
                    ErrorReporter report_error);
    // Joins the threads (detaching the calling one, if it is one of them).
    ~TranscriptStorm();

    TranscriptStorm(const TranscriptStorm &) = delete;
    TranscriptStorm &operator=(const TranscriptStorm &) = delete;

private:
    std::vector<std::thread> threads_;
};

} // namespace kolta::engine
