#pragma once

#include <nanobind/nanobind.h>

namespace kolta_py {

namespace nb = nanobind;

// Each registers one step of the definition body (see registration.cpp).
void bind_transcript_type(nb::module_ &m);
void bind_pipeline_state(nb::module_ &m);
void bind_sdk_error_type(nb::module_ &m);
void bind_gil_selftest(nb::module_ &m);
void bind_audio_frame(nb::module_ &m);
void bind_cloud_inferencing_params(nb::module_ &m);
void bind_audio_attributes(nb::module_ &m);
void bind_transcript_segment(nb::module_ &m);
void bind_transcript_data(nb::module_ &m);
void bind_text_frame(nb::module_ &m);
void bind_language_translation_config(nb::module_ &m);
void bind_processor_attributes(nb::module_ &m);
void bind_sdk_result(nb::module_ &m);
void bind_init_params(nb::module_ &m);
void bind_sdk(nb::module_ &m);
void bind_create_sdk(nb::module_ &m);
void bind_audio_processor(nb::module_ &m);

// Registers the whole Python surface, in its fixed order.
void register_module(nb::module_ &m);

} // namespace kolta_py
