#pragma once

namespace kolta::engine {

inline constexpr char kEngineVersion[] = "2.0.1-reference";

} // namespace kolta::engine
