"""Transcript records: TranscriptType, TranscriptSegment, TranscriptData, TextFrame and
LanguageTranslationConfig, including transcript delivery from a native thread."""

import enum
import gc
import threading

import pytest

import _kolta_module as m
from native_helpers import helpers as h
from recorder import Recorder

SEGMENT_LIST = "list[_kolta_module.TranscriptSegment]"
SEGMENT_SEQ = "collections.abc.Sequence[_kolta_module.TranscriptSegment]"


def segment(text, **fields):
    s = m.TranscriptSegment()
    s.text = text
    for name, value in fields.items():
        setattr(s, name, value)
    return s


def texts(segments):
    return [s.text for s in segments]


def data(complete=(), partial=(), utterance_idx=0):
    d = m.TranscriptData()
    d.complete = [segment(t) for t in complete]
    d.partial = [segment(t) for t in partial]
    d.utterance_idx = utterance_idx
    return d


# --- surface: documentation and signatures ---------------------------------------

@pytest.mark.parametrize("cls, doc", [
    (m.TranscriptSegment, "A single transcript segment: a span of recognised (or "
     "translated) text with its timing and confidence."),
    (m.TranscriptData, "Transcript payload for a single kind (transcription or "
     "translation)."),
    (m.TextFrame, "A transcript message delivered to the transcript callback. Carries the "
     "transcript payload for one update; type_ indicates whether it is a transcription "
     "(ASR) or a translation."),
    (m.LanguageTranslationConfig, "Language Translation configuration parameters. Its "
     "presence on ProcessorAttributes selects the LT pipeline (leave "
     "AudioAttributes.model_name empty)."),
])
def test_class_documentation_and_single_undocumented_init(surface, cls, doc):
    surface.class_doc(cls, doc)


@pytest.mark.parametrize("cls, signature", [
    (m.TranscriptSegment, "def __init__(self) -> None"),
    (m.TranscriptData, "def __init__(self) -> None"),
    (m.TextFrame, "def __init__(self) -> None"),
    (m.LanguageTranslationConfig,
     "def __init__(self, language_in: str, language_out: str, conversation_id: str = \\0, "
     "callback: collections.abc.Callable | None = \\1) -> None"),
])
def test_init_signatures(cls, signature):
    assert cls.__init__.__nb_signature__[0][0] == signature


@pytest.mark.parametrize("cls, name, returns, accepts, doc", [
    (m.TranscriptSegment, "start", "str", "str", "Segment start time."),
    (m.TranscriptSegment, "end", "str", "str", "Segment end time."),
    (m.TranscriptSegment, "probability", "float", "float",
     "Confidence of the segment, in the range [0.0, 1.0]."),
    (m.TranscriptSegment, "text", "str", "str",
     "Segment text. Always populated (unredacted)."),
    (m.TranscriptSegment, "redacted_text", "str", "str",
     "PII-redacted variant of text. Populated for ASR only when redaction is enabled via "
     "ASRAttributes.redaction; empty for the language-translation use case."),
    (m.TranscriptData, "complete", SEGMENT_LIST, SEGMENT_SEQ,
     "Finalised segments; text will not change."),
    (m.TranscriptData, "partial", SEGMENT_LIST, SEGMENT_SEQ,
     "Partial (in-progress) segments that may be revised by a later frame. Empty for the "
     "SSI/ASR use case."),
    (m.TranscriptData, "utterance_idx", "int", "int",
     "Zero-based utterance index, correlated with the server, used to group frames "
     "belonging to the same utterance."),
    (m.TranscriptData, "language_code_", "str", "str",
     "Language code of this transcript payload (e.g. 'en-US')."),
    (m.TextFrame, "type_", "_kolta_module.TranscriptType", "_kolta_module.TranscriptType",
     "Kind of transcript carried by transcript_data_."),
    (m.TextFrame, "transcript_data_", "_kolta_module.TranscriptData",
     "_kolta_module.TranscriptData", "Transcript payload for this message. Interpreted as "
     "a transcription or a translation according to type_."),
    (m.LanguageTranslationConfig, "language_in", "str", "str",
     "Input language code (e.g. 'en-US')."),
    (m.LanguageTranslationConfig, "language_out", "str", "str",
     "Output language code (e.g. 'es-ES')."),
    (m.LanguageTranslationConfig, "conversation_id", "str", "str",
     "Conversation ID to link two different translation sessions, for better LLM context "
     "in two-party translation."),
    (m.LanguageTranslationConfig, "callback", "object", "collections.abc.Callable",
     "Transcript callback for the raw-audio Language Translation path; invoked with a "
     "TextFrame when a translation segment is available. Runs on an internal background "
     "thread: keep it lightweight and do NOT destroy the processor from within it (can "
     "deadlock)."),
])
def test_property_signatures_and_documentation(surface, cls, name, returns, accepts, doc):
    surface.property(cls, name, returns, f"arg: {accepts}, /", doc)


def test_transcript_type_enumeration():
    assert issubclass(m.TranscriptType, enum.IntEnum)
    assert m.TranscriptType.__doc__ == "Kind of transcript carried by a TextFrame."
    assert [(e.name, int(e)) for e in m.TranscriptType] == [
        ("TRANSLATION", 0), ("TRANSCRIPTION", 1)]


# --- defaults and values ----------------------------------------------------------

def test_defaults():
    s = m.TranscriptSegment()
    assert (s.start, s.end, s.probability, s.text, s.redacted_text) == ("", "", 0.0, "", "")
    d = m.TranscriptData()
    assert (d.complete, d.partial, d.utterance_idx, d.language_code_) == ([], [], 0, "")
    f = m.TextFrame()
    assert f.type_ is m.TranscriptType.TRANSLATION
    assert f.transcript_data_.complete == [] and f.transcript_data_.utterance_idx == 0
    c = m.LanguageTranslationConfig("en-US", "es-ES")
    assert (c.language_in, c.language_out, c.conversation_id, c.callback) == (
        "en-US", "es-ES", "", None)


STRINGS = ["", "plain", "héllo wörld — 日本語", "nul\0inside\0", "🎧 emoji", "x" * 5000]
STRING_FIELDS = [
    (m.TranscriptSegment, "start"), (m.TranscriptSegment, "end"),
    (m.TranscriptSegment, "text"), (m.TranscriptSegment, "redacted_text"),
    (m.TranscriptData, "language_code_"),
    (lambda: m.LanguageTranslationConfig("a", "b"), "language_in"),
    (lambda: m.LanguageTranslationConfig("a", "b"), "language_out"),
    (lambda: m.LanguageTranslationConfig("a", "b"), "conversation_id"),
]


@pytest.mark.parametrize("make, name", STRING_FIELDS)
@pytest.mark.parametrize("value", STRINGS, ids=range(len(STRINGS)))
def test_string_round_trip(make, name, value):
    record = make()
    setattr(record, name, value)
    assert getattr(record, name) == value


@pytest.mark.parametrize("value, stored", [(1, 1.0), (-3, -3.0), (0.25, 0.25), (7.5, 7.5)])
def test_probability_takes_ints_as_float_without_range_check(value, stored):
    s = segment("x", probability=value)
    assert s.probability == stored and type(s.probability) is float


@pytest.mark.parametrize("value", [0, 1, 4294967295])
def test_utterance_idx_range(value):
    d = m.TranscriptData()
    d.utterance_idx = value
    assert d.utterance_idx == value


@pytest.mark.parametrize("value, member", [
    (1, m.TranscriptType.TRANSCRIPTION), (0, m.TranscriptType.TRANSLATION),
    (m.TranscriptType.TRANSCRIPTION, m.TranscriptType.TRANSCRIPTION),
])
def test_type_accepts_members_and_their_values(value, member):
    f = m.TextFrame()
    f.type_ = value
    assert f.type_ is member


@pytest.mark.parametrize("make, name, bad", [
    (m.TranscriptSegment, "text", b"bytes"),
    (m.TranscriptSegment, "start", 5),
    (m.TranscriptSegment, "end", None),
    (m.TranscriptSegment, "probability", "0.5"),
    (m.TranscriptSegment, "probability", None),
    (m.TranscriptData, "utterance_idx", -1),
    (m.TranscriptData, "utterance_idx", 4294967296),
    (m.TranscriptData, "utterance_idx", 1.5),
    (m.TranscriptData, "utterance_idx", "7"),
    (m.TranscriptData, "language_code_", 1),
    (m.TranscriptData, "complete", "ab"),
    (m.TranscriptData, "complete", b"ab"),
    (m.TranscriptData, "partial", None),
    (m.TranscriptData, "partial", 5),
    (m.TextFrame, "type_", 2),
    (m.TextFrame, "type_", -1),
    (m.TextFrame, "type_", "TRANSLATION"),
    (m.TextFrame, "type_", None),
    (m.TextFrame, "transcript_data_", None),
    # A record of another type, made per test (pytest keeps parameters until
    # exit, where nanobind would count a record instance as leaked).
    (m.TextFrame, "transcript_data_", m.TranscriptSegment),
    (lambda: m.LanguageTranslationConfig("a", "b"), "language_in", None),
    (lambda: m.LanguageTranslationConfig("a", "b"), "conversation_id", b"c"),
])
def test_refused_values_leave_the_record_unchanged(make, name, bad):
    record = make()
    before = getattr(record, name)
    if isinstance(bad, type):
        bad = bad()
    with pytest.raises(TypeError):
        setattr(record, name, bad)
    after = getattr(record, name)
    if isinstance(before, list):
        assert len(after) == len(before)
    elif isinstance(before, m.TranscriptData):
        assert after.utterance_idx == before.utterance_idx
    else:
        assert after == before


# --- segment lists ----------------------------------------------------------------

class SegmentSequence:
    """A plain sequence that is neither list nor tuple."""

    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("name", ["complete", "partial"])
@pytest.mark.parametrize("wrap", [list, tuple, SegmentSequence], ids=["list", "tuple", "seq"])
def test_list_setter_copies_any_sequence(name, wrap):
    items = [segment("a"), segment("b")]
    d = m.TranscriptData()
    setattr(d, name, wrap(items))
    items[0].text = "changed"
    assert texts(getattr(d, name)) == ["a", "b"]


@pytest.mark.parametrize("name", ["complete", "partial"])
def test_list_getter_builds_new_lists_of_live_views(name):
    d = m.TranscriptData()
    setattr(d, name, [segment("a")])
    first, second = getattr(d, name), getattr(d, name)
    assert first is not second
    first.append(segment("extra"))
    assert len(getattr(d, name)) == 1
    first[0].text = "edited"
    first[0].probability = 0.75
    (stored,) = getattr(d, name)
    assert (stored.text, stored.probability) == ("edited", 0.75)


def test_element_view_keeps_its_record_alive():
    view = data(complete=["kept"]).complete[0]
    gc.collect()
    assert view.text == "kept"


@pytest.mark.parametrize("name", ["complete", "partial"])
@pytest.mark.parametrize("make_bad_item",
                         [lambda: 5, lambda: None, lambda: "text", m.TranscriptData])
def test_list_setter_is_all_or_nothing(name, make_bad_item):
    d = m.TranscriptData()
    setattr(d, name, [segment("old")])
    with pytest.raises(TypeError):
        setattr(d, name, [segment("new"), make_bad_item()])
    assert texts(getattr(d, name)) == ["old"]


def test_list_may_be_assigned_from_its_own_views():
    d = data(complete=["a", "b", "c"])
    d.complete = d.complete[::-1]
    assert texts(d.complete) == ["c", "b", "a"]
    d.partial = d.complete + d.complete
    assert texts(d.partial) == ["c", "b", "a"] * 2


LONG = "a segment text long enough to be stored outside the string object "


@pytest.mark.parametrize("size", [1, 3])
def test_views_of_replaced_segments_keep_the_old_values(size):
    # Same-sized replacements invite the allocator to reuse a freed buffer.
    d = data(complete=[f"{LONG}first {i}" for i in range(size)], partial=["p0", "p1"])
    complete_views, partial_views = d.complete, d.partial
    for round_ in range(20):
        d.complete = [segment(f"{LONG}{round_} {i}") for i in range(size)]
        d.partial = []
        fresh = d.complete
        assert not any(f is v for f in fresh for v in complete_views)
        assert texts(fresh) == [f"{LONG}{round_} {i}" for i in range(size)]
    assert texts(complete_views) == [f"{LONG}first {i}" for i in range(size)]
    assert texts(partial_views) == ["p0", "p1"]
    # A view of a replaced segment is no longer connected to the record.
    complete_views[0].text = "detached"
    assert "detached" not in texts(d.complete)


def test_views_survive_replacing_the_whole_transcript_data():
    f = m.TextFrame()
    f.transcript_data_ = data(complete=[LONG + "old c"], partial=[LONG + "old p"])
    held = f.transcript_data_
    c_view, p_view = held.complete[0], held.partial[0]
    for round_ in range(20):
        f.transcript_data_ = data(complete=[f"{LONG}c{round_}"],
                                  partial=[f"{LONG}p{round_}"], utterance_idx=round_)
        fresh = f.transcript_data_.complete[0]
        assert fresh is not c_view and fresh.text == f"{LONG}c{round_}"
    assert (c_view.text, p_view.text) == (LONG + "old c", LONG + "old p")
    # The payload view itself stays live: it reads the new payload.
    assert held.utterance_idx == 19 and texts(held.complete) == [f"{LONG}c19"]


def test_transcript_data_assignment_from_itself():
    f = m.TextFrame()
    f.transcript_data_ = data(complete=["a"], partial=["b"], utterance_idx=3)
    f.transcript_data_ = f.transcript_data_
    assert texts(f.transcript_data_.complete) == ["a"]
    assert texts(f.transcript_data_.partial) == ["b"]


# --- TextFrame payload ------------------------------------------------------------

def test_transcript_data_is_a_live_view_that_keeps_the_frame_alive():
    f = m.TextFrame()
    payload = f.transcript_data_
    payload.utterance_idx = 7
    payload.complete = [segment("x")]
    assert f.transcript_data_.utterance_idx == 7
    assert texts(f.transcript_data_.complete) == ["x"]
    del f
    gc.collect()
    assert payload.utterance_idx == 7 and texts(payload.complete) == ["x"]


def test_transcript_data_setter_copies():
    d = data(complete=["a"], utterance_idx=4)
    f = m.TextFrame()
    f.transcript_data_ = d
    d.utterance_idx = 9
    d.complete[0].text = "changed"
    assert f.transcript_data_.utterance_idx == 4
    assert texts(f.transcript_data_.complete) == ["a"]


# --- LanguageTranslationConfig ----------------------------------------------------

@pytest.mark.parametrize("args, kwargs", [
    ((), {}),
    (("en-US",), {}),
    (("en-US", "es-ES"), {"callback": 5}),
    (("en-US", "es-ES", None), {}),
    ((b"en", "es"), {}),
    (("en-US", "es-ES"), {"unknown": 1}),
])
def test_lt_config_constructor_refusals(args, kwargs):
    with pytest.raises(TypeError):
        m.LanguageTranslationConfig(*args, **kwargs)


@pytest.mark.parametrize("callback", [None, print, lambda frame: None])
def test_lt_config_callback_is_stored_only_when_given(callback):
    c = m.LanguageTranslationConfig("en", "es", "conv", callback)
    assert c.callback is None
    assert h.has_callback(c) == (callback is not None)


@pytest.mark.parametrize("bad", [None, 5, "print"])
def test_lt_config_callback_setter_takes_only_callables(bad):
    c = m.LanguageTranslationConfig("en", "es")
    with pytest.raises(TypeError):
        c.callback = bad
    assert not h.has_callback(c)


def test_text_frame_delivered_from_a_native_thread():
    rec = Recorder()
    c = m.LanguageTranslationConfig("en-US", "es-ES", callback=rec)
    # The native frame is moved into the Python one: its lists are left empty.
    assert h.deliver_text_frame(c, 3) == (0, 0)
    ((frame, thread),) = rec.calls
    assert thread != threading.get_ident()
    del c
    gc.collect()
    assert type(frame) is m.TextFrame and frame.type_ is m.TranscriptType.TRANSLATION
    payload = frame.transcript_data_
    assert (payload.utterance_idx, payload.language_code_) == (7, "es-ES")
    assert texts(payload.complete) == ["complete 0", "complete 1", "complete 2"]
    assert texts(payload.partial) == ["partial 0", "partial 1", "partial 2"]
    assert [(s.start, s.end, s.probability) for s in payload.complete][1] == (
        "1.0", "2.0", 0.5)


def test_raising_callback_is_reported_and_still_called_next_time(callback_errors):
    rec = Recorder(fail=True)
    c = m.LanguageTranslationConfig("en", "es", callback=rec)
    h.deliver_text_frame(c, 1)
    h.deliver_text_frame(c, 1)
    assert len(rec.calls) == 2
    assert callback_errors(rec) == [ZeroDivisionError] * 2
