#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "router.h"
#include "service_log.h"
#include "service_options.h"

namespace kolta::server {

// The network side of the service: one listening port (HTTP, or HTTPS with
// TLS files), its connections, and the threads that run them.
class Service {
public:
    // Binds and listens; throws std::runtime_error (address in use, TLS
    // files unusable, ...). `handling_lock`, when given, is held wherever a
    // connection uses the account store or OpenSSL (a request routed, a
    // stream's config read, its id drawn): a program that embeds the service
    // holds it across fork() so that no thread of the service is inside
    // SQLite or OpenSSL at that moment.
    Service(const ServiceOptions &options, std::shared_ptr<const Router> router,
            std::shared_ptr<ServiceLog> log, std::mutex *handling_lock = nullptr);
    // Stops (if running) and closes every connection.
    ~Service();

    Service(const Service &) = delete;
    Service &operator=(const Service &) = delete;

    // "http://127.0.0.1:8470" or "https://...", with the port actually bound.
    std::string url() const;
    unsigned short port() const;

    // Serves on this thread (and options.threads - 1 more) until SIGTERM or
    // SIGINT arrives; returns the signal's number. SIGINT stops at once.
    // SIGTERM drains: health answers 503, new streams are refused, open ones
    // go on for up to options.drain_timeout and are then closed with 1001
    // (a second SIGTERM stops at once). SIGHUP calls the hang-up handler.
    // `ready` is called once the signals are caught: a signal sent after it
    // (say, by a supervisor that read a log line written there) stops the
    // service the way above, never by the signal's default action.
    int run_until_signalled(const std::function<void()> &ready = nullptr);
    // What SIGHUP does (re-reading the token secrets); none: SIGHUP is not
    // caught. Set before run_until_signalled().
    void on_hangup(std::function<void()> handler);
    // Serves on options.threads background threads until stop().
    void start();
    // Stops serving and joins the background threads; idempotent.
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace kolta::server
