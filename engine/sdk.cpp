// The library entry point: CreateKoltaSdk.
#include <kolta/kolta_sdk.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <thread>

#include <kolta_common/bounded_number.h>

#include "base/env_vars.h"
#include "base/logger.h"
#include "base/version.h"
#include "session/kolta_session.h"

namespace kolta {

namespace {

constexpr char kStartupDelayVariable[] = "KOLTA_ENGINE_STARTUP_DELAY_MS";
constexpr unsigned long long kMaxStartupDelayMs = 10000;

std::string environment_name(Environment environment) {
    switch (environment) {
    case Environment::kDev:
        return "dev";
    case Environment::kStaging:
        return "staging";
    case Environment::kUat:
        return "uat";
    case Environment::kDefault:
        return "default";
    }
    return "unknown(" + std::to_string(static_cast<int>(environment)) + ")";
}

std::filesystem::path prepare_log_directory(const std::string &storage_dir) {
    // The operating system would see only the part before a NUL: refuse the
    // path rather than create and write somewhere else.
    if (storage_dir.find('\0') != std::string::npos) {
        std::string shown;
        for (char c : storage_dir) {
            shown += c == '\0' ? std::string("\\0") : std::string(1, c);
        }
        throw std::runtime_error("cannot create storage directory '" + shown +
                                 "': contains a NUL character");
    }
    const std::filesystem::path storage = storage_dir.empty() ? "." : storage_dir;
    std::error_code ec;
    std::filesystem::create_directories(storage, ec);
    if (ec) {
        throw std::runtime_error("cannot create storage directory '" + storage.string() +
                                 "': " + ec.message());
    }
    const std::filesystem::path logs = storage / "logs";
    std::filesystem::create_directories(logs, ec);
    if (ec) {
        throw std::runtime_error("cannot create log directory '" + logs.string() +
                                 "': " + ec.message());
    }
    return logs;
}

// The simulated engine start-up: a positive whole number of milliseconds,
// capped; anything else means no delay.
std::chrono::milliseconds startup_delay() {
    const auto text = engine::read_environment(kStartupDelayVariable);
    if (!text) {
        return std::chrono::milliseconds(0);
    }
    const auto value = kolta_common::parse_bounded_number(*text, ~0ULL >> 1);
    if (!value) {
        return std::chrono::milliseconds(0);
    }
    return std::chrono::milliseconds(std::min(*value, kMaxStartupDelayMs));
}

} // namespace

std::shared_ptr<IKoltaSdk> CreateKoltaSdk(const InitParams &params) {
    const std::filesystem::path logs = prepare_log_directory(params.storage_dir);
    auto logger = engine::open_shared_log(logs / "kolta.log");

    const auto delay = startup_delay();
    if (delay.count() > 0) {
        std::this_thread::sleep_for(delay);
    }
    logger->info(std::string("engine started: version=") + engine::kEngineVersion +
                 " environment=" + environment_name(params.environment) +
                 " storage_dir=" + params.storage_dir +
                 " models_dir=" + params.models_dir);
    return std::make_shared<engine::KoltaSession>(std::move(logger), params.models_dir,
                                                  params.environment, params.storage_dir);
}

} // namespace kolta
