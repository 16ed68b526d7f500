#include "session/kolta_session.h"

#include <atomic>
#include <set>
#include <stdexcept>

#include <kolta_common/error_names.h>
#include <kolta_common/json.h>
#include <kolta_common/key_scheme.h>
#include <kolta_common/log_text.h>

#include "base/audio_format.h"
#include "base/engine_options.h"
#include "base/fork_state.h"
#include "base/stream_codec.h"
#include "base/version.h"
#include "faults/fault_parser.h"
#include "processor/audio_processor.h"
#include "processor/model_selection.h"
#include "service/embedded_service.h"
#include "service/service_config.h"
#include "service/sign_in_client.h"

namespace kolta::engine {

namespace {

std::uint64_t next_processor_id() {
    static std::atomic<std::uint64_t> counter{0};
    return ++counter;
}

struct LiveSessions {
    std::mutex mutex;
    std::set<KoltaSession *> sessions;
};

LiveSessions &live_sessions() {
    static LiveSessions live;
    return live;
}

} // namespace

KoltaSession::KoltaSession(std::shared_ptr<Logger> logger, std::string models_dir,
                           Environment environment, std::string storage_dir)
    : logger_(std::move(logger)), models_dir_(std::move(models_dir)),
      environment_(environment), storage_dir_(std::move(storage_dir)) {
    LiveSessions &live = live_sessions();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.sessions.insert(this);
}

KoltaSession::~KoltaSession() {
    LiveSessions &live = live_sessions();
    std::lock_guard<std::mutex> lock(live.mutex);
    live.sessions.erase(this);
}

void hold_sessions_for_fork() {
    LiveSessions &live = live_sessions();
    live.mutex.lock();
    for (KoltaSession *session : live.sessions) {
        session->mutex_.lock();
    }
}

void release_sessions_after_fork() {
    LiveSessions &live = live_sessions();
    for (KoltaSession *session : live.sessions) {
        session->mutex_.unlock();
    }
    live.mutex.unlock();
}

namespace {
const bool fork_hooks_registered = register_fork_hooks(
    ForkLockLevel::kSessions, {hold_sessions_for_fork, release_sessions_after_fork});
} // namespace

std::string KoltaSession::version() {
    return kEngineVersion;
}

SignInOutcome KoltaSession::sign_in(const std::string &api_key) {
    // JSON carries UTF-8 only, and no service issues a key that is not.
    if (!kolta_common::is_valid_utf8(api_key)) {
        return sign_in_refused(SdkErrorType::kUnauthorized,
                               kolta_common::kKeyNotRecognised);
    }
    const auto timeout = sign_in_timeout();
    if (const auto configured = configured_service_url(environment_)) {
        const auto url = parse_service_url(configured->second);
        if (!url) {
            return sign_in_refused(SdkErrorType::kServerUnreachable,
                                   configured->first + "='" + configured->second +
                                       "' is not an http:// or https:// address");
        }
        return sign_in_over_http(*url, api_key, timeout);
    }
    std::string embedded;
    try {
        embedded = embedded_service_url(storage_dir_, *logger_);
    } catch (const std::exception &error) {
        return sign_in_refused(
            SdkErrorType::kServerUnreachable,
            std::string("cannot start the embedded sign-in service: ") + error.what());
    }
    return sign_in_over_http(*parse_service_url(embedded), api_key, timeout);
}

SdkResult KoltaSession::activate_api_key(const std::string &api_key) {
    SignInOutcome outcome = sign_in(api_key);
    const std::string key = kolta_common::mask_secret(api_key);
    if (outcome.result.success) {
        const std::string summary = outcome.entitlements->summary();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entitlements_ = std::move(outcome.entitlements);
            stream_access_ = StreamAccess{outcome.service_url, outcome.token};
        }
        logger_->info("sign-in succeeded: key=" + key + " entitlements=" + summary);
    } else {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entitlements_.reset();
            stream_access_.reset();
        }
        logger_->warn("sign-in failed: key=" + key + " error=" +
                      kolta_common::error_type_name(outcome.result.error_type) +
                      " message=\"" + outcome.result.message + "\"");
    }
    return outcome.result;
}

std::unique_ptr<IAudioProcessor>
KoltaSession::create_audio_processor(const ProcessorAttributes &attrs) {
    const AudioAttributes &audio = attrs.audio_attributes;
    try {
        validate_format(audio.sampling_rate, audio.channels);
    } catch (const std::invalid_argument &error) {
        logger_->error(std::string("processor refused: ") + error.what());
        throw;
    }

    const ModelSelection selection = select_model(attrs);
    if (!selection.choice) {
        return refuse(selection.refusal);
    }
    const ModelChoice &choice = *selection.choice;
    std::optional<StreamAccess> access;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        access = stream_access_;
        if (!entitlements_) {
            return refuse("not signed in");
        }
        if (!entitlements_->allows(choice.model)) {
            return refuse("not entitled to model '" + choice.model + "'");
        }
    }

    ProcessorSetup setup;
    try {
        setup.faults = fault_switches_from_environment();
        setup.options = engine_options_from_environment();
    } catch (const std::invalid_argument &error) {
        logger_->error(std::string("processor refused: ") + error.what());
        throw;
    }
    setup.id = next_processor_id();
    setup.format = StreamFormat{audio.sampling_rate, audio.channels};
    setup.choice = choice;
    setup.cloud = audio.use_cloud_inferencing;
    if (setup.cloud && setup.options.cloud == CloudMode::kStream) {
        setup.streaming = true;
        if (access) {
            StreamRequest request;
            request.service_url = access->service_url;
            request.token = access->token;
            request.model = choice.model;
            request.rate = audio.sampling_rate;
            request.channels = audio.channels;
            request.codec = choose_stream_codec(audio.sampling_rate,
                                                audio.cloud_inferencing_params.use_pcm16);
            if (attrs.lt_config) {
                request.language_in = attrs.lt_config->language_in;
                request.language_out = attrs.lt_config->language_out;
            }
            setup.stream = std::move(request);
        }
    }
    setup.lt_config = attrs.lt_config;
    setup.on_state = audio.audio_pipeline_state_notify;
    setup.models_dir = models_dir_;
    setup.logger = logger_;
    return std::make_unique<AudioProcessor>(std::move(setup));
}

std::unique_ptr<IAudioProcessor> KoltaSession::refuse(const std::string &reason) {
    logger_->warn("processor refused: " + reason);
    return nullptr;
}

} // namespace kolta::engine
