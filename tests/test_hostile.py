"""Hostile input at every constructor, setter and method (Hypothesis).

Each value either gives the documented result or is refused with TypeError,
ValueError or RuntimeError (UnicodeEncodeError is a ValueError), and a refused
call leaves the record as it was. The documented results follow the binding
library's conversions, modelled here:

- unsigned integer fields take integers and integer-like objects (anything
  with __index__) in range; floats, Decimal, Fraction, numpy float32 and
  numeric text ("16000", b"8000", " 1_000 ") are refused;
- float fields take whatever float() converts except str/bytes;
- str fields take str that UTF-8 can encode (no lone surrogates);
- bool fields take only True and False; enumerations take members and
  integers (anything with __index__) that name one; records only their type;
- callbacks take any callable.

The default profile keeps this file fast; KOLTA_HYPOTHESIS_PROFILE=stress
(scripts/stress.sh) runs many more examples."""

import decimal
import fractions
import math
import operator
import os
import re
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import _kolta_module as m
from native_helpers import helpers as h

settings.register_profile(
    "default", max_examples=40, deadline=None, database=None, derandomize=True,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
settings.register_profile(
    "stress", max_examples=1000, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture])
PROFILE = os.environ.get("KOLTA_HYPOTHESIS_PROFILE", "default")
settings.load_profile(PROFILE)


def examples(count):
    """Fewer examples for the tests that run the engine; ten times more under
    the stress profile."""
    return settings(max_examples=count * (10 if PROFILE == "stress" else 1))


REFUSALS = (TypeError, ValueError, RuntimeError)
U16, U32 = 2**16 - 1, 2**32 - 1
RATES = (8000, 16000, 24000, 32000, 44100, 48000)


# --- hostile values ---------------------------------------------------------------

class Boom(Exception):
    """Raised by the hostile objects below; it must never escape a call."""


class RaisingIndex:
    def __index__(self):
        raise Boom("__index__")


class RaisingInt:
    def __int__(self):
        raise Boom("__int__")


class RaisingFloat:
    def __float__(self):
        raise Boom("__float__")


class RaisingSequence:
    """A sequence whose second item cannot be read."""

    def __len__(self):
        return 3

    def __getitem__(self, index):
        if index == 1:
            raise Boom("__getitem__")
        if index > 2:
            raise IndexError(index)
        return m.TranscriptSegment()


class RaisingLength:
    def __len__(self):
        raise Boom("__len__")

    def __getitem__(self, index):
        return m.TranscriptSegment()


class RaisingIteration:
    def __iter__(self):
        raise Boom("__iter__")


class Made:
    """A binding object to make inside the test. Hypothesis keeps the last value
    it drew until the interpreter exits, and the binding library reports every
    instance still alive then as a leak; so strategies draw the recipe."""

    def __init__(self, make):
        self.make = make


def real(value):
    if isinstance(value, Made):
        return value.make()
    if type(value) in (list, tuple):
        return type(value)(real(v) for v in value)
    return value


def fresh(make):
    """`make` is a lambda: given a binding class itself, Hypothesis would read
    its signature and keep the default argument values alive in its caches."""
    return st.just(Made(make))


BOUNDS = [0, 1, -1, U16, U16 + 1, 2**31 - 1, 2**31, U32, U32 + 1, 2**63 - 1, 2**63,
          2**64 - 1, 2**64, -2**63 - 1, 10**100]

hostile_ints = st.one_of(st.sampled_from(BOUNDS), st.integers(),
                         st.integers(min_value=-2, max_value=70000))
hostile_floats = st.floats(allow_nan=True, allow_infinity=True)
lone_surrogates = st.text(st.characters(categories=["Cs"]), min_size=1, max_size=3)
hostile_text = st.one_of(
    st.text(max_size=40),
    st.builds(lambda a, s, b: a + s + b, st.text(max_size=5), lone_surrogates,
              st.text(max_size=5)),
    st.sampled_from(["16000", " 44100 ", "1_000", "-1", "0x10", "١٢", "nan", "inf", "",
                     "\0", "é/ü", "a" * 5000]))
numbers = st.one_of(
    st.builds(np.int64, st.integers(-2**63, 2**63 - 1)),
    st.builds(np.uint64, st.integers(0, 2**64 - 1)),
    st.builds(np.float32, st.floats(width=32)),
    st.builds(np.float64, hostile_floats),
    st.builds(decimal.Decimal, st.sampled_from(["16000.9", "NaN", "-0", "1e30", "2"])),
    st.builds(fractions.Fraction, st.integers(-10**6, 10**6), st.integers(1, 10)),
    st.booleans())
containers = st.one_of(st.lists(st.integers(), max_size=3),
                       st.tuples(st.integers()), st.dictionaries(st.text(), st.integers()),
                       st.just(set()), st.just(iter([1])))
raising = st.sampled_from([RaisingIndex, RaisingInt, RaisingFloat, RaisingSequence,
                           RaisingLength, RaisingIteration]).map(lambda cls: cls())
# Recipes rather than the classes themselves: Hypothesis would read their
# signatures, and keep the binding's default argument values in its caches.
records = st.sampled_from([lambda: m.CloudInferencingParams(), lambda: m.AudioAttributes(),
                           lambda: m.TranscriptSegment(), lambda: m.TranscriptData(),
                           lambda: m.TextFrame(), lambda: m.SdkResult(),
                           lambda: m.InitParams("x"),
                           lambda: m.LanguageTranslationConfig("en", "es"),
                           lambda: m.ProcessorAttributes(m.AudioAttributes()),
                           lambda: m.AudioFrame(np.zeros(2, np.float32))]).map(Made)
anything = st.one_of(hostile_ints, hostile_floats, hostile_text, numbers, containers,
                     raising, records, st.binary(max_size=8).map(bytearray),
                     st.binary(max_size=8), st.none(), st.just(print),
                     st.just(m.TranscriptType.TRANSCRIPTION), st.just(m.PipelineState.RUNNING))


# --- what each kind of field documents -----------------------------------------------

REFUSE = object()


def as_unsigned(value, top):
    """Integers and integer-like objects (`__index__`): never floats, nor
    numeric text such as "16000", b"16000" or " 8000 "."""
    try:
        number = operator.index(value)
    except Exception:
        return REFUSE
    return number if 0 <= number <= top else REFUSE


def as_float(value):
    if isinstance(value, (str, bytes, bytearray)):
        return REFUSE
    try:
        return float(value)
    except Exception:
        return REFUSE


def as_text(value):
    if not isinstance(value, str):
        return REFUSE
    try:
        value.encode("utf-8")
    except UnicodeEncodeError:
        return REFUSE
    return value


def as_segments(value):
    """Any sequence but exact str and bytes (read through tuple()), whose items
    are all segments; sets, mappings and iterators are not sequences."""
    if type(value) in (str, bytes) or isinstance(value, dict) or not (
            hasattr(type(value), "__getitem__")):
        return REFUSE
    try:
        items = tuple(value)
    except Exception:
        return REFUSE
    return items if all(isinstance(i, m.TranscriptSegment) for i in items) else REFUSE


def as_bool(value):
    return value if value is True or value is False else REFUSE


def as_transcript_type(value):
    try:
        return m.TranscriptType(operator.index(value))
    except Exception:
        return REFUSE


def same(a, b):
    if isinstance(a, float) and isinstance(b, float) and math.isnan(a) and math.isnan(b):
        return True
    return a == b and type(a) is type(b)


# --- snapshots: a refused call must leave these unchanged ---------------------------

def segment_state(s):
    return (s.start, s.end, repr(s.probability), s.text, s.redacted_text)


def lt_state(c):
    return (c.language_in, c.language_out, c.conversation_id, h.has_callback(c))


def audio_state(a):
    return (a.sampling_rate, a.channels, a.model_name, a.cloud_inferencing_params.use_pcm16,
            h.has_callback(a), h.use_cloud_inferencing(a))


STATE = {
    m.InitParams: lambda r: (r.storage_dir,),
    m.CloudInferencingParams: lambda r: (r.use_pcm16,),
    m.AudioAttributes: audio_state,
    m.ProcessorAttributes: lambda r: (audio_state(r.audio_attributes),
                                      r.lt_config and lt_state(r.lt_config)),
    m.TranscriptSegment: segment_state,
    m.TranscriptData: lambda r: (tuple(map(segment_state, r.complete)),
                                 tuple(map(segment_state, r.partial)), r.utterance_idx,
                                 r.language_code_),
    m.TextFrame: lambda r: (r.type_, STATE[m.TranscriptData](r.transcript_data_)),
    m.LanguageTranslationConfig: lt_state,
}


def state(record):
    return STATE[type(record)](record)


def segment(text):
    s = m.TranscriptSegment()
    s.text = text
    return s


def filled(kind):
    """A record with non-default values everywhere."""
    if kind is m.InitParams:
        return m.InitParams("some/where")
    if kind is m.CloudInferencingParams:
        p = m.CloudInferencingParams()
        p.use_pcm16 = True
        return p
    if kind is m.AudioAttributes:
        return m.AudioAttributes(22050, 2, "model", filled(m.CloudInferencingParams), print)
    if kind is m.ProcessorAttributes:
        return m.ProcessorAttributes(filled(m.AudioAttributes),
                                     filled(m.LanguageTranslationConfig))
    if kind is m.TranscriptSegment:
        s = segment("text")
        s.start, s.end, s.probability, s.redacted_text = "1.0", "2.0", 0.5, "red"
        return s
    if kind is m.TranscriptData:
        d = m.TranscriptData()
        d.complete, d.partial = [filled(m.TranscriptSegment)], [segment("p")]
        d.utterance_idx, d.language_code_ = 7, "en-US"
        return d
    if kind is m.TextFrame:
        f = m.TextFrame()
        f.type_, f.transcript_data_ = m.TranscriptType.TRANSCRIPTION, filled(m.TranscriptData)
        return f
    return m.LanguageTranslationConfig("en-US", "es-ES", "conv", print)


def check_set(record, name, value, expect):
    """Sets record.name = value: either the documented value is stored (`expect`
    returns it) or a refusal leaves the whole record unchanged."""
    before = state(record)
    documented = expect(value)
    try:
        setattr(record, name, value)
    except REFUSALS:
        assert documented is REFUSE, f"{name}={value!r} refused, documented {documented!r}"
        assert state(record) == before
        return
    assert documented is not REFUSE, f"{name}={value!r} accepted"
    stored = getattr(record, name)
    assert same(stored, documented) or stored == documented, (name, value, stored)


# --- setters -------------------------------------------------------------------------

# Parameters name the classes rather than hold them: Hypothesis may read a
# binding class's signature and keep its default argument values alive until
# exit, where the binding library reports them as leaked.
INT_FIELDS = [("AudioAttributes", "sampling_rate", U32), ("AudioAttributes", "channels", U16),
              ("TranscriptData", "utterance_idx", U32)]


@pytest.mark.parametrize("kind, name, top", INT_FIELDS,
                         ids=[f"{k}.{n}" for k, n, _ in INT_FIELDS])
@given(value=st.one_of(hostile_ints, numbers, hostile_text, anything))
def test_unsigned_integer_fields(kind, name, top, value):
    value = real(value)
    check_set(filled(getattr(m, kind)), name, value, lambda v: as_unsigned(v, top))


STR_FIELDS = [("InitParams", "storage_dir"), ("AudioAttributes", "model_name"),
              ("TranscriptSegment", "start"), ("TranscriptSegment", "end"),
              ("TranscriptSegment", "text"), ("TranscriptSegment", "redacted_text"),
              ("TranscriptData", "language_code_"),
              ("LanguageTranslationConfig", "language_in"),
              ("LanguageTranslationConfig", "language_out"),
              ("LanguageTranslationConfig", "conversation_id")]


@pytest.mark.parametrize("kind, name", STR_FIELDS, ids=[f"{k}.{n}" for k, n in STR_FIELDS])
@given(value=st.one_of(hostile_text, anything))
def test_string_fields(kind, name, value):
    value = real(value)
    check_set(filled(getattr(m, kind)), name, value, as_text)


@given(value=st.one_of(hostile_floats, numbers, anything))
def test_probability(value):
    value = real(value)
    check_set(filled(m.TranscriptSegment), "probability", value, as_float)


@given(value=anything)
def test_use_pcm16(value):
    value = real(value)
    check_set(filled(m.CloudInferencingParams), "use_pcm16", value, as_bool)


@given(value=st.one_of(hostile_ints, numbers, anything))
def test_transcript_type(value):
    value = real(value)
    frame = filled(m.TextFrame)
    frame.type_ = m.TranscriptType.TRANSLATION
    with warnings.catch_warnings():
        # numpy deprecates np.bool_ as an index; that warning is numpy's business.
        warnings.simplefilter("ignore", DeprecationWarning)
        check_set(frame, "type_", value, as_transcript_type)


RECORD_FIELDS = [
    ("AudioAttributes", "cloud_inferencing_params", "CloudInferencingParams"),
    ("ProcessorAttributes", "audio_attributes", "AudioAttributes"),
    ("TextFrame", "transcript_data_", "TranscriptData"),
]


@pytest.mark.parametrize("kind, name, field_type", RECORD_FIELDS,
                         ids=[f"{k}.{n}" for k, n, _ in RECORD_FIELDS])
@given(value=anything)
def test_record_fields(kind, name, field_type, value):
    value = real(value)
    kind, field_type = getattr(m, kind), getattr(m, field_type)
    record = filled(kind)
    before = state(record)
    try:
        setattr(record, name, value)
    except REFUSALS:
        assert not isinstance(value, field_type)
        assert state(record) == before
        return
    assert isinstance(value, field_type)
    assert STATE[field_type](getattr(record, name)) == STATE[field_type](value)


@given(value=st.one_of(anything, st.none()))
def test_lt_config_field(value):
    value = real(value)
    record = filled(m.ProcessorAttributes)
    before = state(record)
    try:
        record.lt_config = value
    except REFUSALS:
        assert not isinstance(value, m.LanguageTranslationConfig) and value is not None
        assert state(record) == before
        return
    if value is None:
        assert record.lt_config is None
    else:
        assert lt_state(record.lt_config) == lt_state(value)


@pytest.mark.parametrize("name", ["complete", "partial"])
@given(items=st.one_of(
    anything,
    st.lists(st.one_of(st.text(max_size=5).map(lambda t: Made(lambda: segment(t))), anything), max_size=4),
    st.lists(st.text(max_size=5).map(lambda t: Made(lambda: segment(t))), max_size=4).map(tuple)))
def test_segment_lists_are_all_or_nothing(name, items):
    items = real(items)
    record = filled(m.TranscriptData)
    before = state(record)
    documented = as_segments(items)
    try:
        setattr(record, name, items)
    except REFUSALS:
        assert documented is REFUSE, items
        assert state(record) == before
        return
    assert documented is not REFUSE, items
    assert [segment_state(s) for s in getattr(record, name)] == [
        segment_state(s) for s in documented]


CALLBACK_FIELDS = [("AudioAttributes", "audio_pipeline_state_notify"),
                   ("LanguageTranslationConfig", "callback")]


@pytest.mark.parametrize("kind, name", CALLBACK_FIELDS,
                         ids=[f"{k}.{n}" for k, n in CALLBACK_FIELDS])
@given(value=st.one_of(anything, st.sampled_from([len, m.TextFrame, lambda *a: None])))
def test_callback_fields(kind, name, value):
    value = real(value)
    record = m.AudioAttributes() if kind == "AudioAttributes" else (
        m.LanguageTranslationConfig("a", "b"))
    before = state(record)
    try:
        setattr(record, name, value)
    except REFUSALS:
        assert not callable(value)
        assert state(record) == before
        return
    assert callable(value)
    assert getattr(record, name) is None and h.has_callback(record)


# --- constructors ----------------------------------------------------------------------

@given(rate=st.one_of(hostile_ints, anything), channels=st.one_of(hostile_ints, anything),
       model=st.one_of(hostile_text, anything),
       params=st.one_of(fresh(lambda: m.CloudInferencingParams()), anything),
       notify=st.one_of(st.none(), anything))
def test_audio_attributes_constructor(rate, channels, model, params, notify):
    rate, channels, model, params, notify = real(rate), real(channels), real(model), real(params), real(notify)
    documented = (as_unsigned(rate, U32), as_unsigned(channels, U16), as_text(model),
                  params if isinstance(params, m.CloudInferencingParams) else REFUSE,
                  notify if notify is None or callable(notify) else REFUSE)
    try:
        record = m.AudioAttributes(rate, channels, model, params, notify)
    except REFUSALS:
        assert REFUSE in documented
        return
    assert REFUSE not in documented
    assert (record.sampling_rate, record.channels, record.model_name) == documented[:3]
    assert record.cloud_inferencing_params.use_pcm16 == params.use_pcm16
    assert h.has_callback(record) == (notify is not None)


@given(args=st.lists(st.one_of(hostile_text, anything), min_size=0, max_size=5))
def test_language_translation_config_constructor(args):
    args = real(args)
    texts = [as_text(a) for a in args[:3]]
    callback_ok = len(args) < 4 or args[3] is None or callable(args[3])
    documented = 2 <= len(args) <= 4 and REFUSE not in texts and callback_ok
    try:
        record = m.LanguageTranslationConfig(*args)
    except REFUSALS:
        assert not documented
        return
    assert documented
    assert (record.language_in, record.language_out) == tuple(texts[:2])
    assert record.conversation_id == (texts[2] if len(texts) > 2 else "")


@given(audio=st.one_of(fresh(lambda: m.AudioAttributes()), anything),
       lt=st.one_of(st.none(), fresh(lambda: m.LanguageTranslationConfig("en", "es")),
                    anything))
def test_processor_attributes_constructor(audio, lt):
    audio, lt = real(audio), real(lt)
    documented = isinstance(audio, m.AudioAttributes) and (
        lt is None or isinstance(lt, m.LanguageTranslationConfig))
    try:
        record = m.ProcessorAttributes(audio, lt)
    except REFUSALS:
        assert not documented
        return
    assert documented and (record.lt_config is None) == (lt is None)


@given(value=st.one_of(hostile_text, anything))
def test_init_params_constructor(value):
    value = real(value)
    documented = as_text(value)
    try:
        record = m.InitParams(value)
    except REFUSALS:
        assert documented is REFUSE
        return
    assert record.storage_dir == documented


@pytest.mark.parametrize("kind", ["CloudInferencingParams", "TranscriptSegment",
                                  "TranscriptData", "TextFrame", "SdkResult"])
@given(args=st.lists(anything, min_size=1, max_size=3))
def test_constructors_without_arguments_refuse_any(kind, args):
    args = real(args)
    with pytest.raises(TypeError):
        getattr(m, kind)(*args)


float_dtypes = st.sampled_from([np.float32, np.float64, np.float16, np.int8, np.int16, np.int32,
                                np.uint8, np.uint16, np.bool_, np.complex64, ">f4", "<f8"])


@st.composite
def arrays(draw):
    dtype = np.dtype(draw(float_dtypes))
    shape = draw(st.one_of(st.tuples(st.integers(0, 600)), st.just(()),
                           st.tuples(st.integers(0, 4), st.integers(0, 4))))
    elements = hnp.from_dtype(dtype, allow_nan=True, allow_infinity=True) if (
        dtype.kind in "fc") else None
    array = draw(hnp.arrays(dtype, shape, elements=elements))
    if array.ndim == 1 and draw(st.booleans()):
        array = array[::draw(st.integers(-3, 3).filter(bool))]  # strided, maybe reversed
    if draw(st.booleans()):
        array.flags.writeable = False
    return array


def as_pcm(value):
    """One-dimensional arrays of PCM, as float32: floats by value, signed
    integers over their full scale, uint8 as offset binary; a frame as the
    samples it exports; nothing else."""
    if isinstance(value, m.AudioFrame):
        value = np.frombuffer(value.samples, np.float32)
    if not isinstance(value, np.ndarray) or value.ndim != 1:
        return REFUSE
    kind, bits = value.dtype.kind, 8 * value.dtype.itemsize
    with np.errstate(over="ignore"):  # float64 beyond float32's range becomes inf
        if kind == "f":
            return value.astype(np.float32)
        if kind == "i":
            return (value / 2.0 ** (bits - 1)).astype(np.float32)
    if kind == "u" and bits == 8:
        return (value.astype(np.float32) - 128) / 128
    return REFUSE


@given(value=st.one_of(arrays(), anything))
def test_audio_frame_constructor(value):
    value = real(value)
    expected = as_pcm(value)
    try:
        frame = m.AudioFrame(value)
    except REFUSALS:
        assert expected is REFUSE, value
        return
    assert expected is not REFUSE, value
    assert frame.frame_count == len(expected)
    np.testing.assert_array_equal(np.frombuffer(frame.samples, np.float32), expected)


# --- methods -------------------------------------------------------------------------

@pytest.fixture(scope="module")
def sdk(tmp_path_factory):
    handle = m.create_sdk(m.InitParams(storage_dir=str(tmp_path_factory.mktemp("hostile"))))
    assert handle.activate_api_key("KOLTA-DEMO-KEY").success
    return handle


@pytest.fixture
def local(monkeypatch):
    """Records made here select local inference: no simulated connection."""
    for var in ("KOLTA_ENGINE_FAULTS", "KOLTA_ENGINE_STARTUP_DELAY_MS"):
        monkeypatch.delenv(var, raising=False)
    monkeypatch.setenv("KOLTA_LOCAL_INFERENCING", "1")


MEMBERS = [e.name.lower() for e in m.SdkErrorType]


def expected_sign_in(key):
    """The reference engine's key scheme (engine/README.md)."""
    base, at, suffix = key.rpartition("@")
    if at:
        if not re.fullmatch(r"[0-9]{1,19}", suffix) or int(suffix) > 10000:
            return False, m.SdkErrorType.UNAUTHORIZED
        key = base
    if key == "":
        return False, m.SdkErrorType.NO_CREDENTIALS
    if key == "KOLTA-DEMO-KEY":
        return True, None
    if key.startswith("kt_"):
        names = key[3:]
        ok = names == "all" or all(names.split("+"))
        return (True, None) if ok else (False, m.SdkErrorType.UNAUTHORIZED)
    if key.startswith("fail_") and key[5:] in MEMBERS:
        return False, m.SdkErrorType.__members__[key[5:].upper()]
    return False, m.SdkErrorType.UNAUTHORIZED


keys = st.one_of(
    st.text(st.characters(exclude_characters="@"), max_size=30),
    st.builds(lambda p, t: p + t, st.sampled_from(["kt_", "fail_", "KOLTA-DEMO-KEY", ""]),
              st.one_of(st.sampled_from(MEMBERS + ["all", "+", "a++b", "x+", "\0"]),
                        st.text(st.characters(exclude_characters="@"), max_size=10))),
    st.builds(lambda k, s: k + s, st.sampled_from(["kt_all", "fail_bad_request", ""]),
              st.sampled_from(["@0", "@1", "@", "@x", "@-1", "@20000", "@00"])),
    lone_surrogates)


@given(key=st.one_of(keys, anything.filter(lambda v: not (isinstance(v, str) and "@" in v))))
def test_sign_in_follows_the_key_scheme(sdk, key):
    key = real(key)
    try:
        result = sdk.activate_api_key(key)
    except REFUSALS:
        assert as_text(key) is REFUSE
        return
    finally:
        sdk.activate_api_key("KOLTA-DEMO-KEY")
    success, error = expected_sign_in(key)
    assert result.success is success, key
    if not success:
        assert result.error_type == error and result.message


@given(rate=st.one_of(st.sampled_from(RATES), st.integers(0, U32)),
       channels=st.one_of(st.sampled_from([1, 2]), st.integers(0, U16)),
       model=st.one_of(st.sampled_from(["passthrough", "denoise", "translate", ""]),
                       hostile_text.filter(lambda t: as_text(t) is not REFUSE)),
       with_lt=st.booleans())
@examples(25)
def test_create_audio_processor(sdk, local, rate, channels, model, with_lt):
    lt = m.LanguageTranslationConfig("en-US", "es-ES") if with_lt else None
    attrs = m.ProcessorAttributes(m.AudioAttributes(rate, channels, model), lt)
    format_ok = rate in RATES and channels in (1, 2)
    model_ok = model in ("passthrough", "denoise") or (model in ("translate", "") and with_lt)
    try:
        processor = sdk.create_audio_processor(attrs)
    except ValueError as error:  # unsupported format, checked first
        assert not format_ok
        assert str(rate) in str(error) or str(channels) in str(error)
        return
    except RuntimeError:
        assert format_ok and not model_ok
        return
    assert format_ok and model_ok
    processor.close()


@given(value=anything)
def test_methods_refuse_what_they_do_not_take(sdk, local, value):
    value = real(value)
    with sdk.create_audio_processor(
            m.ProcessorAttributes(m.AudioAttributes(model_name="passthrough"))) as p:
        calls = [lambda: p.close(value)]
        if not isinstance(value, m.AudioFrame):
            calls.append(lambda: p.process_frame(value))
        if not isinstance(value, m.ProcessorAttributes):
            calls.append(lambda: sdk.create_audio_processor(value))
        if not isinstance(value, m.InitParams):
            calls.append(lambda: m.create_sdk(value))
        if not callable(value):
            calls.append(lambda: m._gil_selftest(value))
        if as_text(value) is REFUSE:
            calls.append(lambda: sdk.activate_api_key(value))
        for call in calls:
            with pytest.raises(TypeError):
                call()
        assert p.__exit__(value, value, value) is False


samples = st.floats(width=32, allow_nan=True, allow_infinity=True)
chunks = st.one_of(
    hnp.arrays(np.float32, st.integers(0, 1200), elements=samples),
    st.integers(0, 1200).map(lambda n: np.zeros(n, np.float32)),  # a drain
    st.integers(0, 1200).map(lambda n: np.full(n, -0.0, np.float32)))


def identity_attributes(model, channels):
    lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=lambda frame: None)
    return m.ProcessorAttributes(m.AudioAttributes(16000, channels, model),
                                 lt if model == "translate" else None)


def push_stream(processor, stream, channels):
    """Pushes every chunk, then drains; returns (accepted chunks, output)."""
    minimum = 320 * channels
    accepted, out = [], []
    for chunk in stream:
        try:
            frame = processor.process_frame(m.AudioFrame(chunk))
        except ValueError:
            assert len(chunk) % channels != 0
            continue
        assert len(chunk) % channels == 0
        if len(chunk) >= minimum:
            accepted.append(chunk)
        else:
            assert frame.frame_count == 0  # shorter than 20 ms: dropped
        out.append(np.frombuffer(bytes(frame.samples), np.float32))
    drain = np.zeros(minimum, np.float32)
    for _ in range(100):
        frame = processor.process_frame(m.AudioFrame(drain))
        if frame.frame_count == 0:
            break
        out.append(np.frombuffer(bytes(frame.samples), np.float32))
    while accepted and not accepted[-1].any():
        accepted.pop()  # trailing drain chunks are held, never played back
    return accepted, np.concatenate(out) if out else np.zeros(0, np.float32)


@pytest.mark.parametrize("model", ["passthrough", "translate"])
@given(stream=st.lists(chunks, max_size=12), channels=st.sampled_from([1, 2]))
@examples(25)
def test_identity_models_return_exactly_the_accepted_input(sdk, local, model, stream,
                                                            channels):
    # The output is the accepted input delayed by 20 ms, nothing lost or
    # repeated, NaN and infinities included.
    with sdk.create_audio_processor(identity_attributes(model, channels)) as p:
        accepted, out = push_stream(p, stream, channels)
    expected = np.concatenate(accepted) if accepted else np.zeros(0, np.float32)
    np.testing.assert_array_equal(out, expected)


@given(stream=st.lists(chunks, min_size=1, max_size=8), channels=st.sampled_from([1, 2]))
@examples(20)
def test_denoise_output_is_complete_and_bounded(sdk, local, stream, channels):
    # Same stream rules; NaN becomes 0 and everything is clamped to 16-bit range.
    with sdk.create_audio_processor(
            m.ProcessorAttributes(m.AudioAttributes(16000, channels, "denoise"))) as p:
        accepted, out = push_stream(p, stream, channels)
    assert len(out) == sum(len(c) for c in accepted)
    assert np.all(np.isfinite(out)) and np.all(np.abs(out) <= 1.0)
