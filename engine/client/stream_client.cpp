#include "client/stream_client.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <kolta_common/json.h>

#include "base/fork_state.h"
#include "service/service_config.h"

namespace kolta::engine {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

namespace {

constexpr std::chrono::milliseconds kCloseDeadline{1000};
constexpr std::chrono::milliseconds kJoinDeadline{2000};
// A connection that brings nothing for this long (a ping goes out at half of
// it) is taken for dead: a network that swallows packets gives no error.
// Checked every quarter of it.
constexpr std::chrono::milliseconds kIdleDeadline{2000};

// Close codes by which the service refuses the config, the token or the
// model (docs/protocol.md, "Audio streams").
bool is_refusal(std::uint16_t code) {
    return code == 4400 || code == 4401 || code == 4403;
}

// The service's first answer: {"event": "accepted", ...}.
bool is_acceptance(const std::string &message) {
    const auto object = kolta_common::parse_json_object(message);
    if (!object) {
        return false;
    }
    const auto event = object->strings.find("event");
    return event != object->strings.end() && event->second == "accepted";
}

} // namespace

struct StreamClient::Impl : std::enable_shared_from_this<StreamClient::Impl> {
    Impl(StreamRequest request_, Events events_, std::chrono::milliseconds deadline)
        : request(std::move(request_)), events(std::move(events_)),
          connect_deadline(deadline), format{request.rate, request.channels},
          encoder(request.codec, format, StreamLeg::kToService),
          decoder(request.codec, format), resolver(io), ws(io), timer(io),
          idle_timer(io) {}

    StreamRequest request;
    Events events;
    std::chrono::milliseconds connect_deadline;
    StreamFormat format;
    // Used on the I/O thread only.
    BlockEncoder encoder;
    BlockDecoder decoder;
    asio::io_context io;
    tcp::resolver resolver;
    websocket::stream<beast::tcp_stream> ws;
    asio::steady_timer timer;
    asio::steady_timer idle_timer;
    std::chrono::steady_clock::time_point last_heard = std::chrono::steady_clock::now();
    bool pinging = false;
    beast::flat_buffer buffer;
    std::deque<std::string> outgoing;
    bool writing = false;
    bool open = false;
    std::atomic<bool> ended{false};
    std::atomic<bool> closing{false};
    std::mutex done_mutex;
    std::condition_variable done_signal;
    bool done = false;

    void run() {
        asio::post(io, [self = shared_from_this()] { self->connect(); });
        io.run();
        std::lock_guard<std::mutex> lock(done_mutex);
        done = true;
        done_signal.notify_all();
    }

    void end(const std::string &reason, bool refused = false) {
        if (ended.exchange(true)) {
            return;
        }
        timer.cancel();
        idle_timer.cancel();
        beast::error_code ignored;
        beast::get_lowest_layer(ws).socket().close(ignored);
        if (!closing && events.ended) {
            events.ended(reason, refused);
        }
    }

    void connect() {
        const auto address = parse_service_url(request.service_url);
        if (!address || address->tls) {
            // The stream speaks plain WebSocket for now; trying again cannot
            // change that, so the audio passes through unprocessed at once.
            return end("the service address '" + request.service_url +
                           "' is not http://HOST:PORT",
                       true);
        }
        timer.expires_after(connect_deadline);
        timer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec && !self->open) {
                self->end("no answer from the service within " +
                          std::to_string(self->connect_deadline.count()) + " ms");
            }
        });
        resolver.async_resolve(
            address->host, std::to_string(address->port),
            [self = shared_from_this(), host = host_header(*address),
             target = address->base_path + "/v1/stream"](
                beast::error_code ec, const tcp::resolver::results_type &results) {
                if (ec) {
                    return self->end("cannot resolve the service: " + ec.message());
                }
                beast::get_lowest_layer(self->ws).async_connect(
                    results,
                    [self, host, target](beast::error_code ec2, const tcp::endpoint &) {
                        if (ec2) {
                            return self->end("cannot connect to the service: " +
                                             ec2.message());
                        }
                        self->handshake(host, target);
                    });
            });
    }

    void handshake(const std::string &host, const std::string &target) {
        beast::get_lowest_layer(ws).socket().set_option(tcp::no_delay(true));
        ws.async_handshake(
            host, target, [self = shared_from_this()](beast::error_code ec) {
                if (ec) {
                    return self->end("the stream was refused: " + ec.message());
                }
                self->ws.control_callback([weak = std::weak_ptr<Impl>(self)](
                                              websocket::frame_type, beast::string_view) {
                    if (auto impl = weak.lock()) {
                        impl->last_heard = std::chrono::steady_clock::now();
                    }
                });
                self->ws.text(true);
                auto config =
                    std::make_shared<std::string>(stream_config_message(self->request));
                self->ws.async_write(asio::buffer(*config),
                                     [self, config](beast::error_code ec2, std::size_t) {
                                         if (ec2) {
                                             return self->end("cannot send the config: " +
                                                              ec2.message());
                                         }
                                         self->read();
                                     });
            });
    }

    void read() {
        ws.async_read(buffer,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) {
                          self->on_read(ec);
                      });
    }

    void on_read(beast::error_code ec) {
        if (ec) {
            std::string reason = ec.message();
            bool refused = false;
            if (ec == websocket::error::closed) {
                const auto why = ws.reason();
                reason = "closed by the service (" + std::to_string(why.code) + " " +
                         std::string(why.reason.c_str()) + ")";
                refused = is_refusal(why.code);
            }
            return end(reason, refused);
        }
        last_heard = std::chrono::steady_clock::now();
        const std::string message = beast::buffers_to_string(buffer.data());
        buffer.consume(buffer.size());
        if (!open) {
            if (!ws.got_text() || !is_acceptance(message)) {
                return end("unexpected first answer from the service");
            }
            open = true;
            timer.cancel();
            watch();
            if (events.accepted) {
                events.accepted();
            }
            write_next();
        } else if (!ws.got_text()) {
            auto answer = read_audio_answer(message, decoder);
            if (!answer) {
                return end("malformed audio from the service");
            }
            events.audio(std::move(*answer));
        }
        read();
    }

    // Our own timer rather than Beast's keep-alive, so that an ended stream
    // leaves nothing pending and its thread ends at once.
    void watch() {
        idle_timer.expires_after(kIdleDeadline / 4);
        idle_timer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (ec || self->ended) {
                return;
            }
            const auto quiet = std::chrono::steady_clock::now() - self->last_heard;
            if (quiet >= kIdleDeadline) {
                return self->end("nothing from the service within " +
                                 std::to_string(kIdleDeadline.count()) + " ms");
            }
            if (quiet >= kIdleDeadline / 2 && !self->pinging) {
                self->pinging = true;
                self->ws.async_ping({},
                                    [self](beast::error_code) { self->pinging = false; });
            }
            self->watch();
        });
    }

    void queue(std::uint64_t sequence, const std::vector<float> &block) {
        if (ended) {
            return;
        }
        outgoing.push_back(audio_message(sequence, block.data(), encoder));
        write_next();
    }

    void write_next() {
        if (writing || !open || outgoing.empty() || ended) {
            return;
        }
        writing = true;
        ws.binary(true);
        ws.async_write(asio::buffer(outgoing.front()),
                       [self = shared_from_this()](beast::error_code ec, std::size_t) {
                           self->writing = false;
                           if (ec) {
                               return self->end("cannot send audio: " + ec.message());
                           }
                           self->outgoing.pop_front();
                           self->write_next();
                       });
    }

    void close() {
        closing = true;
        if (ended || !open) {
            return end("closed");
        }
        timer.expires_after(kCloseDeadline);
        timer.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->end("close timed out");
            }
        });
        ws.async_close(
            websocket::close_code::normal,
            [self = shared_from_this()](beast::error_code) { self->end("closed"); });
    }
};

StreamClient::StreamClient(StreamRequest request, Events events,
                           std::chrono::milliseconds connect_deadline)
    : impl_(std::make_shared<Impl>(std::move(request), std::move(events),
                                   connect_deadline)),
      generation_(fork_generation()) {
    thread_ = std::thread([impl = impl_] { impl->run(); });
}

StreamClient::~StreamClient() {
    if (fork_generation() != generation_) {
        abandon_inherited_thread(thread_, impl_);
        return;
    }
    impl_->closing = true;
    asio::post(impl_->io, [impl = impl_] { impl->close(); });
    {
        std::unique_lock<std::mutex> lock(impl_->done_mutex);
        if (!impl_->done_signal.wait_for(lock, kJoinDeadline,
                                         [&] { return impl_->done; })) {
            impl_->io.stop();
        }
    }
    thread_.join();
}

bool StreamClient::send(std::uint64_t sequence, const float *block) {
    if (impl_->ended) {
        return false;
    }
    const std::size_t values = impl_->format.block_frames() * impl_->format.channels;
    asio::post(impl_->io, [impl = impl_, sequence,
                           copy = std::vector<float>(block, block + values)] {
        impl->queue(sequence, copy);
    });
    return true;
}

void StreamClient::cut(const std::string &why) {
    asio::post(impl_->io, [impl = impl_, why] { impl->end(why); });
}

} // namespace kolta::engine
