#include "bridge/interpreter_exit.h"
#include "bridge/main_interpreter.h"
#include "module/bindings.h"

NB_MODULE(_kolta_module, m) {
    kolta_py::require_main_interpreter();
    // At import, not first use: exit handlers registered from here on run
    // before the hook in any case.
    kolta_py::detail::install_exit_hook();
    kolta_py::register_module(m);
}
