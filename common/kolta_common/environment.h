#pragma once

namespace kolta_common {

// The variable that names the folder of speech models. The module reads it
// into InitParams.models_dir when the record is made; the reference engine
// reads it again when a processor is made, where an explicit choice means no
// fallback to the system's models.
inline constexpr char kModelsDirVariable[] = "KOLTA_MODELS_DIR";

} // namespace kolta_common
