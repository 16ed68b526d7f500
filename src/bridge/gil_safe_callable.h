#pragma once

#include <nanobind/nanobind.h>

#include <functional>
#include <memory>
#include <utility>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace kolta_py {

namespace nb = nanobind;

// True once the interpreter has begun finalising. Readable without the GIL:
// a foreign thread must not take the GIL of a finalising interpreter (it would
// hang or be torn down inside CPython).
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

// Holds the GIL for its lifetime on any thread, nesting where it is held.
class ScopedGilState {
public:
    ScopedGilState() : state_(PyGILState_Ensure()) {}
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

    ~GilSafeCallable() {
        if (!fn.is_valid())
            return;
        if (interpreter_finalizing()) {
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
    if (interpreter_finalizing())
        return;
    ScopedGilState gil;
    try {
        nb::object arg = detail::to_python(std::forward<T>(value));
        nb::object callable = fn;
        callable(arg);
    } catch (nb::python_error &e) {
        e.restore();
        nb::chain_error(PyExc_RuntimeError, "error in Kolta callback");
        PyErr_WriteUnraisable(fn.ptr());
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind &) {
        // CPython may end this thread while it waits for the GIL; let it go.
        throw;
#endif
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "non-Python exception in Kolta callback");
        PyErr_WriteUnraisable(fn.ptr());
    }
}

// A Python callable as a std::function that any thread may call, copy and
// destroy. The caller has checked that fn is callable.
template <typename T> std::function<void(T)> wrap_gil(nb::callable fn) {
    auto target = std::make_shared<GilSafeCallable>(std::move(fn));
    auto closure = [target](T value) { target->invoke(std::forward<T>(value)); };
    static_assert(sizeof(closure) == sizeof(std::shared_ptr<GilSafeCallable>),
                  "the closure holds exactly one shared owner");
    return closure;
}

} // namespace kolta_py
