#include "stream_transcripts.h"

#include <kolta_common/json.h>

#include "base/engine_options.h"
#include "base/model_names.h"
#include "producer_retirement.h"
#include "service_log.h"
#include "speech/transcript_producer_factory.h"
#include "stream_protocol.h"

namespace kolta::server {

namespace {

const char *type_name(TranscriptType type) {
    return type == TranscriptType::kTranslation ? "translation" : "transcription";
}

void add_messages(const TextFrame &frame, const std::vector<TranscriptSegment> &segments,
                  bool final, std::vector<std::string> &messages) {
    const TranscriptData &data = frame.transcript_data_;
    for (const TranscriptSegment &segment : segments) {
        kolta_common::JsonWriter message;
        message.string("event", "transcript")
            .string("type", type_name(frame.type_))
            .number("utterance", data.utterance_idx)
            .string("language", data.language_code_)
            .boolean("final", final)
            .string("start", segment.start)
            .string("end", segment.end)
            .decimal("probability", segment.probability, 3)
            .string("text", segment.text);
        messages.push_back(message.finish());
    }
}

} // namespace

bool wants_transcripts(const StreamConfig &config) {
    return config.transcripts && engine::produces_text(config.model);
}

std::vector<std::string> transcript_messages(const TextFrame &frame) {
    std::vector<std::string> messages;
    add_messages(frame, frame.transcript_data_.partial, false, messages);
    add_messages(frame, frame.transcript_data_.complete, true, messages);
    return messages;
}

StreamTranscripts::StreamTranscripts(const StreamConfig &config, Send send,
                                     std::shared_ptr<ServiceLog> log)
    : gate_(std::make_shared<Gate>()) {
    gate_->send = std::move(send);
    engine::TranscriptSetup setup;
    setup.rate = config.rate;
    setup.channels = config.channels;
    setup.language_in = config.language_in;
    setup.language_out = config.language_out;
    setup.source = stream_engine_options().transcripts;
    setup.sink = [gate = gate_](TextFrame &&frame) {
        const std::vector<std::string> messages = transcript_messages(frame);
        std::lock_guard<std::mutex> lock(gate->mutex);
        if (gate->send) {
            for (const std::string &message : messages) {
                gate->send(message);
            }
        }
    };
    setup.warn = [log](const std::string &message) { log->warn(message); };
    setup.report_error = [log](const std::string &message) {
        log->error("stream transcripts: " + message);
    };
    producer_ = engine::make_transcript_producer(std::move(setup));
}

StreamTranscripts::~StreamTranscripts() {
    {
        std::lock_guard<std::mutex> lock(gate_->mutex);
        gate_->send = nullptr;
    }
    producer_->abandon();
    retire_in_background(std::move(producer_));
}

void StreamTranscripts::observe(const float *block, std::size_t frames) {
    producer_->observe(block, frames, true);
}

} // namespace kolta::server
