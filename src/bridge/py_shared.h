#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <future>
#include <memory>
#include <system_error>
#include <thread>
#include <utility>

#include "bridge/gil_scopes.h"

namespace kolta_py {

namespace nb = nanobind;

// Drops `ref` with the GIL released: a last reference to a library object runs
// its teardown, which may join library threads that wait for the GIL.
template <typename T> void drop_without_gil(std::shared_ptr<T> &ref) {
    if (!ref)
        return;
    std::shared_ptr<T> detached = std::move(ref);
    ScopedGilRelease unlocked;
    detached.reset();
}

// Like drop_without_gil, for an explicit close: a teardown held up by a
// callback that does not return must not make the main thread deaf to Ctrl-C.
// The last reference goes on a thread of its own while this one waits,
// checking for signals; KeyboardInterrupt (or whatever a signal handler
// raises) ends the wait, and the teardown completes when it can. Elsewhere
// (no signals to handle; a library thread may be closing from a callback,
// which the library handles on its own thread) the drop is direct.
template <typename T> void drop_interruptibly(std::shared_ptr<T> &ref) {
    if (!ref)
        return;
    if (ref.use_count() != 1 || !on_main_thread())
        return drop_without_gil(ref);
    // The reference goes into a box the thread shares: should the thread not
    // start, the box is still this thread's to drop without the GIL (a lambda
    // that had taken the reference itself would drop it here, GIL held).
    auto last = std::make_shared<std::shared_ptr<T>>(std::move(ref));
    auto finished = std::make_shared<std::promise<void>>();
    std::future<void> done = finished->get_future();
    try {
        std::thread([last, finished] {
            last->reset();
            finished->set_value();
        }).detach();
    } catch (const std::system_error &) {
        return drop_without_gil(*last); // no thread to be had: wait uninterrupted
    }
    for (;;) {
        {
            ScopedGilRelease unlocked;
            if (done.wait_for(std::chrono::milliseconds(50)) == std::future_status::ready)
                return;
        }
        if (PyErr_CheckSignals() != 0)
            throw nb::python_error();
    }
}

// Runs fn(*ref) with the GIL released. The call's own reference is dropped
// before the GIL is taken back, on success and on failure alike.
template <typename T, typename Fn>
decltype(auto) call_without_gil(std::shared_ptr<T> ref, Fn &&fn) {
    ScopedGilRelease unlocked;
    struct Drop {
        std::shared_ptr<T> &ref;
        ~Drop() { ref.reset(); }
    } drop{ref};
    return std::forward<Fn>(fn)(*ref);
}

// What a Python object owns for one shared library object. The GIL must be
// held for every operation; the reference itself is only ever dropped with
// the GIL released.
template <typename T> class PyShared {
public:
    PyShared() = default;
    explicit PyShared(std::shared_ptr<T> ptr) : ptr_(std::move(ptr)) {}
    PyShared(const PyShared &) = default;
    // Moving behaves like copying: both holders share the object.
    PyShared(PyShared &&other) : ptr_(other.ptr_) {}
    PyShared &operator=(const PyShared &) = delete;
    ~PyShared() { release(); }

    // A reference of the caller's own, empty once released.
    std::shared_ptr<T> share() const { return ptr_; }
    bool empty() const { return !ptr_; }
    void release() { drop_without_gil(ptr_); }
    // release() for close() and with-blocks: interruptible by Ctrl-C.
    void close() { drop_interruptibly(ptr_); }

private:
    std::shared_ptr<T> ptr_;
};

} // namespace kolta_py
