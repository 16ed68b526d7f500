#include "speech/transcript_producer_factory.h"

#include <mutex>
#include <set>

#include "speech/model_check.h"
#include "speech/placeholder_transcriber.h"
#include "speech/recogniser_model.h"
#include "speech/speech_transcriber.h"
#include "speech/translator.h"

namespace kolta::engine {

namespace {

void warn_once(const std::function<void(const std::string &)> &warn,
               const std::string &message) {
    static std::mutex mutex;
    static std::set<std::string> logged;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!logged.insert(message).second) {
            return;
        }
    }
    warn(message);
}

std::unique_ptr<TranscriptProducer> placeholder(TranscriptSetup &setup) {
    return std::make_unique<PlaceholderTranscriber>(setup.rate, setup.channels,
                                                    setup.language_in, setup.language_out,
                                                    std::move(setup.sink));
}

} // namespace

std::unique_ptr<TranscriptProducer> make_transcript_producer(TranscriptSetup setup) {
    if (setup.source == TranscriptSource::kPlaceholder) {
        return placeholder(setup);
    }
    const ModelLookup lookup = find_recogniser_model(setup.models_dir, setup.language_in);
    if (!lookup.model) {
        warn_once(setup.warn, "recogniser not available (" + lookup.missing +
                                  "): placeholder transcripts instead");
        return placeholder(setup);
    }
    const TranslationLookup translation =
        find_translation_mode(setup.language_in, setup.language_out);
    if (!translation.installed) {
        warn_once(setup.warn, "translator not available (" + translation.why +
                                  "): placeholder transcripts instead");
        return placeholder(setup);
    }
    // Last, as the first check of a model takes a while.
    const std::string model_fault = recogniser_model_fault(*lookup.model);
    if (!model_fault.empty()) {
        warn_once(setup.warn, "recogniser not available (" + model_fault +
                                  "): placeholder transcripts instead");
        return placeholder(setup);
    }
    if (!translation.mode) {
        warn_once(setup.warn, translation.why + ": transcripts only");
    }

    SpeechSetup speech;
    speech.rate = setup.rate;
    speech.language_in = setup.language_in;
    speech.language_out = setup.language_out;
    speech.model = *lookup.model;
    speech.translation_mode = translation.mode;
    speech.sink = std::move(setup.sink);
    speech.report_error = std::move(setup.report_error);
    return std::make_unique<SpeechTranscriber>(setup.channels, std::move(speech));
}

} // namespace kolta::engine
