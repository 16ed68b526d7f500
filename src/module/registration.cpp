#include "module/bindings.h"

namespace kolta_py {

void register_module(nb::module_ &m) {
    m.doc() = "Kolta SDK Python bindings"; // 1
    m.attr("__version__") = "2.0.1";       // 2
    bind_transcript_type(m);               // 3
    bind_pipeline_state(m);                // 4
    bind_sdk_error_type(m);                // 5
    bind_gil_selftest(m);                  // 6
    bind_audio_frame(m);                   // 7
    bind_cloud_inferencing_params(m);      // 8
    bind_audio_attributes(m);              // 9
    bind_transcript_segment(m);            // 10
    bind_transcript_data(m);               // 11
    bind_text_frame(m);                    // 12
    bind_language_translation_config(m);   // 13
    bind_processor_attributes(m);          // 14
    bind_sdk_result(m);                    // 15
    bind_init_params(m);                   // 16
    bind_sdk(m);                           // 17
    bind_create_sdk(m);                    // 18
    bind_audio_processor(m);               // 19
}

} // namespace kolta_py
