#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <chrono>
#include <thread>

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
    std::atomic<unsigned long> main_thread{0}; // Python's ident of its main thread
    std::atomic<int> admitted{0};
    std::atomic<bool> exiting{false};
    std::thread::id exit_thread;      // written before `exiting` is set
    bool hooked = false;              // guarded by the GIL
    bool forked_with_threads = false; // guarded by the GIL
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

// True when the calling thread holds the GIL, finalising or not. Needs no
// GIL; unlike PyGILState_Check, never answers yes for every thread.
inline bool this_thread_holds_gil() noexcept {
    PyThreadState *mine = PyGILState_GetThisThreadState();
#if PY_VERSION_HEX >= 0x030D0000
    PyThreadState *current = PyThreadState_GetUnchecked();
#else
    PyThreadState *current = _PyThreadState_UncheckedGet();
#endif
    return mine != nullptr && mine == current;
}

// True on the thread where Python handles signals (Ctrl-C).
inline bool on_main_thread() noexcept {
    return PyThread_get_thread_ident() == detail::exit_state.main_thread.load();
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
// only the forking thread, whatever the others were doing. The hook must run
// after every exit handler of the program, which may use the module: the
// registry _kolta_exit, imported at start-up by a .pth file, calls it after
// all of them; without it the hook is an exit handler of its own, after
// those registered later than the first import.
inline void install_exit_hook() {
    if (exit_state.hooked)
        return;
    exit_state.hooked = true;
    nb::object hook = nb::cpp_function([] {
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
    });
    try {
        nb::module_::import_("_kolta_exit").attr("register")(hook);
    } catch (nb::python_error &) {
        nb::module_::import_("atexit").attr("register")(hook);
    }
    exit_state.main_thread.store(nb::cast<unsigned long>(
        nb::module_::import_("threading").attr("main_thread")().attr("ident")));
    nb::module_ os = nb::module_::import_("os");
    if (nb::hasattr(os, "register_at_fork"))
        os.attr("register_at_fork")(
            nb::arg("before") = nb::cpp_function([] {
                PyThreadState *head =
                    PyInterpreterState_ThreadHead(PyInterpreterState_Get());
                exit_state.forked_with_threads = head && PyThreadState_Next(head);
            }),
            nb::arg("after_in_child") = nb::cpp_function([] {
                exit_state.admitted.store(0);
                exit_state.main_thread.store(PyThread_get_thread_ident());
                // What only the parent's other threads referenced (their frames,
                // a callback's arguments) can never be released in the child:
                // nanobind would report it as leaked at exit.
                if (exit_state.forked_with_threads)
                    nb::set_leak_warnings(false);
            }));
}

} // namespace detail

} // namespace kolta_py
