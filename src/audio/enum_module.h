#pragma once

#include <nanobind/nanobind.h>

namespace kolta_py {

namespace nb = nanobind;

// The binding library creates an enumeration inside a function that must not
// fail, so an enum module that cannot be imported would end the process there.
// Importing it first turns that into an ordinary (import-time) Python error.
inline void require_enum_module() {
    nb::object int_enum = nb::module_::import_("enum").attr("IntEnum");
    (void)int_enum;
}

} // namespace kolta_py
