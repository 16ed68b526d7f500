#pragma once

#include <chrono>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <kolta/sdk_types.h>

namespace kolta_common {

// The protocol's model name that stands for every model.
inline constexpr char kEveryModel[] = "*";

// Which models a signed-in session may use.
struct Entitlements {
    bool all = false;
    std::set<std::string> models;

    bool allows(const std::string &model) const { return all || models.count(model) > 0; }
    // For the log: "all" or a count, never the names (they would spell the key).
    std::string summary() const;
};

// What a list of model names grants, as a sign-in answer or a token carries
// it (kEveryModel: every model).
Entitlements entitlements_of(const std::vector<std::string> &models);

// What an API key means to the reference sign-in: the engine's offline keys,
// which the service also honours when asked to (kolta-server --test-keys).
// Pure: the caller waits out `delay` its own way.
struct KeyDecision {
    std::chrono::milliseconds delay{0};
    kolta::SdkResult result;
    std::optional<Entitlements> entitlements; // set exactly when result.success
    // One of the scheme's keys (granted, or refused because it asked to be),
    // as opposed to a key the scheme does not know.
    bool recognised = false;
};

inline constexpr char kDemoKey[] = "KOLTA-DEMO-KEY";
// The message of an UNAUTHORIZED refusal: a key nobody issued.
inline constexpr char kKeyNotRecognised[] = "API key not recognised";
inline constexpr unsigned long long kMaxKeyDelayMs = 10000;

KeyDecision interpret_api_key(const std::string &key);

} // namespace kolta_common
