// Reference points for the benchmarks in bench/: the engine driven from a C++
// loop, a bare ndarray-in/object-out function, and bare GIL hand-offs from a
// native thread. Each measures what the bindings add on top of the floor.
#include <kolta/kolta_sdk.h>

#include <nanobind/ndarray.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bridge/frame_storage.h"
#include "testhelpers.h"

namespace kolta_test {

namespace {

// The same array type as AudioFrame's constructor takes.
using FloatArray = nb::ndarray<float, nb::shape<-1>, nb::c_contig>;

using Clock = std::chrono::steady_clock;

double elapsed_ns(Clock::time_point start, Clock::time_point stop) {
    return std::chrono::duration<double, std::nano>(stop - start).count();
}

kolta::AudioFrame frame_of(const FloatArray &samples) {
    if (samples.device_type() != nb::device::cpu::value)
        throw nb::value_error("samples must be in host (CPU) memory");
    if (samples.size() > std::numeric_limits<std::uint32_t>::max())
        throw nb::value_error("too many samples");
    return kolta::AudioFrame{samples.data(), static_cast<std::uint32_t>(samples.size())};
}

// One SDK and one processor made straight through the library: the C++ floor
// under the module's process_frame.
class EngineLoop {
public:
    EngineLoop(const kolta::ProcessorAttributes &attrs, const std::string &storage_dir,
               const std::string &api_key) {
        kolta::InitParams params;
        params.storage_dir = storage_dir;
        nb::gil_scoped_release unlocked;
        sdk_ = kolta::CreateKoltaSdk(params);
        kolta::SdkResult result = sdk_->activate_api_key(api_key);
        if (!result.success)
            throw std::runtime_error("activation refused: " + result.message);
        processor_ = sdk_->create_audio_processor(attrs);
        if (!processor_)
            throw std::runtime_error("the engine returned no processor");
    }

    // Mean nanoseconds per process_frame call over `calls` calls of the same
    // chunk, timed in C++ with the GIL released. The output is read as a
    // caller would (its first and last values).
    double time_process(const FloatArray &samples, std::uint64_t calls) {
        kolta::IAudioProcessor &processor = require_open();
        kolta::AudioFrame input = frame_of(samples);
        nb::gil_scoped_release unlocked;
        float sink = 0.0f;
        Clock::time_point start = Clock::now();
        for (std::uint64_t i = 0; i < calls; ++i) {
            kolta::AudioFrame out = processor.process_frame(input);
            if (out.frame_count != 0)
                sink += out.samples[0] + out.samples[out.frame_count - 1];
        }
        Clock::time_point stop = Clock::now();
        sink_ = sink;
        return calls ? elapsed_ns(start, stop) / static_cast<double>(calls) : 0.0;
    }

    // One call from an array to the processed frame: the shape a one-call
    // binding path would have. Like process_frame's, the frame owns a copy of
    // the engine's result.
    kolta_py::FrameStorage process(FloatArray samples) {
        kolta::IAudioProcessor &processor = require_open();
        kolta::AudioFrame input = frame_of(samples);
        nb::gil_scoped_release unlocked;
        return kolta_py::FrameStorage::copy_of(processor.process_frame(input));
    }

    void close() {
        std::unique_ptr<kolta::IAudioProcessor> processor = std::move(processor_);
        std::shared_ptr<kolta::IKoltaSdk> sdk = std::move(sdk_);
        nb::gil_scoped_release unlocked;
        processor.reset();
        sdk.reset();
    }

    // Teardown joins the engine's output thread, which may be delivering to a
    // Python callable and so need the GIL.
    ~EngineLoop() { close(); }

private:
    kolta::IAudioProcessor &require_open() {
        if (!processor_)
            throw std::runtime_error("EngineLoop is closed");
        return *processor_;
    }

    std::shared_ptr<kolta::IKoltaSdk> sdk_;
    std::unique_ptr<kolta::IAudioProcessor> processor_;
    volatile float sink_ = 0.0f;
};

// The least a binding can do for one chunk: take the array, release the GIL,
// return a new AudioFrame (over the array's memory, which nothing keeps).
kolta_py::FrameStorage bare_frame_call(FloatArray samples) {
    kolta::AudioFrame frame = frame_of(samples);
    nb::gil_scoped_release unlocked;
    return kolta_py::FrameStorage::aliasing(frame);
}

// bare_frame_call through the buffer protocol instead of the ndarray caster
// (which asks numpy for a DLPack capsule first): a C-contiguous float32
// buffer only, no conversion.
kolta_py::FrameStorage bare_buffer_call(nb::handle samples) {
    Py_buffer view;
    if (PyObject_GetBuffer(samples.ptr(), &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0)
        throw nb::python_error();
    const bool float32 = view.itemsize == 4 && view.format && view.format[0] == 'f' &&
                         view.format[1] == '\0';
    const Py_ssize_t count = view.len / 4;
    float *data = static_cast<float *>(view.buf);
    PyBuffer_Release(&view);
    if (!float32)
        throw nb::type_error("a C-contiguous float32 buffer is required");
    kolta::AudioFrame frame{data, static_cast<std::uint32_t>(count)};
    nb::gil_scoped_release unlocked;
    return kolta_py::FrameStorage::aliasing(frame);
}

// The same with a frame in place of the array: the shape of process_frame
// without the engine and without its copy.
kolta_py::FrameStorage bare_frame_pass(const kolta_py::FrameStorage &frame) {
    kolta::AudioFrame record = frame.record();
    nb::gil_scoped_release unlocked;
    return kolta_py::FrameStorage::aliasing(record);
}

// Mean nanoseconds per memcpy of `values` floats into one warm buffer: the
// least a copy of a processed chunk can cost.
double time_memcpy(std::size_t values, std::uint64_t calls) {
    std::vector<float> source(values, 0.5f);
    std::vector<float> target(values);
    nb::gil_scoped_release unlocked;
    Clock::time_point start = Clock::now();
    for (std::uint64_t i = 0; i < calls; ++i) {
        source[i % values] = static_cast<float>(i);
        std::memcpy(target.data(), source.data(), values * sizeof(float));
    }
    Clock::time_point stop = Clock::now();
    volatile float sink = target[calls % values];
    (void)sink;
    return calls ? elapsed_ns(start, stop) / static_cast<double>(calls) : 0.0;
}

// Calls fn(arg) `calls` times from one new native thread that has no Python
// thread state, taking and giving back the GIL around each call, while this
// thread waits with the GIL released. Returns nanoseconds from the thread's
// start until its last call returned.
//   keep_thread_state=false: PyGILState_Ensure/Release around each call, as a
//     plain bridge does (the thread state is made and destroyed every call);
//   keep_thread_state=true: one thread state made first and kept for the
//     whole loop; each call only takes and releases the GIL with it.
double bare_gil_calls(nb::callable fn, nb::object arg, std::uint64_t calls,
                      bool keep_thread_state) {
    PyInterpreterState *interp = PyThreadState_Get()->interp;
    PyObject *callable = fn.ptr();
    PyObject *argument = arg.ptr();
    bool failed = false;
    // One call with the GIL held; a raised error ends the loop.
    const auto call_once = [&] {
        if (PyObject *result = PyObject_CallOneArg(callable, argument))
            Py_DECREF(result);
        else {
            PyErr_Clear();
            failed = true;
        }
    };
    double ns = 0.0;
    {
        nb::gil_scoped_release unlocked;
        Clock::time_point start = Clock::now();
        std::thread worker([&] {
            if (keep_thread_state) {
                PyThreadState *tstate = PyThreadState_New(interp);
                for (std::uint64_t i = 0; i < calls && !failed; ++i) {
                    PyEval_RestoreThread(tstate);
                    call_once();
                    PyEval_SaveThread();
                }
                PyEval_RestoreThread(tstate);
                PyThreadState_Clear(tstate);
                PyThreadState_DeleteCurrent();
            } else {
                for (std::uint64_t i = 0; i < calls && !failed; ++i) {
                    PyGILState_STATE state = PyGILState_Ensure();
                    call_once();
                    PyGILState_Release(state);
                }
            }
        });
        worker.join();
        ns = elapsed_ns(start, Clock::now());
    }
    if (failed)
        throw std::runtime_error("the callable raised during bare_gil_calls");
    return ns;
}

} // namespace

void bind_bench_helpers(nb::module_ &m) {
    nb::class_<EngineLoop>(m, "EngineLoop",
                           "A processor made straight through the engine, driven from "
                           "a C++ loop (benchmark floor).")
        .def(nb::init<const kolta::ProcessorAttributes &, const std::string &,
                      const std::string &>(),
             nb::arg("attrs"), nb::arg("storage_dir"),
             nb::arg("api_key") = "KOLTA-DEMO-KEY")
        .def("time_process", &EngineLoop::time_process, nb::arg("samples"),
             nb::arg("calls"))
        .def("process", &EngineLoop::process, nb::arg("samples"))
        .def("close", &EngineLoop::close);
    m.def("bare_frame_call", &bare_frame_call, nb::arg("samples"));
    m.def("bare_frame_pass", &bare_frame_pass, nb::arg("frame"));
    m.def("bare_buffer_call", &bare_buffer_call, nb::arg("samples"));
    m.def("time_memcpy", &time_memcpy, nb::arg("values"), nb::arg("calls"));
    m.def("bare_gil_calls", &bare_gil_calls, nb::arg("callable"), nb::arg("arg"),
          nb::arg("calls"), nb::arg("keep_thread_state") = false);
}

} // namespace kolta_test
