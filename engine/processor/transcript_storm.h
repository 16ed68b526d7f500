#pragma once

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "processor/output_thread.h"

namespace kolta::engine {

// The transcript_threads switch: extra threads that each deliver
// kTranscriptsPerThread synthetic transcripts at once, concurrently with the
// output thread, to exercise concurrent delivery.
class TranscriptStorm {
public:
    static constexpr unsigned kTranscriptsPerThread = 10;

    TranscriptStorm(unsigned threads, CallbackSet callbacks, const std::string &language,
                    ErrorReporter report_error);
    // Joins the threads (detaching the calling one, if it is one of them); in
    // a child of fork() abandons them, as they stayed in the parent.
    ~TranscriptStorm();

    TranscriptStorm(const TranscriptStorm &) = delete;
    TranscriptStorm &operator=(const TranscriptStorm &) = delete;

private:
    const std::uint64_t generation_;
    std::vector<std::thread> threads_;
};

} // namespace kolta::engine
