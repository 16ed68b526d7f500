#include "http_session.h"

#include <optional>
#include <type_traits>

#include <boost/asio/dispatch.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket/rfc6455.hpp>

#include "stream_session.h"
#include "version.h"

namespace kolta::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;

namespace {

// After the last answer on a connection, how long its remaining input is
// read and dropped so that closing does not reset the connection before the
// client has read the answer (a refused oversized body is still arriving).
constexpr std::chrono::milliseconds kLingerTime{1000};
constexpr std::size_t kLingerBytes = 64 * 1024;

bool is_http_error(const beast::error_code &ec) {
    return ec.category() == http::make_error_code(http::error::end_of_stream).category();
}

http::response<http::string_body> make_response(const Reply &reply, unsigned version,
                                                bool keep_alive) {
    http::response<http::string_body> response{static_cast<http::status>(reply.status),
                                               version};
    response.set(http::field::server, std::string("kolta-server/") + kServiceVersion);
    response.set(http::field::content_type, reply.content_type);
    response.set(http::field::cache_control, "no-store");
    for (const auto &[name, value] : reply.headers) {
        response.set(name, value);
    }
    response.keep_alive(keep_alive);
    response.body() = reply.body;
    response.prepare_payload();
    return response;
}

// One connection: requests read one at a time, each within the read
// timeout, answered in order.
template <class Stream>
class Session : public std::enable_shared_from_this<Session<Stream>> {
public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    template <class... StreamArguments>
    Session(std::shared_ptr<SessionContext> context, std::string address,
            StreamArguments &&...stream_arguments)
        : context_(std::move(context)), address_(std::move(address)),
          stream_(std::forward<StreamArguments>(stream_arguments)...),
          timer_(stream_.get_executor()) {
        ++context_->open_connections;
    }

    ~Session() { --context_->open_connections; }

    void start() {
        asio::dispatch(
            stream_.get_executor(),
            beast::bind_front_handler(&Session::begin, this->shared_from_this()));
    }

private:
    const ConnectionLimits &limits() const { return context_->limits; }
    beast::tcp_stream &lowest() { return beast::get_lowest_layer(stream_); }

    void begin() {
        if constexpr (kTls) {
            lowest().expires_after(limits().read_timeout);
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    beast::bind_front_handler(&Session::on_handshake,
                                                              this->shared_from_this()));
        } else {
            read_request();
        }
    }

    void on_handshake(beast::error_code ec) {
        if (ec) {
            return close_now();
        }
        lowest().expires_never();
        read_request();
    }

    void read_request() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(limits().max_header_bytes));
        parser_->body_limit(limits().max_body_bytes);
        reading_ = true;
        timed_out_ = false;
        timer_.expires_after(limits().read_timeout);
        timer_.async_wait(
            beast::bind_front_handler(&Session::on_deadline, this->shared_from_this()));
        http::async_read(
            stream_, buffer_, *parser_,
            beast::bind_front_handler(&Session::on_read, this->shared_from_this()));
    }

    // The whole request must arrive within the read timeout, however its
    // bytes trickle in.
    void on_deadline(beast::error_code ec) {
        if (ec == asio::error::operation_aborted || !reading_ ||
            timer_.expiry() > asio::steady_timer::clock_type::now()) {
            return; // a deadline of an earlier read
        }
        timed_out_ = true;
        lowest().cancel();
    }

    void on_read(beast::error_code ec, std::size_t) {
        reading_ = false;
        timer_.cancel();
        if (ec && timed_out_) {
            // Silence on an idle kept-alive connection just ends it.
            if (buffer_.size() > 0 || parser_->got_some()) {
                return refuse(408, "the request did not arrive within " +
                                       std::to_string(limits().read_timeout.count()) +
                                       " ms");
            }
            return close_gracefully();
        }
        if (ec == http::error::end_of_stream) {
            return close_gracefully();
        }
        if (ec == http::error::header_limit) {
            return refuse(431, "the request header is over " +
                                   std::to_string(limits().max_header_bytes) + " bytes");
        }
        if (ec == http::error::body_limit) {
            return refuse(413, "the request body is over " +
                                   std::to_string(limits().max_body_bytes) + " bytes");
        }
        if (ec && is_http_error(ec)) {
            return refuse(400, "malformed HTTP request");
        }
        if (ec) {
            return close_now();
        }
        handle(parser_->release());
    }

    void handle(http::request<http::string_body> message) {
        const std::string target(message.target());
        if (target.substr(0, target.find('?')) ==
                std::string(kProtocolPrefix) + "/stream" &&
            beast::websocket::is_upgrade(message)) {
            if (context_->router->state().draining.load()) {
                // The balancer sends the client to another instance.
                version_ = message.version();
                keep_alive_ = false;
                return send(error_reply(SdkErrorType::kServerUnreachable,
                                        "the service is stopping"));
            }
            // The audio stream takes the connection over.
            return start_stream_session(std::move(stream_), std::move(message), context_);
        }
        version_ = message.version();
        keep_alive_ = message.keep_alive();
        Request request;
        request.method = std::string(message.method_string());
        request.target = std::string(message.target());
        request.body = std::move(message.body());
        request.client_address = address_;
        Reply reply;
        try {
            const auto handling = context_->hold_for_handling();
            reply = context_->router->route(request);
        } catch (const std::exception &error) {
            context_->log->error(std::string("request failed: ") + error.what());
            reply = error_reply(SdkErrorType::kUnknownFailure, "internal error");
        }
        if (reply.delay.count() <= 0) {
            return send(std::move(reply));
        }
        timer_.expires_after(reply.delay);
        timer_.async_wait([self = this->shared_from_this(),
                           reply = std::move(reply)](beast::error_code ec) mutable {
            if (!ec) {
                self->send(std::move(reply));
            }
        });
    }

    // An answer to a request that cannot be read further; the connection
    // closes after it.
    void refuse(unsigned status, const std::string &message) {
        Reply reply = error_reply(SdkErrorType::kBadRequest, message);
        reply.status = status;
        keep_alive_ = false;
        send(std::move(reply));
    }

    void send(Reply reply) {
        response_ = std::make_unique<http::response<http::string_body>>(
            make_response(reply, version_, keep_alive_));
        lowest().expires_after(limits().write_timeout);
        http::async_write(
            stream_, *response_,
            beast::bind_front_handler(&Session::on_write, this->shared_from_this()));
    }

    void on_write(beast::error_code ec, std::size_t) {
        lowest().expires_never();
        if (ec) {
            return close_now();
        }
        const bool again = keep_alive_ && !response_->need_eof();
        response_.reset();
        if (again) {
            return read_request();
        }
        close_gracefully();
    }

    void close_gracefully() {
        if constexpr (kTls) {
            lowest().expires_after(kLingerTime);
            stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) {
                self->close_now();
            });
        } else {
            beast::error_code ignored;
            lowest().socket().shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
            lowest().expires_after(kLingerTime);
            drain();
        }
    }

    void drain() {
        lowest().async_read_some(
            asio::buffer(scratch_),
            [self = this->shared_from_this()](beast::error_code ec, std::size_t size) {
                self->drained_ += size;
                if (ec || self->drained_ >= kLingerBytes) {
                    return self->close_now();
                }
                self->drain();
            });
    }

    void close_now() {
        timer_.cancel();
        beast::error_code ignored;
        lowest().socket().close(ignored);
    }

    std::shared_ptr<SessionContext> context_;
    const std::string address_;
    Stream stream_;
    asio::steady_timer timer_; // the read deadline, then an answer's delay
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    std::unique_ptr<http::response<http::string_body>> response_;
    unsigned version_ = 11;
    bool keep_alive_ = false;
    bool reading_ = false;
    bool timed_out_ = false;
    char scratch_[4096];
    std::size_t drained_ = 0;
};

std::string address_of(const asio::ip::tcp::socket &socket) {
    beast::error_code ec;
    const auto endpoint = socket.remote_endpoint(ec);
    return ec ? std::string("unknown") : endpoint.address().to_string();
}

} // namespace

void start_http_session(asio::ip::tcp::socket socket,
                        std::shared_ptr<SessionContext> context) {
    std::string address = address_of(socket);
    std::make_shared<Session<beast::tcp_stream>>(std::move(context), std::move(address),
                                                 std::move(socket))
        ->start();
}

void start_https_session(asio::ip::tcp::socket socket, asio::ssl::context &tls,
                         std::shared_ptr<SessionContext> context) {
    std::string address = address_of(socket);
    std::make_shared<Session<beast::ssl_stream<beast::tcp_stream>>>(
        std::move(context), std::move(address), std::move(socket), tls)
        ->start();
}

} // namespace kolta::server
