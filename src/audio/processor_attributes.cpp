#include <kolta/audio_types.h>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "audio/element_views.h"
#include "bridge/gil_safe_callable.h"
#include "bridge/record_gc.h"
#include "bridge/registration.h"

namespace kolta_py {

namespace {

using PipelineStateNotify = void(kolta::PipelineState);

// Local inference only when the variable reads exactly "1" at construction.
bool cloud_inferencing_from_environment() {
    const char *value = std::getenv("KOLTA_LOCAL_INFERENCING");
    return !(value && std::strcmp(value, "1") == 0);
}

void construct_audio_attributes(
    kolta::AudioAttributes *self, std::uint32_t sampling_rate, std::uint16_t channels,
    std::string model_name, const kolta::CloudInferencingParams &cloud_inferencing_params,
    std::optional<nb::callable> audio_pipeline_state_notify) {
    kolta::AudioAttributes attrs;
    attrs.sampling_rate = sampling_rate;
    attrs.channels = channels;
    attrs.model_name = std::move(model_name);
    attrs.cloud_inferencing_params = cloud_inferencing_params;
    attrs.use_cloud_inferencing = cloud_inferencing_from_environment();
    if (audio_pipeline_state_notify)
        attrs.audio_pipeline_state_notify =
            wrap_gil<PipelineStateNotify>(std::move(*audio_pipeline_state_notify));
    new (self) kolta::AudioAttributes(std::move(attrs));
}

// Records copied from Python objects into a ProcessorAttributes get callbacks
// of their own (see own_copy).
kolta::AudioAttributes owned_copy(const kolta::AudioAttributes &attrs) {
    kolta::AudioAttributes copy = attrs;
    copy.audio_pipeline_state_notify = own_copy(attrs.audio_pipeline_state_notify);
    return copy;
}

kolta::LanguageTranslationConfig
owned_copy(const kolta::LanguageTranslationConfig &config) {
    kolta::LanguageTranslationConfig copy = config;
    copy.callback = own_copy(config.callback);
    return copy;
}

void construct_processor_attributes(kolta::ProcessorAttributes *self,
                                    const kolta::AudioAttributes &audio_attributes,
                                    const kolta::LanguageTranslationConfig *lt_config) {
    kolta::ProcessorAttributes attrs;
    attrs.audio_attributes = owned_copy(audio_attributes);
    if (lt_config)
        attrs.lt_config = owned_copy(*lt_config);
    new (self) kolta::ProcessorAttributes(std::move(attrs));
}

void set_audio_attributes(kolta::ProcessorAttributes &attrs,
                          const kolta::AudioAttributes &value) {
    attrs.audio_attributes = owned_copy(value);
}

void set_lt_config(kolta::ProcessorAttributes &attrs,
                   std::optional<kolta::LanguageTranslationConfig> value) {
    if (value)
        *value = owned_copy(*value);
    std::optional<kolta::LanguageTranslationConfig> &slot = attrs.lt_config;
    if (slot && !value) {
        // A view of the contained config would outlive it.
        set_view_usable(*slot, false);
        slot.reset();
    } else if (slot) {
        *slot = std::move(*value);
    } else if (value) {
        slot.emplace(std::move(*value));
        set_view_usable(*slot, true);
    }
}

} // namespace

void bind_pipeline_state(nb::module_ &m) {
    using E = kolta::PipelineState;
    if (reuse_registered<E>(m, "PipelineState"))
        return;
    require_enum_module();
    nb::enum_<E>(m, "PipelineState",
                 "Remote-inference pipeline state, delivered to "
                 "AudioAttributes.audio_pipeline_state_notify. Wait for RUNNING before "
                 "feeding frames on the remote (cloud) path.",
                 nb::is_arithmetic())
        .value("UNKNOWN", E::kUnknown, "Pipeline is in an unknown state.")
        .value("TRYING", E::kTrying,
               "Establishing the connection with the remote inference server.")
        .value("RUNNING", E::kRunning,
               "Pipeline is actively running and processing audio.")
        .value("NOT_RUNNING", E::kNotRunning,
               "Pipeline is not running or has disconnected.");
}

namespace {

std::array<PyObject *, 2>
audio_attributes_callables(const kolta::AudioAttributes &attrs) {
    return {sole_callable(attrs.audio_pipeline_state_notify), nullptr};
}

void clear_audio_attributes_callbacks(kolta::AudioAttributes &attrs) {
    attrs.audio_pipeline_state_notify = nullptr;
}

std::array<PyObject *, 2>
processor_attributes_callables(const kolta::ProcessorAttributes &attrs) {
    const auto &lt = attrs.lt_config;
    return {audio_attributes_callables(attrs.audio_attributes)[0],
            lt ? sole_callable(lt->callback) : nullptr};
}

void clear_processor_attributes_callbacks(kolta::ProcessorAttributes &attrs) {
    clear_audio_attributes_callbacks(attrs.audio_attributes);
    if (attrs.lt_config)
        attrs.lt_config->callback = nullptr;
}

using AudioAttributesGc = RecordGc<kolta::AudioAttributes, &audio_attributes_callables,
                                   &clear_audio_attributes_callbacks>;
using ProcessorAttributesGc =
    RecordGc<kolta::ProcessorAttributes, &processor_attributes_callables,
             &clear_processor_attributes_callbacks>;

} // namespace

void bind_cloud_inferencing_params(nb::module_ &m) {
    using P = kolta::CloudInferencingParams;
    if (reuse_registered<P>(m, "CloudInferencingParams"))
        return;
    nb::class_<P>(m, "CloudInferencingParams",
                  "Parameters that apply only to cloud / remote inference sessions. "
                  "Ignored for local inference.")
        .def(nb::init<>())
        .def_rw("use_pcm16", &P::use_pcm16,
                "Negotiate L16 (raw 16-bit linear PCM) at the call's sample rate instead "
                "of the rate-default codec. Preserves fidelity and avoids server-side "
                "transcoding at the cost of bandwidth. Default: False.");
}

void bind_audio_attributes(nb::module_ &m) {
    using A = kolta::AudioAttributes;
    if (reuse_registered<A>(m, "AudioAttributes"))
        return;
    nb::class_<A>(m, "AudioAttributes",
                  "Audio-processing configuration for create_audio_processor (buffer / "
                  "stream path). Selects the model to run (via model_name) and the "
                  "session PCM format, and supplies the pipeline-state callback. The "
                  "requested model must be entitled to the activated user.",
                  nb::type_slots(AudioAttributesGc::slots))
        .def("__init__", &construct_audio_attributes, nb::arg("sampling_rate") = 16000,
             nb::arg("channels") = 1, nb::arg("model_name") = "",
             nb::arg("cloud_inferencing_params") = kolta::CloudInferencingParams{},
             nb::arg("audio_pipeline_state_notify") = nb::none())
        .def_rw("sampling_rate", &A::sampling_rate,
                "Session sample rate in Hz. The host must push, and receives back, all "
                "AudioFrame PCM at this rate for the lifetime of the processor.")
        .def_rw("channels", &A::channels,
                "Session channel count (1 = mono, 2 = stereo). Applies to both the "
                "pushed and the returned AudioFrame PCM.")
        .def_rw("model_name", &A::model_name,
                "Model key selecting the model to run; validated against the user's "
                "entitlements. For Language Translation leave this empty and set "
                "ProcessorAttributes.lt_config instead.")
        .def_rw("cloud_inferencing_params", &A::cloud_inferencing_params,
                "Cloud / remote inference tuning parameters. Only meaningful when the "
                "session runs on cloud inference; ignored for local inference.")
        .def_prop_rw(
            "audio_pipeline_state_notify",
            [](const A &) { return nb::object(nb::none()); },
            [](A &attrs, nb::callable notify) {
                attrs.audio_pipeline_state_notify =
                    wrap_gil<PipelineStateNotify>(std::move(notify));
            },
            "Invoked with the current PipelineState as the processor's remote pipeline "
            "connects / disconnects. Start pumping frames only once kRunning is "
            "reported; frames pushed earlier pass through unprocessed.");
}

void bind_processor_attributes(nb::module_ &m) {
    using P = kolta::ProcessorAttributes;
    if (reuse_registered<P>(m, "ProcessorAttributes"))
        return;
    nb::class_<P>(
        m, "ProcessorAttributes",
        "Attributes passed to Sdk.create_audio_processor. Always configures the "
        "audio-processing path via audio_attributes; when asr_attributes is "
        "also set, the processor runs the ASR/SSI path instead.",
        nb::type_slots(ProcessorAttributesGc::slots))
        .def("__init__", &construct_processor_attributes, nb::arg("audio_attributes"),
             nb::arg("lt_config").none() = nb::none())
        .def_prop_rw(
            "audio_attributes",
            [](P &attrs) -> kolta::AudioAttributes & { return attrs.audio_attributes; },
            &set_audio_attributes,
            "Audio-processing configuration (model, output format, sink).",
            nb::rv_policy::reference_internal)
        .def_prop_rw(
            "lt_config",
            [](const P &attrs)
                -> const std::optional<kolta::LanguageTranslationConfig> & {
                return attrs.lt_config;
            },
            &set_lt_config,
            "Language Translation config, forwarded to the pipeline when the model "
            "resolved from audio_attributes.model_name is a Language Translation model. "
            "None otherwise.");
}

} // namespace kolta_py
