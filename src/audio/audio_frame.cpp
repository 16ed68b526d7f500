#include <kolta/audio_types.h>

#include <nanobind/ndarray.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "module/bindings.h"

namespace kolta_py {

namespace {

using FloatArray = nb::ndarray<float, nb::shape<-1>, nb::c_contig>;

constexpr std::size_t kMaxFrameCount = std::numeric_limits<std::uint32_t>::max();

void construct_frame(kolta::AudioFrame *self, FloatArray samples) {
    // The library reads the samples in place, so they must be in host memory,
    // and the count must fit its 32-bit field rather than be truncated.
    if (samples.device_type() != nb::device::cpu::value)
        throw nb::value_error("AudioFrame samples must be in host (CPU) memory");
    if (samples.size() > kMaxFrameCount)
        throw nb::value_error("AudioFrame holds at most 4294967295 samples");
    new (self)
        kolta::AudioFrame{samples.data(), static_cast<std::uint32_t>(samples.size())};
}

// The view's exporter holds the frame (reference_internal), and the frame
// holds its array: a view that outlives every other reference to the frame
// still reads live memory.
using SamplesView = nb::ndarray<nb::memview, const float, nb::ndim<1>, nb::c_contig>;

nb::object samples_view(nb::handle self) {
    const auto &frame = nb::cast<const kolta::AudioFrame &>(self);
    static const float empty = 0.0f; // an empty view still needs an address
    const float *data = frame.frame_count ? frame.samples : &empty;
    return nb::cast(SamplesView(data, {static_cast<std::size_t>(frame.frame_count)}),
                    nb::rv_policy::reference_internal, self);
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
        "view; the data must remain valid for the duration of the call.")
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
