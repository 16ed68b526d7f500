#pragma once

#include <memory>

namespace kolta::engine {
class TranscriptProducer;
}

namespace kolta::server {

// Destroys a transcript producer on one background thread of the process:
// its destructor waits for the recogniser's thread, which may be in the
// middle of a block or a translation. The thread is joined at exit, after
// every producer handed to it is gone.
void retire_in_background(std::unique_ptr<engine::TranscriptProducer> producer);

} // namespace kolta::server
