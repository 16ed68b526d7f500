#include "transcript_producer.h"

#include <mutex>
#include <set>

#include "recogniser_model.h"
#include "speech_transcriber.h"
#include "translator.h"

namespace kolta::engine {

namespace {

void warn_once(Logger &logger, const std::string &message) {
    static std::mutex mutex;
    static std::set<std::string> logged;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!logged.insert(message).second) {
            return;
        }
    }
    logger.warn(message);
}

std::unique_ptr<TranscriptProducer> placeholder(TranscriptSetup &setup) {
    return std::make_unique<Transcriber>(setup.rate, setup.channels, setup.language_in,
                                         setup.language_out, std::move(setup.sink));
}

} // namespace

std::unique_ptr<TranscriptProducer> make_transcript_producer(TranscriptSetup setup) {
    if (setup.source == TranscriptSource::kPlaceholder) {
        return placeholder(setup);
    }
    const ModelLookup lookup = find_recogniser_model(setup.models_dir, setup.language_in);
    if (!lookup.model) {
        warn_once(*setup.logger, "recogniser not available (" + lookup.missing +
                                     "): placeholder transcripts instead");
        return placeholder(setup);
    }
    const TranslationLookup translation =
        find_translation_mode(setup.language_in, setup.language_out);
    if (!translation.installed) {
        warn_once(*setup.logger, "translator not available (" + translation.why +
                                     "): placeholder transcripts instead");
        return placeholder(setup);
    }
    if (!translation.mode) {
        warn_once(*setup.logger, translation.why + ": transcripts only");
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
