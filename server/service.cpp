#include "service.h"

#include <algorithm>
#include <csignal>
#include <optional>
#include <stdexcept>
#include <thread>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "listener.h"

namespace kolta::server {

namespace asio = boost::asio;
using tcp = asio::ip::tcp;

namespace {

tcp::endpoint endpoint_of(const ServiceOptions &options) {
    const std::string host = options.host == "localhost" ? "127.0.0.1" : options.host;
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(host, ec);
    if (ec) {
        throw std::runtime_error("cannot listen on '" + options.host +
                                 "': not an IP address");
    }
    return tcp::endpoint(address, options.port);
}

asio::ssl::context tls_context(const TlsFiles &files) {
    asio::ssl::context tls(asio::ssl::context::tls_server);
    tls.set_options(asio::ssl::context::default_workarounds |
                    asio::ssl::context::no_sslv2 | asio::ssl::context::no_sslv3 |
                    asio::ssl::context::no_tlsv1 | asio::ssl::context::no_tlsv1_1 |
                    asio::ssl::context::single_dh_use);
    boost::system::error_code ec;
    tls.use_certificate_chain_file(files.certificate.string(), ec);
    if (ec) {
        throw std::runtime_error("cannot use the TLS certificate '" +
                                 files.certificate.string() + "': " + ec.message());
    }
    tls.use_private_key_file(files.private_key.string(), asio::ssl::context::pem, ec);
    if (ec) {
        throw std::runtime_error("cannot use the TLS key '" + files.private_key.string() +
                                 "': " + ec.message());
    }
    return tls;
}

} // namespace

// How often a draining service looks whether its streams have ended, and how
// long the closing handshakes of the rest may take.
constexpr std::chrono::milliseconds kDrainPoll{50};
constexpr std::chrono::milliseconds kCloseGrace{2000};

struct Service::Impl {
    // Declared first, destroyed last: sessions still queued in the I/O
    // context when it closes use it.
    std::optional<asio::ssl::context> tls;
    asio::io_context io;
    std::shared_ptr<SessionContext> context = std::make_shared<SessionContext>();
    std::shared_ptr<Listener> listener;
    unsigned threads = 1;
    std::string url;
    unsigned short port = 0;
    std::vector<std::thread> background;
    std::chrono::milliseconds drain_timeout{0};
    std::function<void()> on_hangup;

    void halt() {
        listener->stop();
        io.stop();
    }

    ServiceState &state() { return context->router->state(); }

    // SIGTERM: the streams open go on until they end or the deadline, then
    // are asked to close; the service halts once they have (or after the
    // close grace).
    void drain(asio::steady_timer &timer) {
        state().draining = true;
        context->log->info("draining: " + std::to_string(context->streams.size()) +
                           " streams open, new streams refused, at most " +
                           std::to_string(drain_timeout.count()) + " ms");
        wait_for_streams(timer, asio::steady_timer::clock_type::now() + drain_timeout,
                         false);
    }

    // First the streams carrying audio, until they end or the deadline; then
    // the closing handshakes of all that are left, for at most the close
    // grace (a client that never answers a close must not hold up a stop).
    void wait_for_streams(asio::steady_timer &timer,
                          asio::steady_timer::time_point deadline, bool closing) {
        const auto &streams = context->streams;
        const std::size_t waiting_for = closing ? streams.size() : streams.carrying();
        const auto now = asio::steady_timer::clock_type::now();
        if (streams.size() == 0) {
            context->log->info("drained");
            return halt();
        }
        if (closing && now >= deadline) {
            context->log->warn(std::to_string(waiting_for) +
                               " streams did not finish closing");
            return halt();
        }
        if (!closing && (waiting_for == 0 || now >= deadline)) {
            if (waiting_for != 0) {
                context->log->info("closing " + std::to_string(waiting_for) +
                                   " streams with 1001 (going away)");
            }
            streams.go_away_all();
            return wait_for_streams(timer, now + kCloseGrace, true);
        }
        timer.expires_after(
            std::min<asio::steady_timer::duration>(kDrainPoll, deadline - now));
        timer.async_wait([this, &timer, deadline, closing](boost::system::error_code ec) {
            if (!ec) {
                wait_for_streams(timer, deadline, closing);
            }
        });
    }
};

Service::Service(const ServiceOptions &options, std::shared_ptr<const Router> router,
                 std::shared_ptr<ServiceLog> log, std::mutex *handling_lock)
    : impl_(std::make_unique<Impl>()) {
    const tcp::endpoint requested = endpoint_of(options);
    if (options.tls) {
        impl_->tls.emplace(tls_context(*options.tls));
    }
    impl_->context->router = std::move(router);
    impl_->context->log = std::move(log);
    impl_->context->limits = options.connection;
    impl_->context->handling_lock = handling_lock;
    impl_->context->stream_limits = options.stream;
    impl_->context->stream_sessions =
        std::make_shared<StreamSessionCount>(options.stream.sessions_per_token);
    impl_->threads = options.threads > 0 ? options.threads : 1;
    impl_->drain_timeout = options.drain_timeout;
    impl_->listener = std::make_shared<Listener>(
        impl_->io, requested, impl_->tls ? &*impl_->tls : nullptr, impl_->context);
    const tcp::endpoint bound = impl_->listener->local_endpoint();
    impl_->port = bound.port();
    const std::string host = bound.address().is_v6()
                                 ? "[" + bound.address().to_string() + "]"
                                 : bound.address().to_string();
    impl_->url = std::string(options.tls ? "https" : "http") + "://" + host + ":" +
                 std::to_string(impl_->port);
}

Service::~Service() {
    stop();
}

std::string Service::url() const {
    return impl_->url;
}

unsigned short Service::port() const {
    return impl_->port;
}

void Service::on_hangup(std::function<void()> handler) {
    impl_->on_hangup = std::move(handler);
}

int Service::run_until_signalled(const std::function<void()> &ready) {
    asio::signal_set signals(impl_->io, SIGINT, SIGTERM);
#ifdef SIGHUP
    if (impl_->on_hangup) {
        signals.add(SIGHUP);
    }
#endif
    asio::steady_timer drain_timer(impl_->io);
    int received = 0;
    std::function<void(boost::system::error_code, int)> on_signal =
        [&](boost::system::error_code ec, int signal_number) {
            if (ec) {
                return;
            }
#ifdef SIGHUP
            if (signal_number == SIGHUP) {
                impl_->on_hangup();
                return signals.async_wait(on_signal);
            }
#endif
            const bool drain = signal_number == SIGTERM && received == 0;
            received = signal_number;
            if (!drain) {
                return impl_->halt();
            }
            impl_->drain(drain_timer);
            signals.async_wait(on_signal); // a second SIGTERM: at once
        };
    signals.async_wait(on_signal);
    if (ready) {
        ready();
    }
    impl_->listener->start();
    std::vector<std::thread> helpers;
    for (unsigned i = 1; i < impl_->threads; ++i) {
        helpers.emplace_back([this] { impl_->io.run(); });
    }
    impl_->io.run();
    for (auto &helper : helpers) {
        helper.join();
    }
    return received;
}

void Service::start() {
    impl_->listener->start();
    for (unsigned i = 0; i < impl_->threads; ++i) {
        impl_->background.emplace_back([this] { impl_->io.run(); });
    }
}

void Service::stop() {
    if (!impl_) {
        return;
    }
    impl_->halt();
    for (auto &thread : impl_->background) {
        if (thread.joinable()) {
            thread.join();
        }
    }
    impl_->background.clear();
}

} // namespace kolta::server
