#include "session/init_params.h"

#include <nanobind/stl/string.h>

#include <cstdlib>
#include <filesystem>

#include <kolta_common/environment.h>

#include "bridge/registration.h"

namespace kolta_py {

namespace {

std::string env_or_empty(const char *name) {
    const char *value = std::getenv(name);
    return value ? std::string(value) : std::string();
}

kolta::Environment environment_from(std::string value) {
    for (char &c : value)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    if (value == "dev")
        return kolta::Environment::kDev;
    if (value == "staging")
        return kolta::Environment::kStaging;
    if (value == "uat")
        return kolta::Environment::kUat;
    return kolta::Environment::kDefault;
}

std::string models_dir_from_environment() {
    std::string configured = env_or_empty(kolta_common::kModelsDirVariable);
    if (!configured.empty())
        return configured;
    return (std::filesystem::current_path() / "models").string();
}

} // namespace

kolta::InitParams make_init_params(std::string storage_dir) {
    kolta::InitParams params{};
    params.storage_dir = std::move(storage_dir);
    params.models_dir = models_dir_from_environment();
    params.environment = environment_from(env_or_empty("KOLTA_ENVIRONMENT"));
    return params;
}

void bind_init_params(nb::module_ &m) {
    if (reuse_registered<kolta::InitParams>(m, "InitParams"))
        return;
    nb::class_<kolta::InitParams>(m, "InitParams",
                                  "Initialization parameters for the core SDK.")
        .def(
            "__init__",
            [](kolta::InitParams *self, std::string storage_dir) {
                new (self) kolta::InitParams(make_init_params(std::move(storage_dir)));
            },
            nb::arg("storage_dir") = "./storage")
        .def_rw("storage_dir", &kolta::InitParams::storage_dir,
                "SDK storage directory (SDK data + logs). Logs are written to "
                "storage_dir/logs.");
}

} // namespace kolta_py
