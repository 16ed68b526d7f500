#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>

namespace kolta::server {

// What one connection may cost the service, so that a bad client cannot
// affect the others.
struct ConnectionLimits {
    std::size_t max_header_bytes = 8 * 1024;
    std::size_t max_body_bytes = 16 * 1024;
    // For the whole of one request (and the TLS handshake), however slowly
    // its bytes arrive; also how long an idle kept-alive connection stays.
    std::chrono::milliseconds read_timeout{10000};
    std::chrono::milliseconds write_timeout{10000};
    std::size_t max_connections = 1024;
};

// The brute-force guard: failed sign-ins counted per client address and per
// presented key in fixed windows; at most `capacity` of each are tracked.
struct GuardLimits {
    unsigned max_failures = 10; // per window; 0: no guard
    std::chrono::seconds window{60};
    std::size_t capacity = 4096;
};

// What one audio stream (/v1/stream) may cost the service.
struct StreamLimits {
    std::size_t max_message_bytes = 64 * 1024;
    std::chrono::milliseconds idle_timeout{30000};
    std::size_t sessions_per_token = 16;
};

struct TlsFiles {
    std::filesystem::path certificate; // PEM, may hold the chain
    std::filesystem::path private_key; // PEM
};

struct ServiceOptions {
    std::string host = "127.0.0.1";
    unsigned short port = 8470; // 0: the system picks one
    std::filesystem::path data_dir;
    // Accounts in this PostgreSQL database (postgresql://...) instead of
    // data_dir, shared by every instance given the same one.
    std::string database_url;
    // Token secrets from this file (token_secrets.h) instead of data_dir:
    // instances given the same file accept each other's tokens.
    std::filesystem::path token_secret_file;
    // After SIGTERM, how long open streams may go on before they are closed.
    std::chrono::milliseconds drain_timeout{10000};
    std::optional<TlsFiles> tls;
    bool test_keys = false; // also honour the reference engine's keys
    unsigned threads = 2;
    std::chrono::seconds token_lifetime{900};
    ConnectionLimits connection;
    GuardLimits guard;
    StreamLimits stream;
};

} // namespace kolta::server
