#pragma once

#include <nanobind/nanobind.h>

#include <chrono>
#include <thread>

#include "bridge/interpreter_exit.h"

namespace kolta_py {

namespace detail {

// From CPython 3.11 on, PyGILState_Ensure on a native thread without a thread
// state creates one, and the matching release destroys it, on every call
// (tens of microseconds). A native thread therefore keeps the one it gets on
// its first entry, by holding one extra nesting level, until the thread exits.
class NativeThreadState {
public:
    // Called with the GIL held through PyGILState_Ensure.
    void keep() {
        if (!kept_) {
            outer_ = PyGILState_Ensure();
            kept_ = true;
        }
    }
    ~NativeThreadState() {
        if (!kept_)
            return;
        InterpreterEntry entry;
        if (!entry)
            return; // left to the interpreter that is going away
        PyGILState_STATE inner = PyGILState_Ensure();
        PyGILState_Release(outer_); // only unnests: it was taken with the GIL held
        PyGILState_Release(inner);  // deletes the thread state and the GIL with it
    }

private:
    PyGILState_STATE outer_ = PyGILState_UNLOCKED;
    bool kept_ = false;
};

inline thread_local NativeThreadState native_thread_state;

} // namespace detail

// Holds the GIL for its lifetime on any thread, nesting where it is held. A
// native thread keeps its thread state for later entries.
class ScopedGilState {
public:
    ScopedGilState() {
        const bool native = PyGILState_GetThisThreadState() == nullptr;
        state_ = PyGILState_Ensure();
        if (native)
            detail::native_thread_state.keep();
    }
    ~ScopedGilState() { PyGILState_Release(state_); }
    ScopedGilState(const ScopedGilState &) = delete;
    ScopedGilState &operator=(const ScopedGilState &) = delete;

private:
    PyGILState_STATE state_;
};

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

} // namespace kolta_py
