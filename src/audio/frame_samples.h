#pragma once

#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstring>

namespace kolta_py {

namespace nb = nanobind;

using FloatArray = nb::ndarray<float, nb::shape<-1>, nb::c_contig>;

// The samples an AudioFrame is built on: the memory of a one-dimensional,
// C-contiguous float32 array, converted by the binding library if need be.
struct FrameSamples {
    float *data = nullptr;
    std::size_t size = 0;
    int device_type = nb::device::cpu::value;
    FloatArray array; // holds the binding library's import, when one was made
};

} // namespace kolta_py

namespace nanobind::detail {

// Accepts exactly what the ndarray caster accepts, under the same name. A
// conforming NumPy array is read through the buffer protocol, which costs a
// fraction of a full array import; anything else goes through the import,
// conversions included (which then update the keep-alive's patient).
template <> struct type_caster<kolta_py::FrameSamples> {
    using ArrayCaster = make_caster<kolta_py::FloatArray>;
    NB_TYPE_CASTER(kolta_py::FrameSamples, ArrayCaster::Name)

    bool from_python(handle src, uint8_t flags, cleanup_list *cleanup) noexcept {
        if (from_numpy_buffer(src))
            return true;
        ArrayCaster array;
        if (!array.from_python(src, flags, cleanup))
            return false;
        value.data = array.value.data();
        value.size = array.value.size();
        value.device_type = array.value.device_type();
        value.array = std::move(array.value);
        return true;
    }

private:
    // Only NumPy's own array type: it cannot be resized while the frame holds
    // a reference to it, so its memory stays put once the buffer is released.
    bool from_numpy_buffer(handle src) noexcept {
        if (std::strcmp(Py_TYPE(src.ptr())->tp_name, "numpy.ndarray") != 0)
            return false;
        Py_buffer view;
        if (PyObject_GetBuffer(src.ptr(), &view,
                               PyBUF_WRITABLE | PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) != 0) {
            PyErr_Clear();
            return false;
        }
        const char *format = view.format;
        if (*format == '<' || *format == '=' || *format == '@')
            ++format;
        const bool conforming = view.ndim == 1 && view.itemsize == sizeof(float) &&
                                std::strcmp(format, "f") == 0;
        if (conforming) {
            value.data = static_cast<float *>(view.buf);
            value.size = static_cast<std::size_t>(view.shape[0]);
        }
        PyBuffer_Release(&view);
        return conforming;
    }
};

} // namespace nanobind::detail
