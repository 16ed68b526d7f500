#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "bridge/gil_safe_callable.h"

namespace kolta_py {

namespace nb = nanobind;

// Releases the GIL around a blocking library call, like nb::gil_scoped_release,
// but never lets CPython end the thread while it takes the GIL back. CPython
// 3.10 ends a thread that waits for the GIL of a finalising interpreter with a
// forced unwind, which cannot cross this (noexcept) destructor nor the binding
// library's noexcept dispatcher: the process would abort ("terminate called
// without an active exception") whenever a daemon thread is inside a library
// call at exit. The GIL is taken back as a thread admitted by the bridge's exit
// protocol, so the exit hook waits for it; once admission is closed, the
// thread never returns into Python and parks until the process ends, as
// CPython 3.14 does with such threads. The thread that runs the exit handlers
// (and finalises) is never parked.
class ScopedGilRelease {
public:
    ScopedGilRelease() {
        detail::install_exit_hook(); // the GIL is held here
        state_ = PyEval_SaveThread();
    }
    ~ScopedGilRelease() {
        detail::ExitState &exit = detail::exit_state;
        if (exit.exiting.load() && std::this_thread::get_id() == exit.exit_thread) {
            PyEval_RestoreThread(state_);
            return;
        }
        exit.admitted.fetch_add(1);
        if (exit.exiting.load()) {
            exit.admitted.fetch_sub(1);
            for (;;)
                std::this_thread::sleep_for(std::chrono::hours(24));
        }
        PyEval_RestoreThread(state_);
        exit.admitted.fetch_sub(1);
    }
    ScopedGilRelease(const ScopedGilRelease &) = delete;
    ScopedGilRelease &operator=(const ScopedGilRelease &) = delete;

private:
    PyThreadState *state_;
};

// Drops `ref` with the GIL released: a last reference to a library object runs
// its teardown, which may join library threads that wait for the GIL.
template <typename T> void drop_without_gil(std::shared_ptr<T> &ref) {
    if (!ref)
        return;
    std::shared_ptr<T> detached = std::move(ref);
    ScopedGilRelease unlocked;
    detached.reset();
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

private:
    std::shared_ptr<T> ptr_;
};

} // namespace kolta_py
