#include "bridge/gil_safe_callable.h"
#include "bridge/gil_scopes.h"

#include <thread>

#include "bridge/registration.h"

namespace kolta_py {

void bind_gil_selftest(nb::module_ &m) {
    m.def("_gil_selftest", [](nb::callable callable) {
        std::function<void(int)> f = wrap_gil<void(int)>(std::move(callable));
        // Started with the GIL held: its call waits until the join below
        // releases it.
        std::thread worker([copy = f] { copy(42); });
        ScopedGilRelease unlocked;
        worker.join();
    });
}

} // namespace kolta_py
