#pragma once

#include <string>

#include "speech/recogniser_model.h"

namespace kolta::engine {

// Why the recogniser cannot load `model`; empty when it can. On a file it
// cannot read the recogniser's library ends the whole process, so the model
// is first loaded in a short-lived child process, killed past a deadline.
// Checked once per model per process (the first processor waits for it).
std::string recogniser_model_fault(const RecogniserModel &model);

} // namespace kolta::engine
