#pragma once

#include <nanobind/nanobind.h>

#include <atomic>
#include <cstddef>
#include <utility>
#include <vector>

namespace kolta_py {

namespace nb = nanobind;

// Python views of a record nested in another point straight into the parent's
// storage. These helpers keep such a view from ever reading freed or destroyed
// memory when a setter replaces what it points at. The GIL must be held.

namespace detail {

// The element buffer of a replaced vector, shared by the views of its elements.
template <typename T> struct RetiredElements {
    std::vector<T> items;
    std::atomic<std::size_t> holders;

    RetiredElements(std::vector<T> &&from, std::size_t count)
        : items(std::move(from)), holders(count) {}

    static void release(void *payload) noexcept {
        auto *retired = static_cast<RetiredElements *>(payload);
        if (retired->holders.fetch_sub(1) == 1)
            delete retired;
    }
};

} // namespace detail

// Call before `items` is replaced. If Python views of some of its elements
// exist, the buffer moves (addresses unchanged) into a block those views keep
// alive, so they go on reading the old values; `items` is left empty. Holding
// the buffer also keeps the binding library from mistaking a new element at a
// recycled address for an old view. Without views nothing happens.
template <typename T> void retire_elements(std::vector<T> &items) {
    std::vector<nb::object> views;
    for (const T &item : items) {
        nb::object view = nb::find(item);
        if (view.is_valid())
            views.push_back(std::move(view));
    }
    if (views.empty())
        return;
    auto *retired = new detail::RetiredElements<T>(std::move(items), views.size());
    for (const nb::object &view : views)
        nb::detail::keep_alive(view.ptr(), retired, &detail::RetiredElements<T>::release);
}

// A view of `value` (living inside its parent) stops, or resumes, being
// usable. Call with false before `value` is destroyed in place, and with true
// once a new value is constructed at the same address: the view then refers to
// the new value, as a fresh read of the property would.
template <typename T> void set_view_usable(const T &value, bool usable) {
    nb::object view = nb::find(value);
    if (view.is_valid())
        nb::inst_set_state(view, usable, false);
}

} // namespace kolta_py
