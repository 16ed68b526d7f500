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

} // namespace kolta::engine
