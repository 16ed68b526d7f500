#include <kolta/audio_types.h>

#include "module/bindings.h"

namespace kolta_py {

void bind_pipeline_state(nb::module_ &) {}
void bind_cloud_inferencing_params(nb::module_ &) {}
void bind_audio_attributes(nb::module_ &) {}
void bind_processor_attributes(nb::module_ &) {}

} // namespace kolta_py
