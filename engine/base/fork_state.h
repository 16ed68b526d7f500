#pragma once

#include <cstdint>
#include <memory>
#include <thread>

namespace kolta::engine {

// How many fork() calls lie between this process and the one that loaded the
// engine: 0 there, one more in each child. An object that owns threads
// records it at creation; a different value later means that its threads
// stayed behind in the parent.
std::uint64_t fork_generation() noexcept;

// For an object created before a fork and destroyed in the child: `thread`
// names a thread of the parent (joining it throws, detaching it writes into
// the parent's bookkeeping) and `state` is what that thread was using. Both
// are kept for the rest of the process, untouched and still reachable.
void abandon_inherited_thread(std::thread &thread, std::shared_ptr<void> state = nullptr);

// Only the forking thread exists in a child, so every process-wide lock is
// held across fork(): a lock copied while another thread held it would never
// be released there. The levels are the engine's lock order.
enum class ForkLockLevel : unsigned { kSessions, kSignInService, kSharedLogs, kCount };

struct ForkHooks {
    void (*hold)() = nullptr;    // before fork()
    void (*release)() = nullptr; // after it, in the parent and in the child
};

// Hooks are held in level order and released in reverse. Returns true, so a
// unit can register its own from a static initialiser.
bool register_fork_hooks(ForkLockLevel level, ForkHooks hooks) noexcept;

} // namespace kolta::engine
