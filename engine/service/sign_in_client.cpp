// Sign-ins over HTTP(S); the audio streams have their own client (client/).
#include "service/sign_in_client.h"

#include <optional>
#include <type_traits>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <kolta_common/json.h>

#include "base/env_vars.h"
#include "base/version.h"

namespace kolta::engine {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

constexpr std::size_t kMaxAnswerBytes = 64 * 1024;

// One request and its answer over `Stream`, driven by the caller's
// io_context; `finished` once the answer is read or a step failed.
template <class Stream> struct Exchange {
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    Exchange(Stream &stream_, const ServiceUrl &url_,
             http::request<http::string_body> &request_)
        : stream(stream_), url(url_), request(request_) {}

    Stream &stream;
    const ServiceUrl &url;
    http::request<http::string_body> &request;
    beast::flat_buffer buffer;
    http::response_parser<http::string_body> parser;
    const char *step = "resolving its name";
    beast::error_code error;
    bool finished = false;

    void fail(beast::error_code ec) {
        error = ec;
        finished = true;
    }

    void connect(std::vector<tcp::endpoint> endpoints) {
        step = "connecting";
        beast::get_lowest_layer(stream).async_connect(
            endpoints, [this](beast::error_code ec, const tcp::endpoint &) {
                if (ec) {
                    return fail(ec);
                }
                handshake();
            });
    }

    void handshake() {
        if constexpr (kTls) {
            step = "in the TLS handshake";
            stream.async_handshake(asio::ssl::stream_base::client,
                                   [this](beast::error_code ec) {
                                       if (ec) {
                                           return fail(ec);
                                       }
                                       send();
                                   });
        } else {
            send();
        }
    }

    void send() {
        step = "sending";
        http::async_write(stream, request, [this](beast::error_code ec, std::size_t) {
            if (ec) {
                return fail(ec);
            }
            receive();
        });
    }

    void receive() {
        step = "waiting for the answer";
        parser.body_limit(kMaxAnswerBytes);
        http::async_read(stream, buffer, parser,
                         [this](beast::error_code ec, std::size_t) {
                             if (ec) {
                                 return fail(ec);
                             }
                             finished = true;
                         });
    }
};

template <class Stream>
SignInOutcome run(asio::io_context &io, Stream &stream, const ServiceUrl &url,
                  http::request<http::string_body> &request,
                  std::chrono::milliseconds timeout) {
    Exchange<Stream> exchange{stream, url, request};
    tcp::resolver resolver(io);
    beast::error_code ec;
    const auto address = asio::ip::make_address(url.host, ec);
    if (!ec) {
        exchange.connect({tcp::endpoint(address, url.port)});
    } else {
        resolver.async_resolve(url.host, std::to_string(url.port),
                               [&exchange](beast::error_code resolve_error,
                                           const tcp::resolver::results_type &results) {
                                   if (resolve_error) {
                                       return exchange.fail(resolve_error);
                                   }
                                   exchange.connect({results.begin(), results.end()});
                               });
    }
    io.run_for(timeout);
    if (!exchange.finished) {
        return sign_in_refused(SdkErrorType::kServerUnreachable,
                               "no answer from the sign-in service at " + url.text +
                                   " within " + std::to_string(timeout.count()) +
                                   " ms (" + exchange.step + ")");
    }
    if (exchange.error) {
        return sign_in_refused(SdkErrorType::kServerUnreachable,
                               "cannot reach the sign-in service at " + url.text + " (" +
                                   exchange.step + "): " + exchange.error.message());
    }
    const auto &answer = exchange.parser.get();
    return read_sign_in_answer(answer.result_int(), answer.body(), url.text);
}

} // namespace

SignInOutcome sign_in_over_http(const ServiceUrl &url, const std::string &api_key,
                                std::chrono::milliseconds timeout) {
    http::request<http::string_body> request{http::verb::post,
                                             url.base_path + "/v1/sign-in", 11};
    request.set(http::field::host, host_header(url));
    request.set(http::field::user_agent, std::string("KoltaSdk/") + kEngineVersion);
    request.set(http::field::content_type, "application/json");
    request.keep_alive(false);
    request.body() = kolta_common::JsonWriter().string("api_key", api_key).finish();
    request.prepare_payload();

    // Declared first, destroyed last: what is still queued when the deadline
    // passes is dropped with it, never run.
    asio::io_context io;
    if (!url.tls) {
        beast::tcp_stream stream(io);
        return run(io, stream, url, request, timeout);
    }
    asio::ssl::context tls(asio::ssl::context::tls_client);
    beast::error_code ec;
    tls.set_default_verify_paths(ec);
    if (const auto ca_file = read_environment(kServiceCaFileVariable);
        ca_file && !ca_file->empty()) {
        tls.load_verify_file(*ca_file, ec);
        if (ec) {
            return sign_in_refused(SdkErrorType::kServerUnreachable,
                                   std::string("cannot use ") + kServiceCaFileVariable +
                                       " '" + *ca_file + "': " + ec.message());
        }
    }
    tls.set_verify_mode(asio::ssl::verify_peer);
    beast::ssl_stream<beast::tcp_stream> stream(io, tls);
    SSL_set_tlsext_host_name(stream.native_handle(), url.host.c_str());
    stream.set_verify_callback(asio::ssl::host_name_verification(url.host));
    return run(io, stream, url, request, timeout);
}

} // namespace kolta::engine
