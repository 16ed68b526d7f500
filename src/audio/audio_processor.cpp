#include <nanobind/nanobind.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "module/bindings.h"
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

// The returned samples live in a buffer owned by the processor. While the
// handle is open, the frame stays valid as documented (until the next call on
// this thread, or close). A close() that lands while the engine call runs
// leaves this call's reference as the last one, and dropping it frees that
// buffer: the samples are then copied out first, into memory the returned
// frame owns, so a frame never points into a destroyed processor.
nb::typed<nb::object, kolta::AudioFrame> process_frame(const ProcessorHolder &self,
                                                       const kolta::AudioFrame &frame) {
    std::shared_ptr<kolta::IAudioProcessor> processor = self.share();
    if (!processor)
        throw std::runtime_error("process_frame called on a closed AudioProcessor");
    const kolta::AudioFrame out = call_without_gil_keeping(
        processor, [&](kolta::IAudioProcessor &p) { return p.process_frame(frame); });
    if (!self.empty()) {
        // The handle's own reference (dropped only with the GIL held, which
        // this thread holds) keeps the processor, so this drop is never the last.
        processor.reset();
        return nb::cast(out, nb::rv_policy::move);
    }
    auto copy = std::make_unique<std::vector<float>>();
    if (out.frame_count != 0)
        copy->assign(out.samples, out.samples + out.frame_count);
    drop_without_gil(processor);
    kolta::AudioFrame owned{copy->data(), out.frame_count};
    nb::capsule owner(copy.get(), [](void *p) noexcept {
        delete static_cast<std::vector<float> *>(p);
    });
    copy.release();
    nb::object result = nb::cast(owned, nb::rv_policy::move);
    nb::detail::keep_alive(result.ptr(), owner.ptr());
    return result;
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
        .def("close", &ProcessorHolder::release,
             "Stop and tear down the processor (joins the SDK output thread with the "
             "GIL released). Idempotent; called automatically on context exit.")
        .def("__enter__", [](nb::object self) { return self; })
        .def("__exit__", [](ProcessorHolder &self, nb::args) {
            self.release();
            return false;
        });
}

} // namespace kolta_py
