// The engine's fork handlers. Only the forking thread exists in a child, so
// every process-wide lock is held across fork() (a lock copied while another
// thread held it would never be released in the child), and objects that own
// threads learn from the generation that those threads are gone.
#include "fork_state.h"

#include <atomic>

#include "kolta_session.h"
#include "logger.h"

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#define KOLTA_ENGINE_HAS_ATFORK 1
#endif

namespace kolta::engine {

namespace {

std::atomic<std::uint64_t> generation{0};

// Kept in a list reachable from a global, never freed: the parent's threads
// may still be referenced from their (copied, now dead) stacks.
struct Abandoned {
    std::thread thread;
    std::shared_ptr<void> state;
    Abandoned *next;
};
std::atomic<Abandoned *> abandoned{nullptr};

#ifdef KOLTA_ENGINE_HAS_ATFORK
// Lock order as everywhere in the engine: a session's lock before a log's.
void before_fork() {
    hold_sessions_for_fork();
    hold_shared_logs_for_fork();
}

void after_fork_in_parent() {
    release_shared_logs_after_fork();
    release_sessions_after_fork();
}

void after_fork_in_child() {
    generation.fetch_add(1);
    release_shared_logs_after_fork();
    release_sessions_after_fork();
}

const bool handlers_installed =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
#endif

} // namespace

std::uint64_t fork_generation() noexcept {
    return generation.load();
}

void abandon_inherited_thread(std::thread &thread, std::shared_ptr<void> state) {
    if (!thread.joinable() && !state) {
        return;
    }
    auto *node = new Abandoned{std::move(thread), std::move(state), abandoned.load()};
    while (!abandoned.compare_exchange_weak(node->next, node)) {
    }
}

} // namespace kolta::engine
