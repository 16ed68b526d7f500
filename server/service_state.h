#pragma once

#include <atomic>

#include "metrics.h"

namespace kolta::server {

// What the service's parts share about the service as a whole.
struct ServiceState {
    Metrics metrics;
    // Set on SIGTERM: health answers 503 and new streams are refused while
    // the open ones finish.
    std::atomic<bool> draining{false};
};

} // namespace kolta::server
