#pragma once

// Included by the two networking units only: it brings in Asio.
#include <atomic>
#include <memory>
#include <mutex>

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>

#include "router.h"
#include "service_log.h"
#include "service_options.h"
#include "stream_protocol.h"
#include "stream_registry.h"

namespace kolta::server {

// What every connection of one service shares.
struct SessionContext {
    std::shared_ptr<const Router> router;
    std::shared_ptr<ServiceLog> log;
    ConnectionLimits limits;
    StreamLimits stream_limits;
    std::shared_ptr<StreamSessionCount> stream_sessions;
    StreamRegistry streams;
    std::atomic<std::size_t> open_connections{0};
    // When set, held while a request is routed, a stream's config read and
    // its id drawn (see Service).
    std::mutex *handling_lock = nullptr;

    // The handling lock, held; an empty lock when there is none.
    std::unique_lock<std::mutex> hold_for_handling() const {
        return handling_lock != nullptr ? std::unique_lock<std::mutex>(*handling_lock)
                                        : std::unique_lock<std::mutex>();
    }
};

// Serves HTTP/1.1 on an accepted connection until the client closes it, a
// limit is broken or the service stops. The socket must use a strand.
void start_http_session(boost::asio::ip::tcp::socket socket,
                        std::shared_ptr<SessionContext> context);
// The same behind TLS; the handshake must finish within the read timeout.
void start_https_session(boost::asio::ip::tcp::socket socket,
                         boost::asio::ssl::context &tls,
                         std::shared_ptr<SessionContext> context);

} // namespace kolta::server
