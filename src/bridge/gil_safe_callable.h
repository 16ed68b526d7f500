#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

#include "bridge/gil_scopes.h"

namespace kolta_py {

namespace nb = nanobind;

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
        // With the GIL in hand, even while the interpreter finalises (module
        // globals are being cleared), the reference goes back at once.
        if (this_thread_holds_gil()) {
            nb::object dropped = std::move(fn);
            return;
        }
        detail::InterpreterEntry entry;
        if (!entry) {
            // Deliberately leaked: the interpreter can no longer take it back.
            fn.release();
            return;
        }
        ScopedGilState gil;
        nb::object dropped = std::move(fn);
    }

    // Calls the callable with the arguments converted to Python; failures go
    // to the unraisable-exception hook. Takes the GIL itself.
    template <typename... Args> void invoke(Args &&...args) const;
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

template <typename... Args> void GilSafeCallable::invoke(Args &&...args) const {
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
    PyObject *argv[sizeof...(Args) + 1] = {nullptr};
    std::size_t argc = 0;
    try {
        ((argv[argc] = detail::to_python(std::forward<Args>(args)).release().ptr(),
          ++argc),
         ...);
        PyObject *result = PyObject_Vectorcall(fn.ptr(), argv, argc, nullptr);
        if (!result)
            throw nb::python_error();
        Py_DECREF(result);
    } catch (nb::python_error &e) {
        e.restore();
        nb::chain_error(PyExc_RuntimeError, "error in Kolta callback");
        PyErr_WriteUnraisable(fn.ptr());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // The thread no longer holds the GIL: leak the arguments and leave the
        // thread state to CPython.
        throw;
#endif
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "non-Python exception in Kolta callback");
        PyErr_WriteUnraisable(fn.ptr());
    }
    for (std::size_t i = 0; i < argc; ++i)
        Py_DECREF(argv[i]);
    PyGILState_Release(state);
}

// The target of every wrapped callback: one shared owner of the callable,
// called with the library's arguments as the signature passes them.
template <typename Signature> struct GilSafeClosure;

template <typename... Args> struct GilSafeClosure<void(Args...)> {
    std::shared_ptr<GilSafeCallable> target;
    void operator()(Args... args) const { target->invoke(std::forward<Args>(args)...); }
};

// A Python callable as a std::function of the library's signature (e.g.
// void(kolta::PipelineState)) that any thread may call, copy and destroy.
// The caller holds the GIL and has checked that fn is callable.
template <typename Signature> std::function<Signature> wrap_gil(nb::callable fn) {
    detail::install_exit_hook();
    GilSafeClosure<Signature> closure{std::make_shared<GilSafeCallable>(std::move(fn))};
    static_assert(sizeof(closure) == sizeof(std::shared_ptr<GilSafeCallable>),
                  "the closure holds exactly one shared owner");
    return closure;
}

// A copy of a wrapped callback with a Python reference of its own, for a
// record that a Python object owns apart from the original: the collector
// sees a callable only through a sole owner, so two records sharing one would
// keep a cycle through it alive for ever. Other callbacks are copied as they
// are. GIL held.
template <typename Signature>
std::function<Signature> own_copy(const std::function<Signature> &callback) {
    const auto *closure = callback.template target<GilSafeClosure<Signature>>();
    if (!closure)
        return callback;
    return wrap_gil<Signature>(nb::borrow<nb::callable>(closure->target->fn));
}

// The callable behind a wrapped callback, for the cyclic collector, when this
// function object is its only owner; a callable that other copies share (the
// library's among them) is not this holder's to report. GIL held.
template <typename Signature>
PyObject *sole_callable(const std::function<Signature> &callback) {
    const auto *closure = callback.template target<GilSafeClosure<Signature>>();
    if (!closure || closure->target.use_count() != 1)
        return nullptr;
    return closure->target->fn.ptr();
}

} // namespace kolta_py
