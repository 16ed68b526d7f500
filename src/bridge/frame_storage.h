#pragma once

#include <kolta/audio_types.h>
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>
#include <variant>

#include "bridge/sample_blocks.h"

namespace kolta_py {

namespace nb = nanobind;

// A buffer export held for as long as a frame reads the exporter's memory:
// meanwhile the exporter refuses to resize or release it (bytearray.extend,
// array.extend and memoryview.release raise BufferError). Released with the
// GIL held, as every frame is destroyed.
class BufferExport {
public:
    BufferExport() = default;
    explicit BufferExport(const Py_buffer &view) : view_(view) {}
    BufferExport(BufferExport &&other) noexcept : view_(other.view_) {
        other.view_.obj = nullptr;
    }
    BufferExport &operator=(BufferExport &&other) noexcept {
        if (this != &other) {
            release();
            view_ = other.view_;
            other.view_.obj = nullptr;
        }
        return *this;
    }
    ~BufferExport() { release(); }
    const Py_buffer &view() const { return view_; }

private:
    void release() {
        if (view_.obj)
            PyBuffer_Release(&view_);
    }

    Py_buffer view_{};
};

// What a Python AudioFrame holds: the library's record, plus whatever keeps
// its samples valid for as long as the frame lives. Samples come from an
// exporter the frame holds an export of (input, zero copy), a DLPack array it
// holds (input, zero copy), or memory of its own (converted input, and every
// processed output, copied from the library's buffer right after the call).
class FrameStorage {
public:
    FrameStorage() = default;
    FrameStorage(FrameStorage &&) noexcept = default;
    FrameStorage &operator=(FrameStorage &&) noexcept = default;

    FrameStorage(BufferExport exported, std::uint32_t count)
        : record_{static_cast<float *>(exported.view().buf), count}, shape_(count),
          owner_(std::move(exported)) {}

    FrameStorage(nb::ndarray<nb::ro> array, std::uint32_t count)
        : record_{const_cast<float *>(static_cast<const float *>(array.data())), count},
          shape_(count), owner_(std::move(array)) {}

    FrameStorage(OwnedSamples samples, std::uint32_t count)
        : record_{samples.get(), count}, shape_(count), owner_(std::move(samples)) {}

    // A frame of its own samples, copied from `record`. Needs no GIL.
    static FrameStorage copy_of(const kolta::AudioFrame &record) {
        if (record.frame_count == 0 || record.samples == nullptr)
            return FrameStorage();
        OwnedSamples samples = allocate_samples(record.frame_count);
        if (!samples)
            throw std::bad_alloc();
        std::memcpy(samples.get(), record.samples, record.frame_count * sizeof(float));
        return FrameStorage(std::move(samples), record.frame_count);
    }

    // A frame over samples that nothing here keeps valid: only for benchmark
    // floors that measure the binding without its copy.
    static FrameStorage aliasing(const kolta::AudioFrame &record) {
        FrameStorage frame;
        frame.record_ = record;
        frame.shape_ = record.frame_count;
        return frame;
    }

    const kolta::AudioFrame &record() const { return record_; }
    // The one-dimensional shape of the frame's buffer exports.
    Py_ssize_t *shape() { return &shape_; }

private:
    kolta::AudioFrame record_{};
    Py_ssize_t shape_ = 0;
    std::variant<std::monostate, BufferExport, nb::ndarray<nb::ro>, OwnedSamples> owner_;
};

} // namespace kolta_py
