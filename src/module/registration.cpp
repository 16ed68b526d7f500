#include "module/bindings.h"

namespace kolta_py {

// The definition body: the whole Python surface, in its fixed order.
void register_module(nb::module_ &m) {
    m.doc() = "Kolta SDK Python bindings"; // 1: module documentation
    m.attr("__version__") = "2.0.1";       // 2: module version
    bind_transcript_type(m);               // 3: TranscriptType
    bind_pipeline_state(m);                // 4: PipelineState
    bind_sdk_error_type(m);                // 5: SdkErrorType
    bind_gil_selftest(m);                  // 6: _gil_selftest
    bind_audio_frame(m);                   // 7: AudioFrame
    bind_cloud_inferencing_params(m);      // 8: CloudInferencingParams
    bind_audio_attributes(m);              // 9: AudioAttributes
    bind_transcript_segment(m);            // 10: TranscriptSegment
    bind_transcript_data(m);               // 11: TranscriptData
    bind_text_frame(m);                    // 12: TextFrame
    bind_language_translation_config(m);   // 13: LanguageTranslationConfig
    bind_processor_attributes(m);          // 14: ProcessorAttributes
    bind_sdk_result(m);                    // 15: SdkResult
    bind_init_params(m);                   // 16: InitParams
    bind_sdk(m);                           // 17: Sdk
    bind_create_sdk(m);                    // 18: create_sdk
    bind_audio_processor(m);               // 19: AudioProcessor
}

} // namespace kolta_py
