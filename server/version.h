#pragma once

namespace kolta::server {

// The project's version (pyproject.toml, the module's __version__); a test
// holds them together.
inline constexpr char kServiceVersion[] = "2.0.1";

// The protocol's version, the first part of every path: /v1/...
inline constexpr char kProtocolPrefix[] = "/v1";

} // namespace kolta::server
