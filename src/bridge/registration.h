#pragma once

#include <nanobind/nanobind.h>

namespace kolta_py {

namespace nb = nanobind;

// A second run of the definition body in one process (re-import after
// `del sys.modules[...]`, or after a failed import) must not register a type
// twice: the binding library refuses that fatally. Types already registered
// are put on the new module as they are.
template <typename T> bool reuse_registered(nb::module_ &m, const char *name) {
    nb::handle existing = nb::type<T>();
    if (!existing.is_valid())
        return false;
    m.attr(name) = existing;
    return true;
}

// The binding library creates an enumeration inside a function that must not
// fail, so an enum module that cannot be imported would end the process there.
// Importing it first turns that into an ordinary import error.
inline void require_enum_module() {
    nb::module_::import_("enum").attr("IntEnum");
}

} // namespace kolta_py
