#pragma once

#include <nanobind/nanobind.h>

#include <array>

namespace kolta_py {

namespace nb = nanobind;

// Type slots that show the cyclic collector the Python callables a record's
// callbacks hold, so that a callable referring back to its record (a bound
// method of the record's owner, a closure over it) does not keep both alive
// for ever. Only the Python object that owns the record reports them: a view
// returned by a getter shares its owner's record.
template <typename Record, std::array<PyObject *, 2> (*Callables)(const Record &),
          void (*Clear)(Record &)>
struct RecordGc {
    static bool owns_record(PyObject *self) {
        auto [ready, destruct] = nb::inst_state(self);
        return ready && destruct;
    }

    static int traverse(PyObject *self, visitproc visit, void *arg) {
        Py_VISIT(Py_TYPE(self));
        if (!owns_record(self))
            return 0;
        for (PyObject *callable : Callables(*nb::inst_ptr<Record>(self)))
            Py_VISIT(callable);
        return 0;
    }

    static int clear(PyObject *self) {
        if (owns_record(self))
            Clear(*nb::inst_ptr<Record>(self));
        return 0;
    }

    static inline PyType_Slot slots[] = {
        {Py_tp_traverse, reinterpret_cast<void *>(&traverse)},
        {Py_tp_clear, reinterpret_cast<void *>(&clear)},
        {0, nullptr}};
};

} // namespace kolta_py
