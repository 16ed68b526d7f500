#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace kolta_py {

// How the samples of a one-dimensional source are stored, and how each one
// becomes a float32 value.
struct SampleLayout {
    enum class Kind {
        Float,        // by value
        SignedPcm,    // divided by 2^(bits - 1)
        OffsetBinary, // unsigned 8-bit: (x - 128) / 128
    };
    Kind kind = Kind::Float;
    std::size_t itemsize = 4;
    bool byteswapped = false;

    bool is_native_float32() const {
        return kind == Kind::Float && itemsize == 4 && !byteswapped;
    }
};

// A buffer-protocol format string ("<h", "f", "B", ...) read as a sample
// layout; nullopt for what is not PCM (bool, complex, structs, unsigned
// wider than 8 bits).
std::optional<SampleLayout> layout_of_buffer_format(const char *format,
                                                    std::size_t itemsize);

// A DLPack dtype (code, bits) read the same way.
std::optional<SampleLayout> layout_of_dlpack_dtype(std::uint8_t code, std::uint8_t bits);

// Converts `count` samples starting at `data`, `stride` bytes apart, to float32.
void convert_samples(const SampleLayout &layout, const void *data, std::size_t count,
                     std::ptrdiff_t stride, float *out);

} // namespace kolta_py
