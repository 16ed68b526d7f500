#pragma once

#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "audio/pcm_samples.h"
#include "bridge/frame_storage.h"

namespace kolta_py {

namespace nb = nanobind;

// What AudioFrame's constructor is given: a frame ready to hold its samples,
// or why the argument, though an array, is refused.
struct FrameSource {
    FrameStorage frame;
    PyObject *error_type = nullptr;
    std::string message;

    void raise_if_refused() const {
        if (error_type == PyExc_MemoryError)
            throw std::bad_alloc();
        if (error_type == PyExc_TypeError)
            throw nb::type_error(message.c_str());
        if (error_type == PyExc_ValueError)
            throw nb::value_error(message.c_str());
    }
};

} // namespace kolta_py

namespace nanobind::detail {

// Takes any one-dimensional buffer or DLPack array of PCM. Native float32 in
// one contiguous run is used in place, holding the exporter's buffer (or the
// DLPack array) for as long as the frame lives; any other sample format or
// layout is converted into samples the frame owns: floats by value, signed
// integers scaled by their full scale, uint8 as offset binary.
template <> struct type_caster<kolta_py::FrameSource> {
    using Name_ = make_caster<ndarray<float, shape<-1>, c_contig>>;
    NB_TYPE_CASTER(kolta_py::FrameSource, Name_::Name)

    bool from_python(handle src, uint8_t flags, cleanup_list *cleanup) noexcept {
        Py_buffer view;
        if (PyObject_GetBuffer(src.ptr(), &view, PyBUF_RECORDS_RO) == 0)
            return from_buffer(src, kolta_py::BufferExport(view));
        PyErr_Clear();
        make_caster<ndarray<ro>> dlpack;
        if (!dlpack.from_python(src, flags & ~(uint8_t)cast_flags::convert, cleanup))
            return false;
        return from_dlpack(std::move(dlpack.value));
    }

private:
    static constexpr std::size_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

    bool from_buffer(handle src, kolta_py::BufferExport exported) noexcept {
        const Py_buffer &view = exported.view();
        if (view.ndim != 1)
            return false;
        if (is_raw_bytes(src, view.format))
            return refuse(PyExc_TypeError,
                          "AudioFrame cannot tell the sample format of raw bytes: wrap "
                          "them with np.frombuffer(data, dtype), e.g. dtype=np.int16 "
                          "for 16-bit PCM");
        const auto layout = kolta_py::layout_of_buffer_format(
            view.format, static_cast<std::size_t>(view.itemsize));
        if (!layout)
            return refuse(PyExc_TypeError,
                          std::string("AudioFrame takes float or signed integer PCM, or "
                                      "uint8 offset binary, not buffer format '") +
                              (view.format ? view.format : "B") + "'");
        const auto count = static_cast<std::size_t>(view.shape[0]);
        const std::ptrdiff_t stride = view.strides ? view.strides[0] : view.itemsize;
        return accept(*layout, view.buf, count, stride, std::move(exported));
    }

    bool from_dlpack(ndarray<ro> tensor) noexcept {
        if (tensor.ndim() != 1)
            return false;
        if (tensor.device_type() != device::cpu::value)
            return refuse(PyExc_ValueError,
                          "AudioFrame samples must be in host (CPU) memory");
        const dlpack::dtype type = tensor.dtype();
        const auto layout = type.lanes == 1
                                ? kolta_py::layout_of_dlpack_dtype(type.code, type.bits)
                                : std::nullopt;
        if (!layout)
            return refuse(PyExc_TypeError, "AudioFrame takes float or signed integer "
                                           "PCM, or uint8 offset binary");
        const std::ptrdiff_t stride =
            static_cast<std::ptrdiff_t>(tensor.stride(0)) * tensor.itemsize();
        const void *data = tensor.data();
        const std::size_t count = tensor.shape(0);
        return accept(*layout, data, count, stride, std::move(tensor));
    }

    // `holder` keeps `data` valid; it becomes the frame's owner when the
    // samples are used in place, and is let go after a conversion.
    template <typename Holder>
    bool accept(const kolta_py::SampleLayout &layout, const void *data, std::size_t count,
                std::ptrdiff_t stride, Holder &&holder) noexcept {
        if (count > kMaxCount)
            return refuse(PyExc_ValueError,
                          "AudioFrame holds at most 4294967295 samples");
        const auto count32 = static_cast<std::uint32_t>(count);
        const bool aligned = reinterpret_cast<std::uintptr_t>(data) % alignof(float) == 0;
        if (layout.is_native_float32() && aligned && (stride == 4 || count <= 1)) {
            value.frame = kolta_py::FrameStorage(std::forward<Holder>(holder), count32);
            return true;
        }
        if (count == 0)
            return true;
        kolta_py::OwnedSamples samples = kolta_py::allocate_samples(count);
        if (!samples)
            return refuse(PyExc_MemoryError, "");
        kolta_py::convert_samples(layout, data, count, stride, samples.get());
        value.frame = kolta_py::FrameStorage(std::move(samples), count32);
        return true;
    }

    // Bytes whose element type nobody declared: bytes, bytearray and plain
    // memoryviews of them say 'B' (or 'c'); typed arrays of uint8 are PCM.
    static bool is_raw_bytes(handle src, const char *format) {
        if (format && format[0] == 'c' && format[1] == '\0')
            return true;
        if (format && !(format[0] == 'B' && format[1] == '\0'))
            return false;
        const char *type = Py_TYPE(src.ptr())->tp_name;
        return std::strcmp(type, "numpy.ndarray") != 0 &&
               std::strcmp(type, "array.array") != 0;
    }

    bool refuse(PyObject *error_type, std::string message) noexcept {
        value.error_type = error_type;
        value.message = std::move(message);
        return true;
    }
};

} // namespace nanobind::detail
