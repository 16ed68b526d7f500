#include <nanobind/nanobind.h>

#include <memory>
#include <stdexcept>
#include <utility>

#include "bridge/frame_storage.h"
#include "bridge/registration.h"
#include "session/sdk.h"

namespace kolta_py {

using ProcessorHolder = PyShared<kolta::IAudioProcessor>;

void def_create_audio_processor(SdkClass &cls) {
    cls.def(
        "create_audio_processor",
        [](const SdkHolder &self, const kolta::ProcessorAttributes &attrs) {
            std::unique_ptr<kolta::IAudioProcessor> processor =
                call_without_gil(self.share(), [&](kolta::IKoltaSdk &sdk) {
                    return sdk.create_audio_processor(attrs);
                });
            if (!processor)
                throw std::runtime_error(
                    "create_audio_processor failed: the SDK returned no processor. "
                    "Ensure the SDK is activated and the requested model is entitled "
                    "to the activated user.");
            return new ProcessorHolder(
                std::shared_ptr<kolta::IAudioProcessor>(std::move(processor)));
        },
        nb::arg("attrs"),
        "Create a buffer/stream audio processor for raw PCM processing. Requires the "
        "SDK to have been activated and the requested model to be entitled; blocks "
        "until ready.",
        nb::rv_policy::take_ownership);
}

namespace {

// The library's result lives in the processor's buffer only until its next
// call, so the samples are copied into memory the returned frame owns right
// after the call, before this call's reference to the processor goes.
FrameStorage process_frame(const ProcessorHolder &self, const FrameStorage &frame) {
    std::shared_ptr<kolta::IAudioProcessor> processor = self.share();
    if (!processor)
        throw std::runtime_error("process_frame called on a closed AudioProcessor");
    return call_without_gil(std::move(processor), [&](kolta::IAudioProcessor &p) {
        return FrameStorage::copy_of(p.process_frame(frame.record()));
    });
}

} // namespace

void bind_audio_processor(nb::module_ &m) {
    if (reuse_registered<ProcessorHolder>(m, "AudioProcessor"))
        return;
    nb::class_<ProcessorHolder>(
        m, "AudioProcessor",
        "Buffer/stream audio processor. Accepts AudioFrame PCM pushed by the host and "
        "returns processed audio; obtain via create_audio_processor. Use as a context "
        "manager or call process_frame directly.")
        .def("process_frame", &process_frame, nb::arg("frame"),
             "Push one chunk of raw PCM (>= 20 ms per call; shorter buffers are dropped) "
             "and return the processed AudioFrame. Output lags input, so early calls "
             "return an empty frame (frame_count == 0) while the engine primes; after "
             "the last real input, push silence frames until an empty frame is returned "
             "to drain the buffered tail. The returned samples are valid only until the "
             "next process_frame call.")
        .def("close", &ProcessorHolder::close,
             "Stop and tear down the processor (joins the SDK output thread with the "
             "GIL released). Idempotent; called automatically on context exit.")
        .def("__enter__", [](nb::object self) { return self; })
        .def("__exit__", [](ProcessorHolder &self, nb::args) {
            self.close();
            return false;
        });
}

} // namespace kolta_py
