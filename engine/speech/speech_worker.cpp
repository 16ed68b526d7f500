#include "speech/speech_worker.h"

#include <algorithm>
#include <chrono>

#include "speech/recogniser.h"
#include "speech/transcript_text.h"

namespace kolta::engine {

namespace {

// Audio waiting for the recogniser beyond this is dropped: bounds memory and
// the time teardown spends finishing the backlog.
constexpr std::uint64_t kMaxBacklogSeconds = 60;
constexpr std::chrono::milliseconds kTranslationLimit{10000};

} // namespace

SpeechWorker::SpeechWorker(SpeechSetup setup) : setup_(std::move(setup)) {
    if (setup_.translation_mode) {
        translator_.emplace(*setup_.translation_mode);
    }
    thread_ = std::thread(&SpeechWorker::run, this);
}

SpeechWorker::~SpeechWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SpeechWorker::audio(std::vector<float> mono, std::uint64_t position, double snr_db) {
    const std::size_t frames = mono.size();
    post(Audio{std::move(mono), position, snr_db}, frames);
}

void SpeechWorker::end_utterance(std::uint64_t end, double snr_db) {
    post(End{end, snr_db}, 0);
}

void SpeechWorker::abandon() {
    abandoned_ = true;
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
    queued_frames_ = 0;
}

void SpeechWorker::post(Command command, std::size_t frames) {
    const std::uint64_t limit = kMaxBacklogSeconds * setup_.rate;
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Once over the limit, audio is dropped until half the backlog is
        // done, so the recogniser hears stretches, not scattered blocks.
        if (dropping_ && queued_frames_ + frames <= limit / 2) {
            dropping_ = false;
        }
        if (frames > 0 && !dropping_ && queued_frames_ + frames > limit) {
            overflowed = dropping_ = true;
            // The gap ends the running utterance with what was heard.
            const auto &audio = std::get<Audio>(command);
            queue_.push_back(End{audio.position - frames, audio.snr_db});
        }
        if (frames == 0 || !dropping_) {
            queued_frames_ += frames;
            queue_.push_back(std::move(command));
        }
    }
    if (overflowed) {
        setup_.report_error("recogniser backlog over " +
                            std::to_string(kMaxBacklogSeconds) +
                            " s: audio is not recognised until it catches up");
    }
    wake_.notify_all();
}

void SpeechWorker::run() {
    try {
        recogniser_ = std::make_unique<Recogniser>(setup_.model, setup_.rate);
    } catch (const std::exception &error) {
        failed_ = true;
        setup_.report_error(error.what());
    }
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        wake_.wait(lock, [&] { return !queue_.empty() || stopping_; });
        if (queue_.empty()) {
            return; // stopping, and everything handed over is done
        }
        Command command = std::move(queue_.front());
        queue_.pop_front();
        if (const auto *audio = std::get_if<Audio>(&command)) {
            queued_frames_ -= audio->mono.size();
        }
        lock.unlock();
        if (!failed_) {
            try {
                std::visit([this](auto &c) { handle(c); }, command);
            } catch (const std::exception &error) {
                failed_ = true;
                setup_.report_error(error.what());
            }
        }
        lock.lock();
    }
}

void SpeechWorker::handle(Audio &audio) {
    const std::uint64_t block_start = audio.position - audio.mono.size();
    if (!decoding_) {
        recogniser_->start_utterance();
        decoding_ = true;
        fed_from_ = block_start;
    }
    recogniser_->feed(audio.mono.data(), audio.mono.size());
    const bool speech = recogniser_->in_speech();
    if (speech && !in_utterance_) {
        // The detector reports speech a little after it began and keeps the
        // audio from just before it.
        const std::uint64_t lead = recogniser_->lead_frames();
        begin(std::max(fed_from_, audio.position > lead ? audio.position - lead : 0));
    }
    if (!in_utterance_) {
        return;
    }
    if (!speech) {
        // It reports the end after a stretch of silence.
        const std::uint64_t hangover = recogniser_->hangover_frames();
        finish(
            std::max(start_, audio.position > hangover ? audio.position - hangover : 0),
            audio.snr_db);
        return;
    }
    if (audio.position < next_partial_) {
        return;
    }
    next_partial_ += setup_.rate / 2;
    std::string text = recogniser_->hypothesis();
    if (!text.empty() && text != last_partial_) {
        last_partial_ = text;
        deliver(TranscriptType::kTranscription, setup_.language_in, true, audio.position,
                audio.snr_db, std::move(text));
    }
}

void SpeechWorker::handle(End &end) {
    if (in_utterance_) {
        finish(std::max(start_, end.end), end.snr_db);
    } else if (decoding_) {
        recogniser_->finish_utterance(); // only silence so far: start afresh
        decoding_ = false;
    }
}

void SpeechWorker::begin(std::uint64_t start) {
    in_utterance_ = true;
    start_ = start;
    next_partial_ = start + setup_.rate / 2;
    last_partial_.clear();
}

void SpeechWorker::finish(std::uint64_t end, double snr_db) {
    in_utterance_ = false;
    decoding_ = false;
    std::string text = recogniser_->finish_utterance();
    if (text.empty() && last_partial_.empty()) {
        return; // nothing was heard: not an utterance
    }
    deliver(TranscriptType::kTranscription, setup_.language_in, false, end, snr_db, text);
    if (translator_ && !text.empty() && !abandoned_) {
        Translation translation = translator_->translate(text, kTranslationLimit);
        if (translation.text) {
            deliver(TranscriptType::kTranslation, setup_.language_out, false, end, snr_db,
                    std::move(*translation.text));
        } else {
            setup_.report_error("translation of utterance " +
                                std::to_string(utterance_idx_) +
                                " failed: " + translation.failure);
        }
    }
    ++utterance_idx_;
}

void SpeechWorker::deliver(TranscriptType type, const std::string &language, bool partial,
                           std::uint64_t end, double snr_db, std::string text) {
    if (abandoned_) {
        return;
    }
    TranscriptSegment segment;
    segment.start = format_seconds(start_, setup_.rate);
    segment.end = format_seconds(end, setup_.rate);
    segment.probability = confidence_from_snr(snr_db);
    segment.text = std::move(text);

    TextFrame frame;
    frame.type_ = type;
    frame.transcript_data_.utterance_idx = utterance_idx_;
    frame.transcript_data_.language_code_ = language;
    (partial ? frame.transcript_data_.partial : frame.transcript_data_.complete)
        .push_back(std::move(segment));
    setup_.sink(std::move(frame));
}

} // namespace kolta::engine
