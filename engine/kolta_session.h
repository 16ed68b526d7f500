#pragma once

#include <memory>
#include <mutex>
#include <optional>

#include <kolta/kolta_sdk.h>

#include "key_scheme.h"
#include "logger.h"

namespace kolta::engine {

// The reference engine's IKoltaSdk: offline sign-in by key scheme, and
// processors that share only the logger with it.
class KoltaSession final : public IKoltaSdk {
public:
    explicit KoltaSession(std::shared_ptr<Logger> logger);

    SdkResult activate_api_key(const std::string &api_key) override;
    std::string version() override;
    std::unique_ptr<IAudioProcessor>
    create_audio_processor(const ProcessorAttributes &attrs) override;

private:
    std::unique_ptr<IAudioProcessor> refuse(const std::string &reason);

    const std::shared_ptr<Logger> logger_;
    std::mutex mutex_;
    std::optional<Entitlements> entitlements_; // empty: signed out
};

} // namespace kolta::engine
