#include <kolta/audio_types.h>

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testhelpers.h"

namespace kolta_test {

namespace {

using TextCallback = std::function<void(kolta::TextFrame &&)>;
using StateCallback = std::function<void(kolta::PipelineState)>;

// Runs fn on a new native thread; the GIL is released while it is joined.
template <typename Fn> void run_on_native_thread(Fn &&fn) {
    std::thread worker(std::forward<Fn>(fn));
    nb::gil_scoped_release unlocked;
    worker.join();
}

const TextCallback &lt_callback_of(const kolta::ProcessorAttributes &attrs) {
    if (!attrs.lt_config)
        throw std::invalid_argument("ProcessorAttributes has no lt_config");
    return attrs.lt_config->callback;
}

kolta::TextFrame make_text_frame(std::size_t segments) {
    kolta::TextFrame frame;
    frame.type_ = kolta::TranscriptType::kTranslation;
    frame.transcript_data_.utterance_idx = 7;
    frame.transcript_data_.language_code_ = "es-ES";
    for (std::size_t i = 0; i < segments; ++i) {
        kolta::TranscriptSegment segment;
        segment.start = std::to_string(i) + ".0";
        segment.end = std::to_string(i + 1) + ".0";
        segment.probability = 0.5;
        segment.text = "complete " + std::to_string(i);
        frame.transcript_data_.complete.push_back(segment);
        segment.text = "partial " + std::to_string(i);
        frame.transcript_data_.partial.push_back(std::move(segment));
    }
    return frame;
}

// Delivers one frame as the library would: a copy of the stored callback is
// called from a native thread with the frame moved in. Returns the sizes of
// the frame's segment lists after the call.
nb::tuple deliver_frame(TextCallback callback, std::size_t segments) {
    if (!callback)
        throw std::invalid_argument("no transcript callback is stored");
    kolta::TextFrame frame = make_text_frame(segments);
    run_on_native_thread([&] { callback(std::move(frame)); });
    return nb::make_tuple(frame.transcript_data_.complete.size(),
                          frame.transcript_data_.partial.size());
}

void deliver_states(StateCallback callback, const std::vector<std::int32_t> &states) {
    if (!callback)
        throw std::invalid_argument("no pipeline-state callback is stored");
    run_on_native_thread([&] {
        for (std::int32_t state : states)
            callback(static_cast<kolta::PipelineState>(state));
    });
}

// Callback copies kept by native code after their Python record is gone, as
// the library keeps them for a processor's lifetime. Never destroyed at exit:
// the interpreter is gone by then.
struct HeldCallbacks {
    std::map<int, TextCallback> text;
    std::map<int, StateCallback> state;
    int next_token = 0;
};

HeldCallbacks &held() {
    static HeldCallbacks *callbacks = new HeldCallbacks();
    return *callbacks;
}

int hold_text(TextCallback callback) {
    int token = ++held().next_token;
    held().text.emplace(token, std::move(callback));
    return token;
}

int hold_state(StateCallback callback) {
    int token = ++held().next_token;
    held().state.emplace(token, std::move(callback));
    return token;
}

template <typename Callback>
Callback take_held(std::map<int, Callback> &callbacks, int token) {
    auto it = callbacks.find(token);
    if (it == callbacks.end())
        throw std::invalid_argument("no callback is held under this token");
    Callback callback = std::move(it->second);
    callbacks.erase(it);
    return callback;
}

} // namespace

void bind_record_helpers(nb::module_ &m) {
    m.def(
        "deliver_text_frame",
        [](const kolta::LanguageTranslationConfig &config, std::size_t segments) {
            return deliver_frame(config.callback, segments);
        },
        nb::arg("config"), nb::arg("segments") = 2,
        "Call a copy of config.callback from a native thread with a moved-in frame; "
        "return (len(complete), len(partial)) of the native frame afterwards.");
    m.def(
        "deliver_text_frame",
        [](const kolta::ProcessorAttributes &attrs, std::size_t segments) {
            return deliver_frame(lt_callback_of(attrs), segments);
        },
        nb::arg("attrs"), nb::arg("segments") = 2);
    m.def(
        "deliver_pipeline_states",
        [](const kolta::AudioAttributes &attrs, const std::vector<std::int32_t> &states) {
            deliver_states(attrs.audio_pipeline_state_notify, states);
        },
        nb::arg("attrs"), nb::arg("states"),
        "Call a copy of the pipeline-state callback from a native thread, once per "
        "state value.");
    m.def(
        "deliver_pipeline_states",
        [](const kolta::ProcessorAttributes &attrs,
           const std::vector<std::int32_t> &states) {
            deliver_states(attrs.audio_attributes.audio_pipeline_state_notify, states);
        },
        nb::arg("attrs"), nb::arg("states"));
    m.def(
        "use_cloud_inferencing",
        [](const kolta::AudioAttributes &attrs) { return attrs.use_cloud_inferencing; },
        nb::arg("attrs"));
    m.def(
        "use_cloud_inferencing",
        [](const kolta::ProcessorAttributes &attrs) {
            return attrs.audio_attributes.use_cloud_inferencing;
        },
        nb::arg("attrs"));
    m.def(
        "has_callback",
        [](const kolta::LanguageTranslationConfig &config) {
            return static_cast<bool>(config.callback);
        },
        nb::arg("config"));
    m.def(
        "has_callback",
        [](const kolta::AudioAttributes &attrs) {
            return static_cast<bool>(attrs.audio_pipeline_state_notify);
        },
        nb::arg("attrs"));
    m.def(
        "hold_callback",
        [](const kolta::ProcessorAttributes &attrs) {
            return hold_text(lt_callback_of(attrs));
        },
        nb::arg("attrs"),
        "Keep a native copy of the lt_config callback (or, given AudioAttributes, the "
        "pipeline-state callback); returns a token.");
    m.def(
        "hold_callback",
        [](const kolta::AudioAttributes &attrs) {
            return hold_state(attrs.audio_pipeline_state_notify);
        },
        nb::arg("attrs"));
    m.def(
        "deliver_held_text_frame",
        [](int token, std::size_t segments) {
            auto it = held().text.find(token);
            if (it == held().text.end())
                throw std::invalid_argument("no callback is held under this token");
            return deliver_frame(it->second, segments);
        },
        nb::arg("token"), nb::arg("segments") = 2);
    m.def(
        "deliver_held_pipeline_states",
        [](int token, const std::vector<std::int32_t> &states) {
            auto it = held().state.find(token);
            if (it == held().state.end())
                throw std::invalid_argument("no callback is held under this token");
            deliver_states(it->second, states);
        },
        nb::arg("token"), nb::arg("states"));
    m.def(
        "release_held",
        [](int token) {
            HeldCallbacks &callbacks = held();
            if (callbacks.text.count(token)) {
                TextCallback callback = take_held(callbacks.text, token);
                run_on_native_thread([dropped = std::move(callback)]() mutable {
                    TextCallback last = std::move(dropped);
                });
            } else {
                StateCallback callback = take_held(callbacks.state, token);
                run_on_native_thread([dropped = std::move(callback)]() mutable {
                    StateCallback last = std::move(dropped);
                });
            }
        },
        nb::arg("token"),
        "Destroy a held callback copy on a native thread (GIL released meanwhile).");
}

} // namespace kolta_test
