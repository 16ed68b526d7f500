#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <kolta/transcript_types.h>

#include "base/engine_options.h"
#include "speech/transcript_producer.h"

namespace kolta::engine {

struct TranscriptSetup {
    std::uint32_t rate = 16000;
    std::size_t channels = 1;
    std::string language_in;
    std::string language_out;
    std::string models_dir; // empty: Debian's model path
    TranscriptSource source = TranscriptSource::kRecogniser;
    std::function<void(TextFrame &&)> sink;
    std::function<void(const std::string &)> warn; // a reason for a fallback
    std::function<void(const std::string &)> report_error;
};

// The recogniser with the translator when both are installed (transcripts
// only for a pair the translator does not support); otherwise, or when asked
// for, the placeholder transcriber. Each reason for a fallback is logged
// once per process.
std::unique_ptr<TranscriptProducer> make_transcript_producer(TranscriptSetup setup);

} // namespace kolta::engine
