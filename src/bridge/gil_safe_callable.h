#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace kolta_py {

namespace nb = nanobind;

namespace detail {

// Native threads admitted to the interpreter, and whether finalisation has
// begun. CPython 3.10 cannot tear down safely under a native thread that is
// inside Python: one that waits for the GIL is ended by a forced unwind (in a
// destructor that aborts the process), one that sleeps with the GIL released
// wakes on a freed interpreter. Our exit hook runs while the interpreter is
// still intact: it closes admission, then waits (GIL released, for a bounded
// time) for the admitted threads to finish their call or drop, so that none
// is inside Python when CPython sets its flag. The thread that runs the hook
// goes on with the remaining exit handlers and is never ended by CPython: it
// stays admitted until CPython sets its flag.
struct ExitState {
    std::atomic<int> admitted{0};
    std::atomic<bool> exiting{false};
    std::thread::id exit_thread; // written before `exiting` is set
    bool hooked = false;         // guarded by the GIL
};
inline ExitState exit_state;

} // namespace detail

// True once the interpreter has begun finalising, as far as the calling thread
// may touch it. Readable without the GIL: a foreign thread must not take the
// GIL of a finalising interpreter (it would hang or be torn down inside
// CPython).
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    if (Py_IsFinalizing())
        return true;
#else
    if (_Py_IsFinalizing())
        return true;
#endif
    return detail::exit_state.exiting.load() &&
           std::this_thread::get_id() != detail::exit_state.exit_thread;
}

namespace detail {

// Admits the calling thread to the interpreter unless it is finalising; the
// exit hook waits for every admitted thread to leave. Both sides use
// sequentially consistent operations: either the thread sees the hook's flag
// or the hook sees the thread's admission.
class InterpreterEntry {
public:
    InterpreterEntry() noexcept {
        exit_state.admitted.fetch_add(1);
        admitted_ = !interpreter_finalizing();
        if (!admitted_)
            exit_state.admitted.fetch_sub(1);
    }
    ~InterpreterEntry() { leave(); }
    InterpreterEntry(const InterpreterEntry &) = delete;
    InterpreterEntry &operator=(const InterpreterEntry &) = delete;

    explicit operator bool() const noexcept { return admitted_; }
    void leave() noexcept {
        if (admitted_) {
            admitted_ = false;
            exit_state.admitted.fetch_sub(1);
        }
    }

private:
    bool admitted_ = false;
};

// Called with the GIL held. Registers, once per extension, the hook that
// closes admission at interpreter exit, and a fork handler: the child has
// only the forking thread, whatever the others were doing.
inline void install_exit_hook() {
    if (exit_state.hooked)
        return;
    exit_state.hooked = true;
    nb::module_::import_("atexit").attr("register")(nb::cpp_function([] {
        exit_state.exit_thread = std::this_thread::get_id();
        exit_state.exiting.store(true);
        if (exit_state.admitted.load() == 0)
            return;
        // A callback blocked for good must not hold the exit forever.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        nb::gil_scoped_release unlocked;
        while (exit_state.admitted.load() != 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(100));
    }));
    nb::module_ os = nb::module_::import_("os");
    if (nb::hasattr(os, "register_at_fork"))
        os.attr("register_at_fork")(nb::arg("after_in_child") = nb::cpp_function(
                                        [] { exit_state.admitted.store(0); }));
}

} // namespace detail

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

// One Python callable shared by every copy of a wrapped callback. Copies only
// touch the shared count; the reference is released under the GIL by the last.
struct GilSafeCallable {
    nb::object fn;

    explicit GilSafeCallable(nb::object callable) : fn(std::move(callable)) {}
    GilSafeCallable(const GilSafeCallable &) = delete;
    GilSafeCallable &operator=(const GilSafeCallable &) = delete;

    // Admitted, the drop is not overtaken by finalisation: this destructor
    // (noexcept) is not where CPython ends the thread.
    ~GilSafeCallable() {
        if (!fn.is_valid())
            return;
        detail::InterpreterEntry entry;
        if (!entry) {
            // Deliberately leaked: the interpreter can no longer take it back.
            fn.release();
            return;
        }
        ScopedGilState gil;
        nb::object dropped = std::move(fn);
    }

    template <typename T> void invoke(T &&value) const;
};

namespace detail {

template <typename T> nb::object to_python(T &&value) {
    using caster = nb::detail::make_caster<T>;
    nb::handle h = caster::from_cpp(std::forward<T>(value), nb::rv_policy::move, nullptr);
    if (!h.is_valid()) {
        if (PyErr_Occurred())
            throw nb::python_error();
        throw nb::cast_error();
    }
    return nb::steal(h);
}

} // namespace detail

template <typename T> void GilSafeCallable::invoke(T &&value) const {
    detail::InterpreterEntry entry;
    if (!entry)
        return;
    const bool native = PyGILState_GetThisThreadState() == nullptr;
    PyGILState_STATE state = PyGILState_Ensure();
    if (native)
        detail::native_thread_state.keep();
    // Should finalisation overtake the call all the same (the exit hook gave
    // up waiting, or never ran), CPython ends this thread with a forced unwind
    // at a GIL hand-off inside the call. Nothing on that path may touch
    // Python, so the call holds raw references.
    PyObject *arg = nullptr;
    try {
        arg = detail::to_python(std::forward<T>(value)).release().ptr();
        PyObject *result = PyObject_CallOneArg(fn.ptr(), arg);
        if (!result)
            throw nb::python_error();
        Py_DECREF(result);
    } catch (nb::python_error &e) {
        e.restore();
        nb::chain_error(PyExc_RuntimeError, "error in Kolta callback");
        PyErr_WriteUnraisable(fn.ptr());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // The thread no longer holds the GIL: leak the argument and leave the
        // thread state to CPython.
        throw;
#endif
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "non-Python exception in Kolta callback");
        PyErr_WriteUnraisable(fn.ptr());
    }
    Py_XDECREF(arg);
    PyGILState_Release(state);
}

// The target of every wrapped callback: one shared owner of the callable.
template <typename T> struct GilSafeClosure {
    std::shared_ptr<GilSafeCallable> target;
    void operator()(T value) const { target->invoke(std::forward<T>(value)); }
};

// A Python callable as a std::function that any thread may call, copy and
// destroy. The caller holds the GIL and has checked that fn is callable.
template <typename T> std::function<void(T)> wrap_gil(nb::callable fn) {
    detail::install_exit_hook();
    GilSafeClosure<T> closure{std::make_shared<GilSafeCallable>(std::move(fn))};
    static_assert(sizeof(closure) == sizeof(std::shared_ptr<GilSafeCallable>),
                  "the closure holds exactly one shared owner");
    return closure;
}

// The callable behind a wrapped callback, for the cyclic collector, when this
// function object is its only owner; a callable that other copies share (the
// library's among them) is not this holder's to report. GIL held.
template <typename T> PyObject *sole_callable(const std::function<void(T)> &callback) {
    const auto *closure = callback.template target<GilSafeClosure<T>>();
    if (!closure || closure->target.use_count() != 1)
        return nullptr;
    return closure->target->fn.ptr();
}

} // namespace kolta_py
