#pragma once

// Included by the networking units only: it brings in Beast.
#include <memory>

#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>

#include "http_session.h"

namespace kolta::server {

using UpgradeRequest = boost::beast::http::request<boost::beast::http::string_body>;

// Takes over a connection whose request asked for /v1/stream as a WebSocket
// and serves one audio stream on it (docs/protocol.md, "Audio streams").
void start_stream_session(boost::beast::tcp_stream stream, UpgradeRequest request,
                          std::shared_ptr<SessionContext> context);
void start_stream_session(boost::beast::ssl_stream<boost::beast::tcp_stream> stream,
                          UpgradeRequest request,
                          std::shared_ptr<SessionContext> context);

} // namespace kolta::server
