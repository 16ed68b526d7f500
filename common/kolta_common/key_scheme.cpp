#include "kolta_common/key_scheme.h"

#include "kolta_common/bounded_number.h"
#include "kolta_common/error_names.h"

namespace kolta_common {

using kolta::SdkErrorType;
using kolta::SdkResult;

namespace {

constexpr char kModelsPrefix[] = "kt_";
constexpr char kFailPrefix[] = "fail_";

bool starts_with(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

SdkResult refusal(SdkErrorType type, std::string message) {
    SdkResult result;
    result.success = false;
    result.error_type = type;
    result.message = std::move(message);
    return result;
}

KeyDecision not_recognised() {
    KeyDecision decision;
    decision.result = refusal(SdkErrorType::kUnauthorized, kKeyNotRecognised);
    return decision;
}

KeyDecision granted(Entitlements entitlements) {
    KeyDecision decision;
    decision.result.success = true;
    decision.result.message = "activated";
    decision.entitlements = std::move(entitlements);
    decision.recognised = true;
    return decision;
}

std::optional<Entitlements> parse_model_list(const std::string &list) {
    Entitlements entitlements;
    if (list == "all") {
        entitlements.all = true;
        return entitlements;
    }
    std::size_t begin = 0;
    while (true) {
        const std::size_t plus = list.find('+', begin);
        const std::string name = list.substr(begin, plus - begin);
        if (name.empty()) {
            return std::nullopt;
        }
        entitlements.models.insert(name);
        if (plus == std::string::npos) {
            return entitlements;
        }
        begin = plus + 1;
    }
}

KeyDecision interpret_without_delay(const std::string &key) {
    if (key.empty()) {
        KeyDecision decision;
        decision.result = refusal(SdkErrorType::kNoCredentials, "no API key given");
        return decision;
    }
    if (key == kDemoKey) {
        Entitlements all;
        all.all = true;
        return granted(all);
    }
    if (starts_with(key, kModelsPrefix)) {
        auto entitlements = parse_model_list(key.substr(sizeof kModelsPrefix - 1));
        return entitlements ? granted(*entitlements) : not_recognised();
    }
    if (starts_with(key, kFailPrefix)) {
        const std::string member = key.substr(sizeof kFailPrefix - 1);
        if (auto type = error_type_from_name(member)) {
            KeyDecision decision;
            decision.result = refusal(*type, "sign-in refused (" + member +
                                                 "): " + error_type_description(*type));
            decision.recognised = true;
            return decision;
        }
    }
    return not_recognised();
}

} // namespace

std::string Entitlements::summary() const {
    if (all) {
        return "all";
    }
    return std::to_string(models.size()) + " model(s)";
}

Entitlements entitlements_of(const std::vector<std::string> &models) {
    Entitlements entitlements;
    for (const std::string &model : models) {
        if (model == kEveryModel) {
            entitlements.all = true;
        } else {
            entitlements.models.insert(model);
        }
    }
    return entitlements;
}

KeyDecision interpret_api_key(const std::string &key) {
    const std::size_t at = key.rfind('@');
    if (at == std::string::npos) {
        return interpret_without_delay(key);
    }
    const auto delay_ms = parse_bounded_number(key.substr(at + 1), kMaxKeyDelayMs);
    if (!delay_ms) {
        return not_recognised();
    }
    KeyDecision decision = interpret_without_delay(key.substr(0, at));
    decision.delay = std::chrono::milliseconds(*delay_ms);
    return decision;
}

} // namespace kolta_common
