#include "faults/fault_parser.h"

#include <stdexcept>

#include <kolta_common/bounded_number.h>

#include "base/env_vars.h"

namespace kolta::engine {

namespace {

constexpr unsigned long long kMaxCount = 100000000ULL;
constexpr unsigned long long kMaxThreads = 64;
constexpr unsigned long long kMaxDelayMs = 10000;

std::string trim(const std::string &text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

[[noreturn]] void bad_value(const std::string &key, const std::string &value,
                            const std::string &expected) {
    throw std::invalid_argument(std::string(kFaultsVariable) + ": bad value '" + value +
                                "' for '" + key + "' (expected " + expected + ")");
}

unsigned long long number(const std::string &key, const std::string &value,
                          unsigned long long max) {
    auto parsed = kolta_common::parse_bounded_number(value, max);
    if (!parsed) {
        bad_value(key, value, "an integer from 0 to " + std::to_string(max));
    }
    return *parsed;
}

std::int32_t signed_number(const std::string &key, const std::string &value) {
    const bool negative = !value.empty() && value[0] == '-';
    auto magnitude = kolta_common::parse_bounded_number(
        negative ? value.substr(1) : value, negative ? 2147483648ULL : 2147483647ULL);
    if (!magnitude) {
        bad_value(key, value, "a 32-bit integer");
    }
    const long long signed_value = negative ? -static_cast<long long>(*magnitude)
                                            : static_cast<long long>(*magnitude);
    return static_cast<std::int32_t>(signed_value);
}

void apply(FaultSwitches &switches, const std::string &key, const std::string &value) {
    if (key == "throw_on_frame") {
        switches.throw_on_frame = number(key, value, kMaxCount);
    } else if (key == "pipeline_drop_on_frame") {
        switches.pipeline_drop_on_frame = number(key, value, kMaxCount);
    } else if (key == "bad_state") {
        switches.bad_state = signed_number(key, value);
    } else if (key == "state_flood") {
        switches.state_flood = number(key, value, kMaxCount);
    } else if (key == "transcript_flood") {
        switches.transcript_flood = number(key, value, kMaxCount);
    } else if (key == "transcript_threads") {
        switches.transcript_threads =
            static_cast<unsigned>(number(key, value, kMaxThreads));
    } else if (key == "connect_delay_ms") {
        switches.connect_delay =
            std::chrono::milliseconds(number(key, value, kMaxDelayMs));
    } else if (key == "slow_frame_ms") {
        switches.slow_frame = std::chrono::milliseconds(number(key, value, kMaxDelayMs));
    } else {
        throw std::invalid_argument(std::string(kFaultsVariable) +
                                    ": unknown fault switch '" + key + "'");
    }
}

} // namespace

FaultSwitches parse_fault_switches(const std::string &text) {
    FaultSwitches switches;
    std::size_t begin = 0;
    while (begin <= text.size()) {
        std::size_t comma = text.find(',', begin);
        if (comma == std::string::npos) {
            comma = text.size();
        }
        const std::string item = trim(text.substr(begin, comma - begin));
        begin = comma + 1;
        if (item.empty()) {
            continue;
        }
        const std::size_t equals = item.find('=');
        const std::string key = trim(item.substr(0, equals));
        // A missing "=value" reads as an empty value: reported as a bad value
        // for a known switch, as an unknown switch otherwise.
        const std::string value =
            equals == std::string::npos ? std::string() : trim(item.substr(equals + 1));
        apply(switches, key, value);
    }
    return switches;
}

FaultSwitches fault_switches_from_environment() {
    auto text = read_environment(kFaultsVariable);
    return text ? parse_fault_switches(*text) : FaultSwitches{};
}

} // namespace kolta::engine
