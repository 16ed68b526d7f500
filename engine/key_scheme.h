#pragma once

#include <chrono>
#include <optional>
#include <set>
#include <string>

#include <kolta/sdk_types.h>

namespace kolta::engine {

// Which models a signed-in session may use.
struct Entitlements {
    bool all = false;
    std::set<std::string> models;

    bool allows(const std::string &model) const { return all || models.count(model) > 0; }
    // For the log: "all" or a count, never the names (they would spell the key).
    std::string summary() const;
};

// What an API key means to the offline reference sign-in.
struct KeyDecision {
    std::chrono::milliseconds delay{0};
    SdkResult result;
    std::optional<Entitlements> entitlements; // set exactly when result.success
};

inline constexpr char kDemoKey[] = "KOLTA-DEMO-KEY";
inline constexpr unsigned long long kMaxKeyDelayMs = 10000;

KeyDecision interpret_api_key(const std::string &key);

} // namespace kolta::engine
