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
    ~KoltaSession() override;

    KoltaSession(const KoltaSession &) = delete;
    KoltaSession &operator=(const KoltaSession &) = delete;

    SdkResult activate_api_key(const std::string &api_key) override;
    std::string version() override;
    std::unique_ptr<IAudioProcessor>
    create_audio_processor(const ProcessorAttributes &attrs) override;

private:
    friend void hold_sessions_for_fork();
    friend void release_sessions_after_fork();

    std::unique_ptr<IAudioProcessor> refuse(const std::string &reason);

    const std::shared_ptr<Logger> logger_;
    const std::string models_dir_;
    std::mutex mutex_;
    std::optional<Entitlements> entitlements_; // empty: signed out
};

// Fork handlers: every session's lock is held across fork(), so a child can
// go on using the sessions it inherits.
void hold_sessions_for_fork();
void release_sessions_after_fork();

} // namespace kolta::engine
