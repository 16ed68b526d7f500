#include "service/embedded_service.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "server/data_dir.h"
#include "server/service_setup.h"

#include "base/fork_state.h"

namespace kolta::engine {

namespace {

constexpr std::size_t kEmbeddedStreamsPerToken = 1u << 20;
constexpr std::chrono::hours kEmbeddedStreamIdle{24};

// Never destroyed: the process may exit (or fork) while the service's threads
// run; stop_at_exit ends them first.
struct Embedded {
    std::mutex mutex;                   // guards the fields below
    std::mutex handling;                // held by the service while it routes a request
    server::Service *service = nullptr; // of this process, or abandoned in a child
    std::uint64_t generation = 0;       // fork_generation() when it started
    std::string url;
    bool exit_hook_registered = false;
    // Services inherited through fork(), kept reachable (leak checkers would
    // otherwise report what the parent still uses).
    std::vector<server::Service *> inherited;
};

Embedded &embedded() {
    static Embedded *const instance = new Embedded;
    return *instance;
}

void hold_embedded_service_for_fork() {
    Embedded &state = embedded();
    state.mutex.lock();
    state.handling.lock();
}

void release_embedded_service_after_fork() {
    Embedded &state = embedded();
    state.handling.unlock();
    state.mutex.unlock();
}

const bool fork_hooks_registered = register_fork_hooks(
    ForkLockLevel::kSignInService,
    {hold_embedded_service_for_fork, release_embedded_service_after_fork});

// Registered after the service first started, so it runs before the exit
// handlers of what the service uses (OpenSSL's among them). In a forked
// child it leaves the parent's service alone.
void stop_at_exit() {
    Embedded &state = embedded();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.service != nullptr && state.generation == fork_generation()) {
        state.service->stop();
    }
}

std::FILE *open_service_log(const std::filesystem::path &dir) {
    std::FILE *file = std::fopen((dir / "service.log").string().c_str(), "a");
    if (file == nullptr) {
        throw std::runtime_error("cannot open '" + (dir / "service.log").string() + "'");
    }
    return file;
}

} // namespace

std::string embedded_service_url(const std::string &storage_dir, Logger &logger) {
    Embedded &state = embedded();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.service != nullptr && state.generation == fork_generation()) {
        return state.url;
    }
    // A service inherited through fork() has no threads here, and its
    // sockets, SQLite connection and I/O queue are the parent's: left as
    // they are, never destroyed.
    if (state.service != nullptr) {
        state.inherited.push_back(state.service);
        state.service = nullptr;
    }

    server::ServiceOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.data_dir = std::filesystem::absolute(
        std::filesystem::path(storage_dir.empty() ? "." : storage_dir) / "service");
    options.test_keys = true;
    // Every processor of the process streams here: the models run on the
    // service's threads, so it gets the machine's cores, a stream per
    // processor, and a processor may sit idle as long as its owner likes.
    options.threads = std::max(2u, std::thread::hardware_concurrency());
    options.stream.sessions_per_token = kEmbeddedStreamsPerToken;
    options.stream.idle_timeout = kEmbeddedStreamIdle;
    options.guard.max_failures = 0;
    server::prepare_data_dir(options.data_dir);
    auto log = std::make_shared<server::ServiceLog>(open_service_log(options.data_dir));
    std::unique_ptr<server::Service> service =
        server::open_service(options, log, &state.handling);
    service->start();
    state.url = service->url();
    state.generation = fork_generation();
    state.service = service.release();
    if (!state.exit_hook_registered) {
        state.exit_hook_registered = std::atexit(stop_at_exit) == 0;
    }
    log->info("embedded service listening on " + state.url + " (test keys on, data " +
              options.data_dir.string() + ")");
    logger.info("embedded service listening on " + state.url + " (data " +
                options.data_dir.string() + ")");
    return state.url;
}

} // namespace kolta::engine
