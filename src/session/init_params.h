#pragma once

#include <kolta/sdk_types.h>

#include <string>

namespace kolta_py {

// The record as the Python constructor builds it: storage_dir from the
// argument, models_dir and environment from the process environment now.
kolta::InitParams make_init_params(std::string storage_dir);

} // namespace kolta_py
