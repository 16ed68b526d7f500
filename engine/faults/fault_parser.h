#pragma once

#include <string>

#include "faults/fault_switches.h"

namespace kolta::engine {

inline constexpr char kFaultsVariable[] = "KOLTA_ENGINE_FAULTS";

// Parses "key=value,key=value"; throws std::invalid_argument naming an
// unknown key or a bad value.
FaultSwitches parse_fault_switches(const std::string &text);

// parse_fault_switches on the variable's value; no switches when unset.
FaultSwitches fault_switches_from_environment();

} // namespace kolta::engine
