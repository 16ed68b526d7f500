#include "speech_worker.h"

#include <chrono>

#include "recogniser.h"
#include "transcript_text.h"

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

void SpeechWorker::begin_utterance(std::uint64_t start) {
    post(Begin{start}, 0);
}

void SpeechWorker::audio(std::vector<float> mono, std::uint64_t position, double snr_db) {
    const std::size_t frames = mono.size();
    post(Audio{std::move(mono), position, snr_db}, frames);
}

void SpeechWorker::end_utterance(std::uint64_t end, double snr_db) {
    post(End{end, snr_db}, 0);
}

void SpeechWorker::post(Command command, std::size_t frames) {
    bool overflowed = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::holds_alternative<Begin>(command)) {
            dropping_ = false;
        }
        if (frames > 0 &&
            (dropping_ || queued_frames_ + frames > kMaxBacklogSeconds * setup_.rate)) {
            overflowed = !dropping_;
            dropping_ = true;
        } else {
            queued_frames_ += frames;
            queue_.push_back(std::move(command));
        }
    }
    if (overflowed) {
        setup_.report_error("recogniser backlog over " +
                            std::to_string(kMaxBacklogSeconds) +
                            " s: the rest of this utterance is not recognised");
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

void SpeechWorker::handle(Begin &begin) {
    recogniser_->start_utterance();
    in_utterance_ = true;
    start_ = begin.start;
    next_partial_ = begin.start + setup_.rate / 2;
    last_partial_.clear();
}

void SpeechWorker::handle(Audio &audio) {
    if (!in_utterance_) {
        return;
    }
    recogniser_->feed(audio.mono.data(), audio.mono.size());
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
    if (!in_utterance_) {
        return;
    }
    in_utterance_ = false;
    std::string text = recogniser_->finish_utterance();
    if (text.empty() && last_partial_.empty()) {
        return; // nothing was heard: not an utterance
    }
    deliver(TranscriptType::kTranscription, setup_.language_in, false, end.end,
            end.snr_db, text);
    if (translator_ && !text.empty()) {
        auto translation = translator_->translate(text, kTranslationLimit);
        if (translation) {
            deliver(TranscriptType::kTranslation, setup_.language_out, false, end.end,
                    end.snr_db, std::move(*translation));
        } else {
            setup_.report_error("translation of utterance " +
                                std::to_string(utterance_idx_) + " failed");
        }
    }
    ++utterance_idx_;
}

void SpeechWorker::deliver(TranscriptType type, const std::string &language, bool partial,
                           std::uint64_t end, double snr_db, std::string text) {
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
