#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

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

inline constexpr char kFaultsVariable[] = "KOLTA_ENGINE_FAULTS";

// Parses "key=value,key=value"; throws std::invalid_argument naming an
// unknown key or a bad value.
FaultSwitches parse_fault_switches(const std::string &text);

// parse_fault_switches on the variable's value; no switches when unset.
FaultSwitches fault_switches_from_environment();

} // namespace kolta::engine
