#include <kolta/transcript_types.h>

#include "module/bindings.h"

namespace kolta_py {

void bind_transcript_type(nb::module_ &) {}
void bind_transcript_segment(nb::module_ &) {}
void bind_transcript_data(nb::module_ &) {}
void bind_text_frame(nb::module_ &) {}
void bind_language_translation_config(nb::module_ &) {}

} // namespace kolta_py
