#include "module/bindings.h"

NB_MODULE(_kolta_module, m) {
    kolta_py::register_module(m);
}
