#include <utility>

#include "audio/frame_samples.h"
#include "bridge/frame_storage.h"
#include "bridge/registration.h"

namespace kolta_py {

namespace {

void construct_frame(FrameStorage *self, FrameSource &&source) {
    source.raise_if_refused();
    new (self) FrameStorage(std::move(source.frame));
}

// The frame exports its samples itself: read-only, one dimension, format "f".
// A memoryview of it keeps the frame, and so its samples, alive.
int get_samples_buffer(PyObject *self, Py_buffer *view, int flags) {
    view->obj = nullptr;
    if (!nb::inst_ready(self)) {
        PyErr_SetString(PyExc_TypeError, "AudioFrame is not initialized");
        return -1;
    }
    if (flags & PyBUF_WRITABLE) {
        PyErr_SetString(PyExc_BufferError, "AudioFrame samples are read-only");
        return -1;
    }
    auto *frame = nb::inst_ptr<FrameStorage>(self);
    static float empty = 0.0f; // an empty view still needs an address
    const kolta::AudioFrame &record = frame->record();
    view->buf = record.frame_count ? record.samples : &empty;
    view->obj = Py_NewRef(self);
    view->len = static_cast<Py_ssize_t>(record.frame_count) *
                static_cast<Py_ssize_t>(sizeof(float));
    view->itemsize = sizeof(float);
    view->readonly = 1;
    view->ndim = 1;
    view->format = (flags & PyBUF_FORMAT) ? const_cast<char *>("f") : nullptr;
    view->shape = frame->shape();
    view->strides = nullptr;
    view->suboffsets = nullptr;
    view->internal = nullptr;
    return 0;
}

PyType_Slot frame_slots[] = {
    {Py_bf_getbuffer, reinterpret_cast<void *>(get_samples_buffer)}, {0, nullptr}};

// Taking the frame by pointer lets the binding library refuse a foreign or
// uninitialised `self` as it does for every other member.
nb::object samples_view(nb::pointer_and_handle<FrameStorage> self) {
    nb::object view = nb::steal(PyMemoryView_FromObject(self.h.ptr()));
    if (!view.is_valid())
        throw nb::python_error();
    return view;
}

} // namespace

void bind_audio_frame(nb::module_ &m) {
    if (reuse_registered<FrameStorage>(m, "AudioFrame"))
        return;
    nb::class_<FrameStorage>(
        m, "AudioFrame",
        "A chunk of interleaved PCM audio, used for both processor input and processed "
        "output.\n\nThe sample rate and channel count are fixed for the whole session by "
        "the AudioAttributes passed to create_audio_processor. samples is a non-owning "
        "view; the data must remain valid for the duration of the call.",
        nb::type_slots(frame_slots))
        .def("__init__", &construct_frame, nb::arg("samples"))
        .def_prop_ro(
            "frame_count",
            [](const FrameStorage &self) { return self.record().frame_count; },
            "Number of frames (samples per channel) available at samples.")
        .def_prop_ro("samples", &samples_view,
                     "Interleaved IEEE float32 PCM (input and processed output), at the "
                     "session's configured sample rate and channel count. Exposed as a "
                     "zero-copy float32 memoryview valid only while the frame is alive; "
                     "copy to retain.");
}

} // namespace kolta_py
