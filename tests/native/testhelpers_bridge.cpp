#include "testhelpers.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/gil_safe_callable.h"

namespace kolta_test {

namespace {

using kolta_py::wrap_gil;
using Callback = std::function<void(int)>;

void sleep_ms(std::int64_t ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A value the binding layer has no conversion for: the wrapper must report
// the failed conversion instead of calling the callable.
struct Unconvertible {};

// Starts a detached thread that owns a copy of the wrapped callable and calls
// it with 0, 1, 2, ... every interval_ms, until `count` calls are made (or
// forever when count is negative). Used to exit the interpreter under it.
void start_background_caller(nb::callable fn, std::int64_t interval_ms,
                             std::int64_t count) {
    Callback cb = wrap_gil<void(int)>(std::move(fn));
    std::thread([cb = std::move(cb), interval_ms, count] {
        for (std::int64_t i = 0; count < 0 || i < count; ++i) {
            cb(static_cast<int>(i & 0x7fffffff));
            if (interval_ms > 0)
                sleep_ms(interval_ms);
        }
    }).detach();
}

// Starts a detached thread that owns the only copy of the wrapped callable,
// sleeps delay_ms and then drops it.
void start_background_drop(nb::callable fn, std::int64_t delay_ms) {
    auto cb = std::make_unique<Callback>(wrap_gil<void(int)>(std::move(fn)));
    std::thread([cb = std::move(cb), delay_ms]() mutable {
        sleep_ms(delay_ms);
        cb.reset();
    }).detach();
}

// Keeps the GIL for `ms` without ever releasing it.
void hold_gil(std::int64_t ms) {
    sleep_ms(ms);
}

// Copies and destroys a wrapper many times on `threads` foreign threads that
// never hold the GIL; the last copy dies on one of them.
void churn_copies(nb::callable fn, int threads, int rounds) {
    std::vector<Callback> seeds;
    {
        Callback original = wrap_gil<void(int)>(std::move(fn));
        for (int t = 0; t < threads; ++t)
            seeds.push_back(original);
    }
    nb::gil_scoped_release unlocked;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([seed = std::move(seeds[t]), rounds]() mutable {
            std::vector<Callback> copies;
            for (int r = 0; r < rounds; ++r) {
                copies.push_back(seed);
                Callback moved = std::move(copies.back());
                copies.back() = moved;
                if (copies.size() > 16)
                    copies.clear();
            }
            copies.clear();
            seed = nullptr;
        });
    }
    seeds.clear();
    for (std::thread &w : workers)
        w.join();
}

// Calls the wrapper on the calling thread, which holds the GIL, and drops it
// there too.
void call_holding_gil(nb::callable fn, int value) {
    Callback cb = wrap_gil<void(int)>(std::move(fn));
    cb(value);
}

// A foreign thread drops the last copy while this thread keeps the GIL for
// hold_ms. Returns whether the drop had finished before the GIL was given up
// (it must not have: it needs the GIL).
bool drop_while_gil_held(nb::callable fn, std::int64_t hold_ms) {
    std::atomic<bool> dropping{false};
    std::atomic<bool> dropped{false};
    auto cb = std::make_unique<Callback>(wrap_gil<void(int)>(std::move(fn)));
    std::thread worker([&, cb = std::move(cb)]() mutable {
        dropping = true;
        cb.reset();
        dropped = true;
    });
    while (!dropping)
        std::this_thread::yield();
    sleep_ms(hold_ms);
    bool finished_early = dropped;
    nb::gil_scoped_release unlocked;
    worker.join();
    return finished_early;
}

// Calls a wrapper whose argument cannot be converted, on a foreign thread.
void call_unconvertible(nb::callable fn) {
    std::function<void(Unconvertible)> cb = wrap_gil<void(Unconvertible)>(std::move(fn));
    std::thread worker([copy = cb] { copy(Unconvertible{}); });
    nb::gil_scoped_release unlocked;
    worker.join();
}

} // namespace

void bind_bridge_helpers(nb::module_ &m) {
    m.def("start_background_caller", &start_background_caller, nb::arg("callable"),
          nb::arg("interval_ms"), nb::arg("count") = -1);
    m.def("start_background_drop", &start_background_drop, nb::arg("callable"),
          nb::arg("delay_ms"));
    m.def("hold_gil", &hold_gil, nb::arg("ms"));
    m.def("churn_copies", &churn_copies, nb::arg("callable"), nb::arg("threads"),
          nb::arg("rounds"));
    m.def("call_holding_gil", &call_holding_gil, nb::arg("callable"), nb::arg("value"));
    m.def("drop_while_gil_held", &drop_while_gil_held, nb::arg("callable"),
          nb::arg("hold_ms"));
    m.def("call_unconvertible", &call_unconvertible, nb::arg("callable"));
}

} // namespace kolta_test
