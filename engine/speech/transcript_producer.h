#pragma once

#include <cstddef>

namespace kolta::engine {

// Turns a processor's stream into transcripts; fed every processed block on
// the process_frame path.
class TranscriptProducer {
public:
    virtual ~TranscriptProducer() = default;
    // `analysed` false: the block's audio is unknown and counts as silence.
    virtual void observe(const float *block, std::size_t frames, bool analysed) = 0;
    // Ends a running utterance (the stream was drained).
    virtual void finish_utterance() = 0;
    // Nobody waits for its transcripts any more: audio not yet recognised is
    // dropped and nothing more is delivered, so destruction comes soon.
    virtual void abandon() {}
};

} // namespace kolta::engine
