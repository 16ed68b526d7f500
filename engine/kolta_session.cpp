#include "kolta_session.h"

#include <atomic>
#include <set>
#include <stdexcept>
#include <thread>

#include "audio_format.h"
#include "audio_processor.h"
#include "engine_options.h"
#include "error_names.h"
#include "faults.h"
#include "model_selection.h"
#include "version.h"

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

KoltaSession::KoltaSession(std::shared_ptr<Logger> logger, std::string models_dir)
    : logger_(std::move(logger)), models_dir_(std::move(models_dir)) {
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

std::string KoltaSession::version() {
    return kEngineVersion;
}

SdkResult KoltaSession::activate_api_key(const std::string &api_key) {
    KeyDecision decision = interpret_api_key(api_key);
    if (decision.delay.count() > 0) {
        std::this_thread::sleep_for(decision.delay);
    }
    const std::string key = mask_secret(api_key);
    if (decision.result.success) {
        const std::string summary = decision.entitlements->summary();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entitlements_ = std::move(decision.entitlements);
        }
        logger_->info("sign-in succeeded: key=" + key + " entitlements=" + summary);
    } else {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            entitlements_.reset();
        }
        logger_->warn("sign-in failed: key=" + key +
                      " error=" + error_type_name(decision.result.error_type) +
                      " message=\"" + decision.result.message + "\"");
    }
    return decision.result;
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
    {
        std::lock_guard<std::mutex> lock(mutex_);
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
