#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kolta/kolta_sdk.h>

#include "key_scheme.h"
#include "logger.h"

namespace kolta::engine {

// The reference engine's IKoltaSdk: offline sign-in by key scheme, and
// processors that share only the logger with it.
class KoltaSession final : public IKoltaSdk {
public:
    // `models_dir`: where the recogniser's models are; empty for Debian's path.
    KoltaSession(std::shared_ptr<Logger> logger, std::string models_dir);

    SdkResult activate_api_key(const std::string &api_key) override;
    std::string version() override;
    std::unique_ptr<IAudioProcessor>
    create_audio_processor(const ProcessorAttributes &attrs) override;

private:
    std::unique_ptr<IAudioProcessor> refuse(const std::string &reason);

    const std::shared_ptr<Logger> logger_;
    const std::string models_dir_;
    std::mutex mutex_;
    std::optional<Entitlements> entitlements_; // empty: signed out
};

} // namespace kolta::engine
