#pragma once

#include <cstddef>

namespace kolta::engine {

// An audio model working in place on one interleaved 10 ms block.
class BlockModel {
public:
    virtual ~BlockModel() = default;
    virtual void process(float *block, std::size_t frames) = 0;
    // How many frames its output lags its input: the stream it runs in takes
    // this off, so processed value i lines up with input value i.
    virtual std::size_t delay_frames() const = 0;
};

} // namespace kolta::engine
