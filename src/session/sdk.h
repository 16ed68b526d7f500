#pragma once

#include <kolta/kolta_sdk.h>

#include "bridge/py_shared.h"

namespace kolta_py {

using SdkHolder = PyShared<kolta::IKoltaSdk>;
using SdkClass = nb::class_<SdkHolder>;

// Sdk.create_audio_processor, registered with the rest of the processor.
void def_create_audio_processor(SdkClass &cls);

} // namespace kolta_py
