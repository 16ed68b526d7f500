#include <kolta/audio_types.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "audio/frame_samples.h"
#include "module/bindings.h"

namespace kolta_py {

namespace {

constexpr std::size_t kMaxFrameCount = std::numeric_limits<std::uint32_t>::max();

void construct_frame(kolta::AudioFrame *self, const FrameSamples &samples) {
    // The library reads the samples in place, so they must be in host memory,
    // and the count must fit its 32-bit field rather than be truncated.
    if (samples.device_type != nb::device::cpu::value)
        throw nb::value_error("AudioFrame samples must be in host (CPU) memory");
    if (samples.size > kMaxFrameCount)
        throw nb::value_error("AudioFrame holds at most 4294967295 samples");
    new (self) kolta::AudioFrame{samples.data, static_cast<std::uint32_t>(samples.size)};
}

// The frame exports its samples itself: read-only, one dimension, format "f".
// A memoryview of it keeps the frame, and so the array, alive.
int get_samples_buffer(PyObject *self, Py_buffer *view, int flags) {
    view->obj = nullptr;
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "AudioFrame samples are read-only");
        return -1;
    }
    const auto *frame = nb::inst_ptr<kolta::AudioFrame>(self);
    static float empty = 0.0f; // an empty view still needs an address
    auto *shape = new Py_ssize_t[1]{static_cast<Py_ssize_t>(frame->frame_count)};
    view->buf = frame->frame_count ? frame->samples : &empty;
    view->obj = Py_NewRef(self);
    view->len = shape[0] * static_cast<Py_ssize_t>(sizeof(float));
    view->itemsize = sizeof(float);
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>("f") : nullptr;
    view->shape = shape;
    view->strides = nullptr;
    view->suboffsets = nullptr;
    view->internal = shape;
    return 0;
}

void release_samples_buffer(PyObject *, Py_buffer *view) {
    delete[] static_cast<Py_ssize_t *>(view->internal);
}

PyType_Slot frame_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void *>(get_samples_buffer)},
    {Py_bf_releasebuffer, reinterpret_cast<void *>(release_samples_buffer)},
    {0, nullptr}};

nb::object samples_view(nb::handle self) {
    nb::object view = nb::steal(PyMemoryView_FromObject(self.ptr()));
    if (!view.is_valid())
        throw nb::python_error();
    return view;
}

} // namespace

void bind_audio_frame(nb::module_ &m) {
    if (reuse_registered<kolta::AudioFrame>(m, "AudioFrame"))
        return;
    nb::class_<kolta::AudioFrame>(
        m, "AudioFrame",
        "A chunk of interleaved PCM audio, used for both processor input and processed "
        "output.\n\nThe sample rate and channel count are fixed for the whole session by "
        "the AudioAttributes passed to create_audio_processor. samples is a non-owning "
        "view; the data must remain valid for the duration of the call.",
        nb::type_slots(frame_slots))
        .def("__init__", &construct_frame, nb::arg("samples"), nb::keep_alive<1, 2>())
        .def_ro("frame_count", &kolta::AudioFrame::frame_count,
                "Number of frames (samples per channel) available at samples.")
        .def_prop_ro("samples", &samples_view,
                     "Interleaved IEEE float32 PCM (input and processed output), at the "
                     "session's configured sample rate and channel count. Exposed as a "
                     "zero-copy float32 memoryview valid only while the frame is alive; "
                     "copy to retain.");
}

} // namespace kolta_py
