#include "session/sdk.h"

#include <nanobind/stl/string.h>

#include <kolta_common/sdk_errors.h>

#include "bridge/registration.h"

namespace kolta_py {

void bind_sdk_error_type(nb::module_ &m) {
    using E = kolta::SdkErrorType;
    if (reuse_registered<E>(m, "SdkErrorType"))
        return;
    require_enum_module();
    nb::enum_<E> type(m, "SdkErrorType",
                      "Failure category carried by SdkResult.error_type.",
                      nb::is_arithmetic());
#define KOLTA_BIND_ERROR_TYPE(member, name, description) type.value(#name, E::member);
    KOLTA_SDK_ERROR_TYPES(KOLTA_BIND_ERROR_TYPE)
#undef KOLTA_BIND_ERROR_TYPE
}

void bind_sdk_result(nb::module_ &m) {
    if (reuse_registered<kolta::SdkResult>(m, "SdkResult"))
        return;
    nb::class_<kolta::SdkResult>(m, "SdkResult", "Result of an SDK operation.")
        .def(nb::init<>())
        .def_ro("success", &kolta::SdkResult::success,
                "Success/failure result of the operation.")
        .def_ro("error_type", &kolta::SdkResult::error_type,
                "Type of failure (SdkErrorType).")
        .def_ro("message", &kolta::SdkResult::message, "Error message.");
}

void bind_sdk(nb::module_ &m) {
    if (reuse_registered<SdkHolder>(m, "Sdk"))
        return;
    SdkClass cls(m, "Sdk",
                 "Core Kolta SDK handle providing audio processing and user session "
                 "management. Obtain via create_sdk.");
    cls.def_prop_ro(
           "version",
           [](const SdkHolder &self) {
               // The one library call made with the GIL held.
               std::shared_ptr<kolta::IKoltaSdk> sdk = self.share();
               return sdk->version();
           },
           "The SDK version string.")
        .def(
            "activate_api_key",
            [](const SdkHolder &self, const std::string &api_key) {
                return call_without_gil(self.share(), [&](kolta::IKoltaSdk &sdk) {
                    return sdk.activate_api_key(api_key);
                });
            },
            nb::arg("api_key"),
            "Activate the agent synchronously using an API key. Blocks until "
            "activation completes and returns an SdkResult.");
    def_create_audio_processor(cls);
}

void bind_create_sdk(nb::module_ &m) {
    m.def(
        "create_sdk",
        [](const kolta::InitParams &init_params) {
            std::unique_ptr<SdkHolder> holder;
            {
                ScopedGilRelease unlocked;
                holder = std::make_unique<SdkHolder>(kolta::CreateKoltaSdk(init_params));
            }
            return holder.release();
        },
        nb::arg("init_params"),
        "Create a Kolta SDK object from InitParams (blocking; initialises the engine).",
        nb::rv_policy::take_ownership);
}

} // namespace kolta_py
