#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

namespace kolta::engine {

// Test switches read from KOLTA_ENGINE_FAULTS when a processor is created.
// Zero means "off" for the counters.
struct FaultSwitches {
    std::uint64_t throw_on_frame = 0;
    std::uint64_t pipeline_drop_on_frame = 0;
    std::optional<std::int32_t> bad_state;
    std::uint64_t state_flood = 0;
    std::uint64_t transcript_flood = 0;
    unsigned transcript_threads = 0;
    std::optional<std::chrono::milliseconds> connect_delay;
    std::chrono::milliseconds slow_frame{0};
};

} // namespace kolta::engine
