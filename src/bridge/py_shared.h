#pragma once

#include <nanobind/nanobind.h>

#include <memory>
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
