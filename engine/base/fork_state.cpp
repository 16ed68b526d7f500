// The engine's fork handlers: the registered lock holders around fork(), and
// the generation from which objects that own threads learn, in a child, that
// those threads are gone.
#include "base/fork_state.h"

#include <array>
#include <atomic>

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

// Constant-initialised, so registrations from other units' static
// initialisers may run before or after this unit's.
std::array<ForkHooks, static_cast<unsigned>(ForkLockLevel::kCount)> hooks{};

#ifdef KOLTA_ENGINE_HAS_ATFORK
void before_fork() {
    for (const ForkHooks &level : hooks) {
        if (level.hold != nullptr) {
            level.hold();
        }
    }
}

void release_in_reverse() {
    for (auto level = hooks.rbegin(); level != hooks.rend(); ++level) {
        if (level->release != nullptr) {
            level->release();
        }
    }
}

void after_fork_in_parent() {
    release_in_reverse();
}

void after_fork_in_child() {
    generation.fetch_add(1);
    release_in_reverse();
}

const bool handlers_installed =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child) == 0;
#endif

} // namespace

bool register_fork_hooks(ForkLockLevel level, ForkHooks level_hooks) noexcept {
    hooks[static_cast<unsigned>(level)] = level_hooks;
    return true;
}

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
