#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>

namespace kolta_py {

namespace detail {

// Each block starts with its capacity; the samples follow, 16-byte aligned.
struct alignas(16) SampleBlockHeader {
    std::size_t capacity;
};

// One freed block kept for the next block of about its size: a stream of
// equal chunks then costs no heap call per processed chunk. An atomic
// exchange, so frames may be made without the GIL and freed with it.
inline std::atomic<SampleBlockHeader *> spare_sample_block{nullptr};
// Larger blocks (over 1 s at 16 kHz mono) go straight back to the heap:
// their copy costs far more than their allocation, and a block reused for
// every call measured slower to copy into than a fresh one at 2 s chunks.
constexpr std::size_t kMaxSpareValues = std::size_t(1) << 14;

inline SampleBlockHeader *header_of(float *samples) {
    return reinterpret_cast<SampleBlockHeader *>(samples) - 1;
}

inline void free_block(SampleBlockHeader *block) {
    if (block)
        ::operator delete(block);
}

} // namespace detail

struct ReturnSampleBlock {
    void operator()(float *samples) const noexcept {
        detail::SampleBlockHeader *block = detail::header_of(samples);
        if (block->capacity > detail::kMaxSpareValues) {
            detail::free_block(block);
            return;
        }
        detail::free_block(detail::spare_sample_block.exchange(block));
    }
};

// Samples a frame owns; empty when memory ran out.
using OwnedSamples = std::unique_ptr<float[], ReturnSampleBlock>;

inline OwnedSamples allocate_samples(std::size_t count) noexcept {
    using detail::SampleBlockHeader;
    SampleBlockHeader *block = detail::spare_sample_block.exchange(nullptr);
    // Reused only when it wastes at most half of itself.
    if (block && (block->capacity < count || block->capacity / 2 > count)) {
        detail::free_block(block);
        block = nullptr;
    }
    if (!block) {
        if (count > (SIZE_MAX - sizeof(SampleBlockHeader)) / sizeof(float))
            return OwnedSamples();
        void *memory = ::operator new(sizeof(SampleBlockHeader) + count * sizeof(float),
                                      std::nothrow);
        if (!memory)
            return OwnedSamples();
        block = new (memory) SampleBlockHeader{count};
    }
    return OwnedSamples(reinterpret_cast<float *>(block + 1));
}

} // namespace kolta_py
