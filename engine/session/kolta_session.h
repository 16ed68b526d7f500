#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <kolta/kolta_sdk.h>
#include <kolta_common/key_scheme.h>

#include "base/logger.h"
#include "service/sign_in_answer.h"

namespace kolta::engine {

// The reference engine's IKoltaSdk: sign-in through the sign-in service of
// its environment (or the embedded one), and processors that share only the
// logger with it.
class KoltaSession final : public IKoltaSdk {
public:
    // `models_dir`: where the recogniser's models are; empty for Debian's path.
    // `environment` chooses the sign-in service; `storage_dir` holds the
    // embedded one's data when none is configured.
    KoltaSession(std::shared_ptr<Logger> logger, std::string models_dir,
                 Environment environment, std::string storage_dir);
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
    SignInOutcome sign_in(const std::string &api_key);

    const std::shared_ptr<Logger> logger_;
    const std::string models_dir_;
    const Environment environment_;
    const std::string storage_dir_;
    std::mutex mutex_;
    std::optional<kolta_common::Entitlements> entitlements_; // empty: signed out
    // Where the cloud path streams, and the token it shows there.
    struct StreamAccess {
        std::string service_url;
        std::string token;
    };
    std::optional<StreamAccess> stream_access_; // set with entitlements_
};

} // namespace kolta::engine
