#pragma once

#include <nanobind/nanobind.h>

namespace kolta_py {

namespace nb = nanobind;

// Library threads reach Python through the GIL-state API, which knows only
// the main interpreter: in a subinterpreter, a callback or the last release
// of a callable would wait for good. Refuse the import there instead.
inline void require_main_interpreter() {
    if (PyInterpreterState_Get() != PyInterpreterState_Main())
        throw nb::import_error(
            "_kolta_module can only be imported in the main interpreter: its "
            "callbacks arrive on library threads through the GIL-state API, which "
            "subinterpreters do not support");
}

} // namespace kolta_py
