#pragma once

#include <memory>
#include <string>

#include "audio_types.h"
#include "export.h"
#include "sdk_types.h"
#include "transcript_types.h"

namespace kolta {

class IAudioProcessor {
public:
    // Stops the processor and joins its output thread; may block.
    virtual ~IAudioProcessor() = default;

    // The input is read during the call only. The returned samples live in
    // the processor's buffer until the next call; frame_count may be 0.
    virtual AudioFrame process_frame(const AudioFrame &frame) = 0;
};

class IKoltaSdk {
public:
    virtual ~IKoltaSdk() = default;

    // Blocks until sign-in completes; a refusal is a result, not an error.
    virtual SdkResult activate_api_key(const std::string &api_key) = 0;

    // Must answer without waiting on anything that needs Python.
    virtual std::string version() = 0;

    // Empty when no processor can be made (not activated, not entitled).
    virtual std::unique_ptr<IAudioProcessor>
    create_audio_processor(const ProcessorAttributes &attrs) = 0;
};

// Never returns an empty pointer; throws on failure.
KOLTA_API std::shared_ptr<IKoltaSdk> CreateKoltaSdk(const InitParams &params);

} // namespace kolta
