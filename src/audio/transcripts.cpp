#include <kolta/transcript_types.h>

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/element_views.h"
#include "bridge/gil_safe_callable.h"
#include "bridge/record_gc.h"
#include "bridge/registration.h"

namespace kolta_py {

namespace {

using Segments = std::vector<kolta::TranscriptSegment>;

// A segment list reads as a new list of live views of the stored segments, and
// is replaced by a copy of any sequence of segments (all or nothing).
template <Segments kolta::TranscriptData::*Field>
const Segments &get_segments(const kolta::TranscriptData &data) {
    return data.*Field;
}

template <Segments kolta::TranscriptData::*Field>
void set_segments(kolta::TranscriptData &data, Segments value) {
    retire_elements(data.*Field);
    data.*Field = std::move(value);
}

void set_transcript_data(kolta::TextFrame &frame, const kolta::TranscriptData &value) {
    // Copy first: value may be a view into frame itself.
    kolta::TranscriptData fresh = value;
    retire_elements(frame.transcript_data_.complete);
    retire_elements(frame.transcript_data_.partial);
    frame.transcript_data_ = std::move(fresh);
}

void construct_lt_config(kolta::LanguageTranslationConfig *self, std::string language_in,
                         std::string language_out, std::string conversation_id,
                         std::optional<nb::callable> callback) {
    kolta::LanguageTranslationConfig config{};
    config.language_in = std::move(language_in);
    config.language_out = std::move(language_out);
    config.conversation_id = std::move(conversation_id);
    if (callback)
        config.callback = wrap_gil<void(kolta::TextFrame &&)>(std::move(*callback));
    new (self) kolta::LanguageTranslationConfig(std::move(config));
}

} // namespace

void bind_transcript_type(nb::module_ &m) {
    using E = kolta::TranscriptType;
    if (reuse_registered<E>(m, "TranscriptType"))
        return;
    require_enum_module();
    nb::enum_<E>(m, "TranscriptType", "Kind of transcript carried by a TextFrame.",
                 nb::is_arithmetic())
        .value("TRANSLATION", E::kTranslation)
        .value("TRANSCRIPTION", E::kTranscription);
}

void bind_transcript_segment(nb::module_ &m) {
    using S = kolta::TranscriptSegment;
    if (reuse_registered<S>(m, "TranscriptSegment"))
        return;
    nb::class_<S>(m, "TranscriptSegment",
                  "A single transcript segment: a span of recognised (or translated) "
                  "text with its timing and confidence.")
        .def(nb::init<>())
        .def_rw("start", &S::start, "Segment start time.")
        .def_rw("end", &S::end, "Segment end time.")
        .def_rw("probability", &S::probability,
                "Confidence of the segment, in the range [0.0, 1.0].")
        .def_rw("text", &S::text, "Segment text. Always populated (unredacted).")
        .def_rw("redacted_text", &S::redacted_text,
                "PII-redacted variant of text. Populated for ASR only when redaction "
                "is enabled via ASRAttributes.redaction; empty for the "
                "language-translation use case.");
}

void bind_transcript_data(nb::module_ &m) {
    using D = kolta::TranscriptData;
    if (reuse_registered<D>(m, "TranscriptData"))
        return;
    nb::class_<D>(m, "TranscriptData",
                  "Transcript payload for a single kind (transcription or translation).")
        .def(nb::init<>())
        .def_prop_rw("complete", &get_segments<&D::complete>, &set_segments<&D::complete>,
                     "Finalised segments; text will not change.")
        .def_prop_rw("partial", &get_segments<&D::partial>, &set_segments<&D::partial>,
                     "Partial (in-progress) segments that may be revised by a later "
                     "frame. Empty for the SSI/ASR use case.")
        .def_rw("utterance_idx", &D::utterance_idx,
                "Zero-based utterance index, correlated with the server, used to group "
                "frames belonging to the same utterance.")
        .def_rw("language_code_", &D::language_code_,
                "Language code of this transcript payload (e.g. 'en-US').");
}

void bind_text_frame(nb::module_ &m) {
    using F = kolta::TextFrame;
    if (reuse_registered<F>(m, "TextFrame"))
        return;
    nb::class_<F>(m, "TextFrame",
                  "A transcript message delivered to the transcript callback. Carries "
                  "the transcript payload for one update; type_ indicates whether it is "
                  "a transcription (ASR) or a translation.")
        .def(nb::init<>())
        .def_rw("type_", &F::type_, "Kind of transcript carried by transcript_data_.")
        .def_prop_rw(
            "transcript_data_",
            [](const F &frame) -> const kolta::TranscriptData & {
                return frame.transcript_data_;
            },
            &set_transcript_data,
            "Transcript payload for this message. Interpreted as a transcription or a "
            "translation according to type_.");
}

namespace {

std::array<PyObject *, 2> lt_config_callables(const kolta::LanguageTranslationConfig &c) {
    return {sole_callable(c.callback), nullptr};
}

void clear_lt_config_callback(kolta::LanguageTranslationConfig &config) {
    config.callback = nullptr;
}

using LtConfigGc = RecordGc<kolta::LanguageTranslationConfig, &lt_config_callables,
                            &clear_lt_config_callback>;

} // namespace

void bind_language_translation_config(nb::module_ &m) {
    using C = kolta::LanguageTranslationConfig;
    if (reuse_registered<C>(m, "LanguageTranslationConfig"))
        return;
    nb::class_<C>(m, "LanguageTranslationConfig",
                  "Language Translation configuration parameters. Its presence on "
                  "ProcessorAttributes selects the LT pipeline (leave "
                  "AudioAttributes.model_name empty).",
                  nb::type_slots(LtConfigGc::slots))
        .def("__init__", &construct_lt_config, nb::arg("language_in"),
             nb::arg("language_out"), nb::arg("conversation_id") = "",
             nb::arg("callback") = nb::none())
        .def_rw("language_in", &C::language_in, "Input language code (e.g. 'en-US').")
        .def_rw("language_out", &C::language_out, "Output language code (e.g. 'es-ES').")
        .def_rw("conversation_id", &C::conversation_id,
                "Conversation ID to link two different translation sessions, for "
                "better LLM context in two-party translation.")
        .def_prop_rw(
            "callback", [](const C &) { return nb::object(nb::none()); },
            [](C &config, nb::callable callback) {
                config.callback =
                    wrap_gil<void(kolta::TextFrame &&)>(std::move(callback));
            },
            "Transcript callback for the raw-audio Language Translation path; invoked "
            "with a TextFrame when a translation segment is available. Runs on an "
            "internal background thread: keep it lightweight and do NOT destroy the "
            "processor from within it (can deadlock).");
}

} // namespace kolta_py
