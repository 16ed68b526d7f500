#pragma once

// Included by the networking units only: it brings in Asio.
#include <memory>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>

#include "http_session.h"

namespace kolta::server {

// Accepts connections and gives each a session of its own, on its own strand.
class Listener : public std::enable_shared_from_this<Listener> {
public:
    // Binds and listens; throws std::runtime_error naming the address and
    // the reason. `tls`, when given, must outlive the listener's sessions.
    Listener(boost::asio::io_context &io, const boost::asio::ip::tcp::endpoint &endpoint,
             boost::asio::ssl::context *tls, std::shared_ptr<SessionContext> context);

    void start();
    void stop();
    boost::asio::ip::tcp::endpoint local_endpoint() const;

private:
    void accept();
    void on_accept(boost::system::error_code ec, boost::asio::ip::tcp::socket socket);

    boost::asio::io_context &io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::steady_timer pause_;
    boost::asio::ssl::context *tls_;
    std::shared_ptr<SessionContext> context_;
};

} // namespace kolta::server
