#include "listener.h"

#include <stdexcept>

#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>

namespace kolta::server {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

// After a failed accept (out of file descriptors, say), wait before the next
// one instead of spinning.
constexpr std::chrono::milliseconds kAcceptPause{100};

std::string describe(const tcp::endpoint &endpoint) {
    const auto address = endpoint.address();
    const std::string host =
        address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return host + ":" + std::to_string(endpoint.port());
}

} // namespace

Listener::Listener(asio::io_context &io, const tcp::endpoint &endpoint,
                   asio::ssl::context *tls, std::shared_ptr<SessionContext> context)
    // The acceptor and its pause timer share a strand: the service runs its
    // I/O context on several threads, and stop() must not close the acceptor
    // while an accept's completion is reading it.
    : io_(io), acceptor_(asio::make_strand(io)), pause_(acceptor_.get_executor()),
      tls_(tls), context_(std::move(context)) {
    boost::system::error_code ec;
    const auto fail = [&](const char *step) {
        throw std::runtime_error("cannot listen on " + describe(endpoint) + ": " + step +
                                 ": " + ec.message());
    };
    acceptor_.open(endpoint.protocol(), ec);
    if (ec) {
        fail("open");
    }
    // A restarted service may bind while its old connections linger.
    acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (ec) {
        fail("set_option");
    }
    acceptor_.bind(endpoint, ec);
    if (ec) {
        fail("bind");
    }
    acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        fail("listen");
    }
}

tcp::endpoint Listener::local_endpoint() const {
    boost::system::error_code ec;
    return acceptor_.local_endpoint(ec);
}

void Listener::start() {
    asio::post(acceptor_.get_executor(), [self = shared_from_this()] { self->accept(); });
}

void Listener::stop() {
    asio::post(acceptor_.get_executor(), [self = shared_from_this()] {
        boost::system::error_code ignored;
        self->acceptor_.close(ignored);
        self->pause_.cancel();
    });
}

void Listener::accept() {
    acceptor_.async_accept(
        asio::make_strand(io_),
        [self = shared_from_this()](boost::system::error_code ec, tcp::socket socket) {
            self->on_accept(ec, std::move(socket));
        });
}

void Listener::on_accept(boost::system::error_code ec, tcp::socket socket) {
    if (!acceptor_.is_open()) {
        return;
    }
    if (ec) {
        context_->log->warn("accept failed: " + ec.message());
        pause_.expires_after(kAcceptPause);
        pause_.async_wait([self = shared_from_this()](boost::system::error_code wait_ec) {
            if (!wait_ec) {
                self->accept();
            }
        });
        return;
    }
    // Over the limit the connection is closed at once: the others keep
    // their share of the service.
    if (context_->open_connections.load() >= context_->limits.max_connections) {
        boost::system::error_code ignored;
        socket.close(ignored);
    } else if (tls_ != nullptr) {
        start_https_session(std::move(socket), *tls_, context_);
    } else {
        start_http_session(std::move(socket), context_);
    }
    accept();
}

} // namespace kolta::server
