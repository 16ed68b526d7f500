#include "audio/pcm_samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kolta_py {

namespace {

bool host_is_little_endian() {
    const std::uint16_t probe = 1;
    unsigned char first = 0;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

// IEEE binary16 to float32; C++17 has no half type.
float half_to_float(std::uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const int mantissa = h & 0x3ff;
    const float sign = (h & 0x8000) ? -1.0f : 1.0f;
    if (exponent == 0)
        return sign * std::ldexp(static_cast<float>(mantissa), -24);
    if (exponent == 31)
        return mantissa ? std::nanf("") : sign * INFINITY;
    return sign * std::ldexp(static_cast<float>(mantissa | 0x400), exponent - 25);
}

// Rounds as IEEE conversion does, but spelled out past float's range, where a
// plain cast would be undefined: up to half an ulp above the largest float
// rounds down to it, anything beyond becomes an infinity.
float narrow(double value) {
    constexpr double kLargest = 3.4028234663852886e38;
    constexpr double kOverflow = 3.4028235677973366e38;
    const double magnitude = std::fabs(value);
    if (!(magnitude > kLargest))
        return static_cast<float>(value);
    const float clamped =
        magnitude >= kOverflow ? INFINITY : static_cast<float>(kLargest);
    return std::copysign(clamped, static_cast<float>(value > 0 ? 1 : -1));
}

template <typename T> T load(const unsigned char *at, bool byteswapped) {
    unsigned char bytes[sizeof(T)];
    std::memcpy(bytes, at, sizeof(T));
    if (byteswapped)
        std::reverse(bytes, bytes + sizeof(T));
    T value;
    std::memcpy(&value, bytes, sizeof(T));
    return value;
}

template <typename Read>
void convert_each(const void *data, std::size_t count, std::ptrdiff_t stride, float *out,
                  Read read) {
    const auto *at = static_cast<const unsigned char *>(data);
    for (std::size_t i = 0; i < count; ++i, at += stride)
        out[i] = read(at);
}

template <typename Int>
void convert_signed(const SampleLayout &layout, const void *data, std::size_t count,
                    std::ptrdiff_t stride, float *out) {
    const double full_scale = std::ldexp(1.0, static_cast<int>(sizeof(Int) * 8 - 1));
    convert_each(data, count, stride, out, [&](const unsigned char *at) {
        return static_cast<float>(load<Int>(at, layout.byteswapped) / full_scale);
    });
}

std::optional<SampleLayout> signed_layout(std::size_t itemsize, bool byteswapped) {
    if (itemsize != 1 && itemsize != 2 && itemsize != 4 && itemsize != 8)
        return std::nullopt;
    return SampleLayout{SampleLayout::Kind::SignedPcm, itemsize, byteswapped};
}

std::optional<SampleLayout> float_layout(std::size_t itemsize, bool byteswapped) {
    if (itemsize != 2 && itemsize != 4 && itemsize != 8)
        return std::nullopt;
    return SampleLayout{SampleLayout::Kind::Float, itemsize, byteswapped};
}

} // namespace

std::optional<SampleLayout> layout_of_buffer_format(const char *format,
                                                    std::size_t itemsize) {
    if (format == nullptr)
        format = "B";
    bool byteswapped = false;
    switch (*format) {
    case '@':
    case '=':
        ++format;
        break;
    case '<':
        byteswapped = !host_is_little_endian();
        ++format;
        break;
    case '>':
    case '!':
        byteswapped = host_is_little_endian();
        ++format;
        break;
    default:
        break;
    }
    if (format[0] == '\0' || format[1] != '\0')
        return std::nullopt;
    switch (format[0]) {
    case 'e':
    case 'f':
    case 'd':
        return float_layout(itemsize, byteswapped);
    case 'b':
    case 'h':
    case 'i':
    case 'l':
    case 'q':
    case 'n':
        return signed_layout(itemsize, byteswapped);
    case 'B':
        if (itemsize != 1)
            return std::nullopt;
        return SampleLayout{SampleLayout::Kind::OffsetBinary, 1, false};
    default:
        return std::nullopt;
    }
}

std::optional<SampleLayout> layout_of_dlpack_dtype(std::uint8_t code, std::uint8_t bits) {
    // DLPack type codes: 0 signed integer, 1 unsigned integer, 2 float.
    const std::size_t itemsize = bits / 8u;
    if (bits % 8 != 0)
        return std::nullopt;
    switch (code) {
    case 0:
        return signed_layout(itemsize, false);
    case 1:
        if (itemsize != 1)
            return std::nullopt;
        return SampleLayout{SampleLayout::Kind::OffsetBinary, 1, false};
    case 2:
        return float_layout(itemsize, false);
    default:
        return std::nullopt;
    }
}

void convert_samples(const SampleLayout &layout, const void *data, std::size_t count,
                     std::ptrdiff_t stride, float *out) {
    const bool swap = layout.byteswapped;
    switch (layout.kind) {
    case SampleLayout::Kind::Float:
        if (layout.itemsize == 2)
            convert_each(data, count, stride, out, [&](const unsigned char *at) {
                return half_to_float(load<std::uint16_t>(at, swap));
            });
        else if (layout.itemsize == 4)
            convert_each(data, count, stride, out,
                         [&](const unsigned char *at) { return load<float>(at, swap); });
        else
            convert_each(data, count, stride, out, [&](const unsigned char *at) {
                return narrow(load<double>(at, swap));
            });
        return;
    case SampleLayout::Kind::SignedPcm:
        switch (layout.itemsize) {
        case 1:
            return convert_signed<std::int8_t>(layout, data, count, stride, out);
        case 2:
            return convert_signed<std::int16_t>(layout, data, count, stride, out);
        case 4:
            return convert_signed<std::int32_t>(layout, data, count, stride, out);
        default:
            return convert_signed<std::int64_t>(layout, data, count, stride, out);
        }
    case SampleLayout::Kind::OffsetBinary:
        convert_each(data, count, stride, out, [](const unsigned char *at) {
            return (static_cast<float>(*at) - 128.0f) / 128.0f;
        });
        return;
    }
}

} // namespace kolta_py
