#include "kolta_common/error_names.h"

#include <cctype>
#include <vector>

#include "kolta_common/sdk_errors.h"

namespace kolta_common {

using kolta::SdkErrorType;

namespace {

struct ErrorEntry {
    SdkErrorType type;
    std::string member_name;
    std::string name;
    const char *description;
};

std::string lower_case(const char *upper) {
    std::string name(upper);
    for (char &c : name) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return name;
}

const std::vector<ErrorEntry> &errors() {
    static const std::vector<ErrorEntry> table = {
#define KOLTA_ERROR_ENTRY(member, name, description)                                     \
    {SdkErrorType::member, #name, lower_case(#name), description},
        KOLTA_SDK_ERROR_TYPES(KOLTA_ERROR_ENTRY)
#undef KOLTA_ERROR_ENTRY
    };
    return table;
}

const ErrorEntry *find_entry(SdkErrorType type) {
    for (const auto &entry : errors()) {
        if (entry.type == type) {
            return &entry;
        }
    }
    return nullptr;
}

std::string unknown_name(SdkErrorType type) {
    return "unknown(" + std::to_string(static_cast<int>(type)) + ")";
}

} // namespace

std::string error_type_name(SdkErrorType type) {
    const ErrorEntry *entry = find_entry(type);
    return entry != nullptr ? entry->name : unknown_name(type);
}

std::string error_type_member_name(SdkErrorType type) {
    const ErrorEntry *entry = find_entry(type);
    return entry != nullptr ? entry->member_name : unknown_name(type);
}

std::string error_type_description(SdkErrorType type) {
    const ErrorEntry *entry = find_entry(type);
    return entry != nullptr ? entry->description : "an unknown failure occurred";
}

std::optional<SdkErrorType> error_type_from_name(const std::string &name) {
    for (const auto &entry : errors()) {
        if (name == entry.name) {
            return entry.type;
        }
    }
    return std::nullopt;
}

std::optional<SdkErrorType> error_type_from_member_name(const std::string &name) {
    for (const auto &entry : errors()) {
        if (name == entry.member_name) {
            return entry.type;
        }
    }
    return std::nullopt;
}

} // namespace kolta_common
