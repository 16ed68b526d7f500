#include "base/env_vars.h"

#include <cstdlib>

namespace kolta::engine {

std::optional<std::string> read_environment(const char *name) {
#if defined(_MSC_VER)
    // std::getenv is flagged as unsafe by MSVC; _dupenv_s is its safe twin.
    char *buffer = nullptr;
    std::size_t size = 0;
    if (_dupenv_s(&buffer, &size, name) != 0 || buffer == nullptr) {
        return std::nullopt;
    }
    std::string value(buffer);
    std::free(buffer);
    return value;
#else
    const char *value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
#endif
}

} // namespace kolta::engine
