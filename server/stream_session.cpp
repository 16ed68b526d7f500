#include "stream_session.h"

#include <deque>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>

#include "crypto.h"
#include "stream_transcripts.h"
#include "version.h"
#include <kolta_common/json.h>

namespace kolta::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;

namespace {

// How many times the message limit Beast itself lets through, so that a
// message a little over the limit is refused with a reason of ours; beyond
// that Beast cuts the connection off (close code 1009) without reading on.
constexpr std::size_t kHardLimitFactor = 4;

// Drawn from OpenSSL, so under the handling lock.
std::string new_stream_id(const SessionContext &context) {
    const auto handling = context.hold_for_handling();
    return hex_encode(random_bytes(6));
}

template <class Next>
class StreamSession : public std::enable_shared_from_this<StreamSession<Next>> {
public:
    StreamSession(Next &&next, UpgradeRequest request,
                  std::shared_ptr<SessionContext> context)
        : ws_(std::move(next)), request_(std::move(request)),
          context_(std::move(context)), timer_(ws_.get_executor()),
          write_timer_(ws_.get_executor()) {
        ++context_->open_connections;
    }

    ~StreamSession() {
        if (registered_) {
            context_->streams.remove(registration_);
        }
        if (processor_) {
            metrics().stream_closed();
        }
        if (counted_) {
            context_->stream_sessions->close(config_.token);
        }
        --context_->open_connections;
    }

    void start() {
        asio::dispatch(
            ws_.get_executor(),
            beast::bind_front_handler(&StreamSession::accept, this->shared_from_this()));
    }

private:
    const StreamLimits &limits() const { return context_->stream_limits; }
    Metrics &metrics() const { return context_->router->state().metrics; }
    void log(const std::string &event) const {
        context_->log->info("stream " + id_ + ": " + event);
    }

    void accept() {
        beast::get_lowest_layer(ws_).expires_never();
        // Each answer is one small message the client is waiting for: sent
        // at once, not held back to coalesce with the next.
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(
            boost::asio::ip::tcp::no_delay(true), ignored);
        websocket::stream_base::timeout timeouts{};
        timeouts.handshake_timeout = context_->limits.read_timeout;
        timeouts.idle_timeout = websocket::stream_base::none();
        timeouts.keep_alive_pings = false;
        ws_.set_option(timeouts);
        ws_.set_option(
            websocket::stream_base::decorator([](websocket::response_type &response) {
                response.set(beast::http::field::server,
                             std::string("kolta-server/") + kServiceVersion);
            }));
        ws_.read_message_max(limits().max_message_bytes * kHardLimitFactor);
        ws_.async_accept(request_, beast::bind_front_handler(&StreamSession::on_accept,
                                                             this->shared_from_this()));
    }

    void on_accept(beast::error_code ec) {
        if (ec) {
            return;
        }
        // A stopping service asks it to close (from its own thread).
        std::weak_ptr<StreamSession> weak = this->shared_from_this();
        registration_ = context_->streams.add([weak] {
            if (auto self = weak.lock()) {
                asio::post(self->ws_.get_executor(), [self] { self->go_away(); });
            }
        });
        registered_ = true;
        read();
    }

    void go_away() {
        if (!closing_) {
            close_with(StreamClose::kGoingAway,
                       "the service is stopping; reconnect to carry on");
        }
    }

    void arm(std::chrono::milliseconds limit) {
        timer_.expires_after(limit);
        timer_.async_wait(beast::bind_front_handler(&StreamSession::on_deadline,
                                                    this->shared_from_this()));
    }

    void on_deadline(beast::error_code ec) {
        if (ec == asio::error::operation_aborted || closing_ ||
            timer_.expiry() > asio::steady_timer::clock_type::now()) {
            return;
        }
        close_with(StreamClose::kIdle, "no message within " +
                                           std::to_string(limits().idle_timeout.count()) +
                                           " ms");
    }

    // A client that does not read its answers is cut off.
    void on_write_deadline(beast::error_code ec) {
        if (ec == asio::error::operation_aborted ||
            write_timer_.expiry() > asio::steady_timer::clock_type::now()) {
            return;
        }
        beast::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    void read() {
        arm(limits().idle_timeout);
        ws_.async_read(buffer_, beast::bind_front_handler(&StreamSession::on_read,
                                                          this->shared_from_this()));
    }

    void on_read(beast::error_code ec, std::size_t) {
        timer_.cancel();
        if (ec && !closing_) {
            log(ec == websocket::error::closed ? std::string("ended by the client")
                                               : "dropped: " + ec.message());
        }
        if (ec || closing_) {
            return;
        }
        const bool text = ws_.got_text();
        const std::string message = beast::buffers_to_string(buffer_.data());
        buffer_.consume(buffer_.size());
        if (message.size() > limits().max_message_bytes) {
            return close_with(StreamClose::kTooBig,
                              "message over " +
                                  std::to_string(limits().max_message_bytes) + " bytes");
        }
        if (!processor_) {
            return configure(text, message);
        }
        if (text) {
            return close_with(StreamClose::kWrongFrameType,
                              "audio messages must be binary");
        }
        const auto started = std::chrono::steady_clock::now();
        auto answer = processor_->process(message);
        if (auto *refused = std::get_if<StreamRefusal>(&answer)) {
            return close_with(refused->code, refused->reason);
        }
        metrics().chunk_processed(std::chrono::steady_clock::now() - started);
        metrics().bytes_received(message.size());
        send(std::move(std::get<std::string>(answer)), false, true);
    }

    void configure(bool text, const std::string &message) {
        if (!text) {
            return close_with(StreamClose::kWrongFrameType,
                              "the first message must be the JSON config, as text");
        }
        std::variant<StreamConfig, StreamRefusal> read;
        {
            const auto handling = context_->hold_for_handling();
            read = read_stream_config(message, *context_->router->sign_in_service());
        }
        if (auto *refused = std::get_if<StreamRefusal>(&read)) {
            return close_with(refused->code, refused->reason);
        }
        config_ = std::move(std::get<StreamConfig>(read));
        if (!context_->stream_sessions->try_open(config_.token)) {
            return close_with(StreamClose::kTooManySessions,
                              "this token has " +
                                  std::to_string(limits().sessions_per_token) +
                                  " streams open already");
        }
        counted_ = true;
        try {
            processor_ = std::make_unique<StreamProcessor>(config_);
            if (wants_transcripts(config_)) {
                transcripts_ = std::make_unique<StreamTranscripts>(
                    config_, transcript_sender(), context_->log);
                processor_->observe_blocks([transcripts = transcripts_.get()](
                                               const float *block, std::size_t frames) {
                    transcripts->observe(block, frames);
                });
            }
        } catch (const std::exception &error) {
            context_->log->error("stream " + id_ + ": refused: " + error.what());
            return close_with(StreamClose::kInternal, "the model could not be started");
        }
        metrics().stream_opened(config_.codec);
        log("opened: model=" + config_.model + " codec=" + config_.codec +
            " rate=" + std::to_string(config_.rate) +
            " channels=" + std::to_string(config_.channels) +
            " transcripts=" + (transcripts_ ? "on" : "off"));
        kolta_common::JsonWriter accepted;
        accepted.string("event", "accepted").string("model", config_.model);
        send(accepted.finish(), true, true);
    }

    // Transcripts come from the producer's thread: each is written from the
    // session's strand, after what is already queued.
    StreamTranscripts::Send transcript_sender() {
        return [weak = this->weak_from_this(),
                executor = ws_.get_executor()](std::string message) {
            asio::post(executor, [weak, message = std::move(message)]() mutable {
                if (auto self = weak.lock()) {
                    self->send(std::move(message), true, false);
                }
            });
        };
    }

    // `then_read`: the next message is read once this one is written (each
    // audio message is answered before the next is read).
    void send(std::string message, bool text, bool then_read) {
        if (closing_) {
            return;
        }
        metrics().bytes_sent(message.size());
        outbox_.push_back(Outgoing{std::move(message), text, then_read});
        if (!writing_) {
            write_next();
        }
    }

    void write_next() {
        writing_ = true;
        write_timer_.expires_after(context_->limits.write_timeout);
        write_timer_.async_wait(beast::bind_front_handler(
            &StreamSession::on_write_deadline, this->shared_from_this()));
        ws_.text(outbox_.front().text);
        ws_.async_write(asio::buffer(outbox_.front().data),
                        beast::bind_front_handler(&StreamSession::on_write,
                                                  this->shared_from_this()));
    }

    void on_write(beast::error_code ec, std::size_t) {
        writing_ = false;
        write_timer_.cancel();
        if (ec) {
            return;
        }
        const bool then_read = outbox_.front().then_read;
        outbox_.pop_front();
        if (closing_) {
            return start_close(); // it waited for this write
        }
        if (!outbox_.empty()) {
            write_next();
        }
        if (then_read) {
            read();
        }
    }

    void close_with(StreamClose code, const std::string &reason) {
        closing_ = true;
        if (registered_) {
            context_->streams.mark_closing(registration_);
        }
        timer_.cancel();
        log("closed: " + std::to_string(static_cast<unsigned>(code)) + " " + reason);
        close_reason_ = websocket::close_reason(static_cast<std::uint16_t>(code));
        close_reason_.reason = reason.substr(0, kMaxCloseReason);
        if (!writing_) {
            start_close();
        }
    }

    // A close is a write: it never overlaps another.
    void start_close() {
        ws_.async_close(close_reason_,
                        [self = this->shared_from_this()](beast::error_code) {});
    }

    websocket::stream<Next> ws_;
    UpgradeRequest request_;
    std::shared_ptr<SessionContext> context_;
    asio::steady_timer timer_;       // the idle deadline while reading
    asio::steady_timer write_timer_; // the deadline of the write under way
    beast::flat_buffer buffer_;
    struct Outgoing {
        std::string data;
        bool text = false;
        bool then_read = false;
    };
    std::deque<Outgoing> outbox_; // the front is being written
    websocket::close_reason close_reason_;
    StreamConfig config_;
    std::unique_ptr<StreamProcessor> processor_;
    std::unique_ptr<StreamTranscripts> transcripts_;
    // Names the stream in every log line of it; unique across instances.
    const std::string id_ = new_stream_id(*context_);
    std::uint64_t registration_ = 0;
    bool registered_ = false;
    bool counted_ = false;
    bool writing_ = false;
    bool closing_ = false;
};

} // namespace

void start_stream_session(beast::tcp_stream stream, UpgradeRequest request,
                          std::shared_ptr<SessionContext> context) {
    std::make_shared<StreamSession<beast::tcp_stream>>(
        std::move(stream), std::move(request), std::move(context))
        ->start();
}

void start_stream_session(beast::ssl_stream<beast::tcp_stream> stream,
                          UpgradeRequest request,
                          std::shared_ptr<SessionContext> context) {
    std::make_shared<StreamSession<beast::ssl_stream<beast::tcp_stream>>>(
        std::move(stream), std::move(request), std::move(context))
        ->start();
}

} // namespace kolta::server
