#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <kolta/transcript_types.h>

#include "base/logger.h"
#include "speech/recogniser_model.h"
#include "speech/translator.h"

namespace kolta::engine {

// What a SpeechWorker needs to know about its stream.
struct SpeechSetup {
    std::uint32_t rate = 16000;
    std::string language_in;
    std::string language_out;
    RecogniserModel model;
    std::optional<std::string> translation_mode; // none: transcripts only
    std::function<void(TextFrame &&)> sink;
    std::function<void(const std::string &)> report_error;
};

// Recognises (and translates) the stream on a thread of its own, so that
// process_frame only copies audio. The whole stream goes to the recogniser,
// whose own voice detector cuts the utterances: on noisy audio it finds
// speech far better than a level threshold. Interim transcripts come about
// every 500 ms of an utterance's audio, then the final one at its end and
// its translation.
//
// Destruction lets the thread finish what was handed to it (bounded by the
// backlog limit), then joins it; no translator child outlives it.
class SpeechWorker {
public:
    explicit SpeechWorker(SpeechSetup setup);
    ~SpeechWorker();
    SpeechWorker(const SpeechWorker &) = delete;
    SpeechWorker &operator=(const SpeechWorker &) = delete;

    // `mono` is the mix of the stream's next block, `position` the stream
    // position (in frames) at its end. end_utterance() ends a running
    // utterance at once (the stream was drained).
    void audio(std::vector<float> mono, std::uint64_t position, double snr_db);
    void end_utterance(std::uint64_t end, double snr_db);
    // Drops what is queued; what is under way delivers nothing.
    void abandon();

private:
    struct Audio {
        std::vector<float> mono;
        std::uint64_t position;
        double snr_db;
    };
    struct End {
        std::uint64_t end;
        double snr_db;
    };
    using Command = std::variant<Audio, End>;

    void post(Command command, std::size_t frames);
    void run();
    void handle(Audio &audio);
    void handle(End &end);
    void begin(std::uint64_t start);
    void finish(std::uint64_t end, double snr_db);
    void deliver(TranscriptType type, const std::string &language, bool partial,
                 std::uint64_t end, double snr_db, std::string text);

    SpeechSetup setup_;
    std::optional<Translator> translator_;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Command> queue_;
    std::size_t queued_frames_ = 0;
    bool dropping_ = false; // over the backlog: audio is dropped until it drains
    bool stopping_ = false;
    std::atomic<bool> abandoned_{false};

    // Worker-thread state.
    std::unique_ptr<class Recogniser> recogniser_;
    bool failed_ = false;
    bool decoding_ = false;      // the decoder has an utterance open
    bool in_utterance_ = false;  // its detector has found speech in it
    std::uint64_t fed_from_ = 0; // where the decoder's current audio began
    std::uint64_t start_ = 0;
    std::uint64_t next_partial_ = 0;
    std::string last_partial_;
    std::uint32_t utterance_idx_ = 0;

    std::thread thread_;
};

} // namespace kolta::engine
