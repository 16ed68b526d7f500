"""Processor configuration records: PipelineState, CloudInferencingParams,
AudioAttributes and ProcessorAttributes, including pipeline-state delivery from a
native thread and the callbacks' lifetimes."""

import enum
import gc
import sys
import threading
import weakref

import numpy as np
import pytest

import _kolta_module as m
from native_helpers import helpers as h
from recorder import Recorder

LOCAL = "KOLTA_LOCAL_INFERENCING"
PS = m.PipelineState


@pytest.fixture
def cloud_env(monkeypatch):
    monkeypatch.delenv(LOCAL, raising=False)
    return monkeypatch


def lt_config(language_in="en-US", callback=None):
    return m.LanguageTranslationConfig(language_in, "es-ES", "conv", callback)


# --- surface: documentation and signatures ---------------------------------------

@pytest.mark.parametrize("cls, doc", [
    (m.CloudInferencingParams, "Parameters that apply only to cloud / remote inference "
     "sessions. Ignored for local inference."),
    (m.AudioAttributes, "Audio-processing configuration for create_audio_processor "
     "(buffer / stream path). Selects the model to run (via model_name) and the session "
     "PCM format, and supplies the pipeline-state callback. The requested model must be "
     "entitled to the activated user."),
    (m.ProcessorAttributes, "Attributes passed to Sdk.create_audio_processor. Always "
     "configures the audio-processing path via audio_attributes; when asr_attributes is "
     "also set, the processor runs the ASR/SSI path instead."),
])
def test_class_documentation_and_single_undocumented_init(surface, cls, doc):
    surface.class_doc(cls, doc)


def test_init_signatures():
    sig, _, defaults = m.CloudInferencingParams.__init__.__nb_signature__[0]
    assert (sig, defaults) == ("def __init__(self) -> None", None)
    sig, _, defaults = m.AudioAttributes.__init__.__nb_signature__[0]
    assert sig == (
        "def __init__(self, sampling_rate: int = \\0, channels: int = \\1, "
        "model_name: str = \\2, cloud_inferencing_params: "
        "_kolta_module.CloudInferencingParams = \\3, audio_pipeline_state_notify: "
        "collections.abc.Callable | None = \\4) -> None")
    assert defaults[:3] == (16000, 1, "") and defaults[4] is None
    assert type(defaults[3]) is m.CloudInferencingParams
    sig, _, defaults = m.ProcessorAttributes.__init__.__nb_signature__[0]
    assert sig == (
        "def __init__(self, audio_attributes: _kolta_module.AudioAttributes, lt_config: "
        "_kolta_module.LanguageTranslationConfig | None = \\0) -> None")
    assert defaults == (None,)


CIP = "_kolta_module.CloudInferencingParams"
AA = "_kolta_module.AudioAttributes"
LTC = "_kolta_module.LanguageTranslationConfig"


@pytest.mark.parametrize("cls, name, getter, setter, doc", [
    (m.CloudInferencingParams, "use_pcm16", "bool", "arg: bool, /",
     "Negotiate L16 (raw 16-bit linear PCM) at the call's sample rate instead of the "
     "rate-default codec. Preserves fidelity and avoids server-side transcoding at the "
     "cost of bandwidth. Default: False."),
    (m.AudioAttributes, "sampling_rate", "int", "arg: int, /",
     "Session sample rate in Hz. The host must push, and receives back, all AudioFrame "
     "PCM at this rate for the lifetime of the processor."),
    (m.AudioAttributes, "channels", "int", "arg: int, /",
     "Session channel count (1 = mono, 2 = stereo). Applies to both the pushed and the "
     "returned AudioFrame PCM."),
    (m.AudioAttributes, "model_name", "str", "arg: str, /",
     "Model key selecting the model to run; validated against the user's entitlements. "
     "For Language Translation leave this empty and set ProcessorAttributes.lt_config "
     "instead."),
    (m.AudioAttributes, "cloud_inferencing_params", CIP, f"arg: {CIP}, /",
     "Cloud / remote inference tuning parameters. Only meaningful when the session runs "
     "on cloud inference; ignored for local inference."),
    (m.AudioAttributes, "audio_pipeline_state_notify", "object",
     "arg: collections.abc.Callable, /",
     "Invoked with the current PipelineState as the processor's remote pipeline connects "
     "/ disconnects. Start pumping frames only once kRunning is reported; frames pushed "
     "earlier pass through unprocessed."),
    (m.ProcessorAttributes, "audio_attributes", AA, f"arg: {AA}, /",
     "Audio-processing configuration (model, output format, sink)."),
    (m.ProcessorAttributes, "lt_config", f"{LTC} | None", f"arg: {LTC} | None",
     "Language Translation config, forwarded to the pipeline when the model resolved "
     "from audio_attributes.model_name is a Language Translation model. None otherwise."),
])
def test_property_signatures_and_documentation(surface, cls, name, getter, setter, doc):
    surface.property(cls, name, getter, setter, doc)


def test_pipeline_state_enumeration():
    assert issubclass(PS, enum.IntEnum)
    assert PS.__doc__ == (
        "Remote-inference pipeline state, delivered to "
        "AudioAttributes.audio_pipeline_state_notify. Wait for RUNNING before feeding "
        "frames on the remote (cloud) path.")
    assert [(e.name, int(e), e.__doc__) for e in PS] == [
        ("UNKNOWN", 0, "Pipeline is in an unknown state."),
        ("TRYING", 1, "Establishing the connection with the remote inference server."),
        ("RUNNING", 2, "Pipeline is actively running and processing audio."),
        ("NOT_RUNNING", 3, "Pipeline is not running or has disconnected."),
    ]


@pytest.mark.parametrize("make", [
    m.CloudInferencingParams, m.AudioAttributes, lambda: m.ProcessorAttributes(
        m.AudioAttributes())])
def test_no_dynamic_attributes_and_no_native_only_fields(make):
    record = make()
    with pytest.raises(AttributeError):
        record.not_a_field = 1
    for hidden in ("use_cloud_inferencing", "asr_attributes"):
        assert not hasattr(record, hidden)


# --- CloudInferencingParams -------------------------------------------------------

def test_cloud_params_default_and_bool_only():
    p = m.CloudInferencingParams()
    assert p.use_pcm16 is False
    p.use_pcm16 = True
    assert p.use_pcm16 is True
    for bad in (1, 0, None, "True"):
        with pytest.raises(TypeError):
            p.use_pcm16 = bad
        assert p.use_pcm16 is True
    with pytest.raises(TypeError):
        m.CloudInferencingParams(True)


# --- AudioAttributes --------------------------------------------------------------

def test_audio_attributes_defaults():
    a = m.AudioAttributes()
    assert (a.sampling_rate, a.channels, a.model_name) == (16000, 1, "")
    assert a.cloud_inferencing_params.use_pcm16 is False
    assert a.audio_pipeline_state_notify is None
    assert not h.has_callback(a)


def test_audio_attributes_positional_and_keyword():
    p = m.CloudInferencingParams()
    p.use_pcm16 = True
    by_pos = m.AudioAttributes(48000, 2, "denoise", p, print)
    by_kw = m.AudioAttributes(audio_pipeline_state_notify=print, model_name="denoise",
                              cloud_inferencing_params=p, channels=2, sampling_rate=48000)
    for a in (by_pos, by_kw):
        assert (a.sampling_rate, a.channels, a.model_name) == (48000, 2, "denoise")
        assert a.cloud_inferencing_params.use_pcm16 is True
        assert h.has_callback(a)


def test_default_cloud_params_are_copied_per_record():
    a = m.AudioAttributes()
    a.cloud_inferencing_params.use_pcm16 = True
    assert m.AudioAttributes().cloud_inferencing_params.use_pcm16 is False


@pytest.mark.parametrize("kwargs", [
    {"sampling_rate": 4294967296}, {"sampling_rate": -1}, {"sampling_rate": 16000.0},
    {"sampling_rate": None}, {"sampling_rate": "16000"}, {"sampling_rate": b"16000"},
    {"sampling_rate": " 8000 "}, {"sampling_rate": np.float32(16000)},
    {"channels": 65536}, {"channels": -1}, {"channels": 1.0}, {"channels": "2"},
    {"model_name": b"m"}, {"model_name": None},
    {"cloud_inferencing_params": None}, {"cloud_inferencing_params": True},
    {"audio_pipeline_state_notify": 5}, {"audio_pipeline_state_notify": "print"},
])
def test_audio_attributes_constructor_refusals(kwargs):
    with pytest.raises(TypeError):
        m.AudioAttributes(**kwargs)


@pytest.mark.parametrize("name, value", [
    ("sampling_rate", 0), ("sampling_rate", 4294967295), ("channels", 0),
    ("channels", 65535), ("model_name", "日本\0語"), ("model_name", ""),
])
def test_audio_attributes_field_limits(name, value):
    assert getattr(m.AudioAttributes(**{name: value}), name) == value
    a = m.AudioAttributes()
    setattr(a, name, value)
    assert getattr(a, name) == value


@pytest.mark.parametrize("name, bad", [
    ("sampling_rate", 4294967296), ("sampling_rate", -1), ("sampling_rate", 8000.0),
    ("channels", 65536), ("channels", -2), ("channels", "2"), ("sampling_rate", "8000"),
    ("model_name", 3), ("model_name", None), ("cloud_inferencing_params", None), ("cloud_inferencing_params", False),
    ("audio_pipeline_state_notify", None), ("audio_pipeline_state_notify", 5),
])
def test_audio_attributes_setter_refusals_leave_the_record_unchanged(name, bad):
    a = m.AudioAttributes(22050, 2, "model", audio_pipeline_state_notify=print)
    a.cloud_inferencing_params.use_pcm16 = True
    with pytest.raises(TypeError):
        setattr(a, name, bad)
    assert (a.sampling_rate, a.channels, a.model_name) == (22050, 2, "model")
    assert a.cloud_inferencing_params.use_pcm16 is True
    assert h.has_callback(a)


def test_cloud_params_live_view_and_copies():
    a = m.AudioAttributes()
    view = a.cloud_inferencing_params
    view.use_pcm16 = True
    assert a.cloud_inferencing_params.use_pcm16 is True
    del a
    gc.collect()
    assert view.use_pcm16 is True  # the view keeps its record alive

    p = m.CloudInferencingParams()
    a = m.AudioAttributes(cloud_inferencing_params=p)
    p.use_pcm16 = True
    assert a.cloud_inferencing_params.use_pcm16 is False
    a.cloud_inferencing_params = p
    p.use_pcm16 = False
    assert a.cloud_inferencing_params.use_pcm16 is True


@pytest.mark.parametrize("value, cloud", [
    (None, True), ("1", False), ("0", True), ("true", True), ("01", True),
    ("1 ", True), (" 1", True), ("", True), ("yes", True),
])
def test_local_inferencing_variable(cloud_env, value, cloud):
    if value is not None:
        cloud_env.setenv(LOCAL, value)
    assert h.use_cloud_inferencing(m.AudioAttributes()) is cloud


def test_local_inferencing_is_read_at_construction(cloud_env):
    cloud = m.AudioAttributes()
    cloud_env.setenv(LOCAL, "1")
    local = m.AudioAttributes()
    assert h.use_cloud_inferencing(cloud) is True
    cloud_env.delenv(LOCAL)
    assert h.use_cloud_inferencing(local) is False
    # Copies carry the flag; setting a field does not re-read the variable.
    pa = m.ProcessorAttributes(local)
    assert h.use_cloud_inferencing(pa) is False
    pa.audio_attributes.model_name = "x"
    assert h.use_cloud_inferencing(pa) is False
    pa.audio_attributes = cloud
    assert h.use_cloud_inferencing(pa) is True


# --- pipeline-state callback ------------------------------------------------------

def test_pipeline_states_delivered_from_a_native_thread():
    rec = Recorder()
    a = m.AudioAttributes(audio_pipeline_state_notify=rec)
    h.deliver_pipeline_states(a, [1, 2, 3, 0, 2])
    assert rec.values == [PS.TRYING, PS.RUNNING, PS.NOT_RUNNING, PS.UNKNOWN, PS.RUNNING]
    assert all(type(v) is PS for v in rec.values)
    assert all(t != threading.get_ident() for _, t in rec.calls)


def test_out_of_range_state_is_reported_and_delivery_goes_on(callback_errors):
    rec = Recorder()
    a = m.AudioAttributes(audio_pipeline_state_notify=rec)
    h.deliver_pipeline_states(a, [1, 7, -1, 2])
    assert rec.values == [PS.TRYING, PS.RUNNING]
    assert callback_errors(rec) == [ValueError] * 2


def test_raising_state_callback_is_called_again(callback_errors):
    rec = Recorder(fail=True)
    a = m.AudioAttributes()
    a.audio_pipeline_state_notify = rec
    h.deliver_pipeline_states(a, [2, 3])
    assert rec.values == [PS.RUNNING, PS.NOT_RUNNING]
    assert callback_errors(rec) == [ZeroDivisionError] * 2


def test_state_callback_setter_replaces_and_getter_stays_none():
    first, second = Recorder(), Recorder()
    a = m.AudioAttributes(audio_pipeline_state_notify=first)
    a.audio_pipeline_state_notify = second
    assert a.audio_pipeline_state_notify is None
    h.deliver_pipeline_states(a, [2])
    assert first.values == [] and second.values == [PS.RUNNING]


@pytest.mark.parametrize("make, field, copy", [
    (lambda rec: m.AudioAttributes(audio_pipeline_state_notify=rec),
     "audio_pipeline_state_notify", m.ProcessorAttributes),
    (lambda rec: lt_config(callback=rec), "callback",
     lambda c: m.ProcessorAttributes(m.AudioAttributes(), c)),
], ids=["state", "lt"])
def test_callback_reference_released_with_the_record_or_on_replacement(make, field, copy):
    rec = Recorder()
    base = sys.getrefcount(rec)
    record = make(rec)
    assert sys.getrefcount(rec) == base + 1
    setattr(record, field, Recorder())
    assert sys.getrefcount(rec) == base
    setattr(record, field, rec)
    copied = copy(record)
    # A copy Python owns holds a reference of its own, so the collector can
    # see the callable through each record.
    assert sys.getrefcount(rec) == base + 2
    del record, copied
    gc.collect()
    assert sys.getrefcount(rec) == base


# --- ProcessorAttributes ----------------------------------------------------------

def test_processor_attributes_constructor_copies_both_records():
    a = m.AudioAttributes(8000, 2, "model")
    c = lt_config("fr-FR")
    pa = m.ProcessorAttributes(a, c)
    a.sampling_rate, a.model_name = 44100, "other"
    a.cloud_inferencing_params.use_pcm16 = True
    c.language_in = "de-DE"
    assert (pa.audio_attributes.sampling_rate, pa.audio_attributes.model_name) == (
        8000, "model")
    assert pa.audio_attributes.cloud_inferencing_params.use_pcm16 is False
    assert pa.lt_config.language_in == "fr-FR"
    assert m.ProcessorAttributes(a).lt_config is None
    assert m.ProcessorAttributes(audio_attributes=a, lt_config=None).lt_config is None


# Records in parameter tables are made per test: pytest keeps its parameters
# until exit, where nanobind would count a record instance as leaked.
@pytest.mark.parametrize("make_args", [
    lambda: (), lambda: (None,), lambda: (m.CloudInferencingParams(),),
    lambda: (m.AudioAttributes(), 5), lambda: (m.AudioAttributes(), "en")])
def test_processor_attributes_constructor_refusals(make_args):
    with pytest.raises(TypeError):
        m.ProcessorAttributes(*make_args())


def test_audio_attributes_is_a_live_view_and_its_setter_copies():
    pa = m.ProcessorAttributes(m.AudioAttributes())
    view = pa.audio_attributes
    view.sampling_rate = 8000
    view.cloud_inferencing_params.use_pcm16 = True
    assert pa.audio_attributes.sampling_rate == 8000
    assert pa.audio_attributes.cloud_inferencing_params.use_pcm16 is True

    rec = Recorder()
    replacement = m.AudioAttributes(48000, 2, "m", audio_pipeline_state_notify=rec)
    pa.audio_attributes = replacement
    replacement.sampling_rate = 1
    assert (view.sampling_rate, view.channels, view.model_name) == (48000, 2, "m")
    assert view.cloud_inferencing_params.use_pcm16 is False
    h.deliver_pipeline_states(pa, [2])
    assert rec.values == [PS.RUNNING]


def test_lt_config_live_view_copy_and_removal():
    pa = m.ProcessorAttributes(m.AudioAttributes(), lt_config("en-US"))
    view = pa.lt_config
    view.conversation_id = "日本\0語"
    assert pa.lt_config.conversation_id == "日本\0語"

    other = lt_config("pt-BR")
    pa.lt_config = other
    other.language_in = "it-IT"
    assert pa.lt_config.language_in == "pt-BR" and view.language_in == "pt-BR"

    pa.lt_config = None
    assert pa.lt_config is None
    pa.lt_config = None
    assert pa.lt_config is None
    pa.lt_config = other
    assert pa.lt_config.language_in == "it-IT"


def test_view_of_a_removed_lt_config_refuses_access_until_one_is_set_again():
    pa = m.ProcessorAttributes(m.AudioAttributes(), lt_config("en-US"))
    view = pa.lt_config
    pa.lt_config = None
    with pytest.warns(RuntimeWarning, match="uninitialized"), pytest.raises(TypeError):
        view.language_in
    with pytest.warns(RuntimeWarning), pytest.raises(TypeError):
        m.ProcessorAttributes(m.AudioAttributes(), view)
    pa.lt_config = lt_config("ko-KR")
    assert view.language_in == "ko-KR" and pa.lt_config is view


@pytest.mark.parametrize("make_bad", [lambda: 5, lambda: "en-US", m.AudioAttributes])
def test_lt_config_setter_refusals_leave_the_record_unchanged(make_bad):
    pa = m.ProcessorAttributes(m.AudioAttributes(), lt_config("en-US"))
    with pytest.raises(TypeError):
        pa.lt_config = make_bad()
    assert pa.lt_config.language_in == "en-US"


def test_lt_callback_copied_into_processor_attributes_keeps_the_callable_alive():
    rec = Recorder()
    base = sys.getrefcount(rec)
    pa = m.ProcessorAttributes(m.AudioAttributes(), lt_config(callback=rec))
    gc.collect()
    assert sys.getrefcount(rec) == base + 1
    assert h.deliver_text_frame(pa, 2) == (0, 0)
    ((frame, thread),) = rec.calls
    assert thread != threading.get_ident()
    assert [s.text for s in frame.transcript_data_.partial] == ["partial 0", "partial 1"]
    token = h.hold_callback(pa)
    del pa
    gc.collect()
    assert sys.getrefcount(rec) == base + 1
    h.deliver_held_text_frame(token, 1)
    assert len(rec.calls) == 2
    h.release_held(token)
    assert sys.getrefcount(rec) == base


def test_state_callback_copied_into_processor_attributes_keeps_the_callable_alive():
    rec = Recorder()
    base = sys.getrefcount(rec)
    pa = m.ProcessorAttributes(m.AudioAttributes(audio_pipeline_state_notify=rec))
    gc.collect()
    assert sys.getrefcount(rec) == base + 1
    h.deliver_pipeline_states(pa, [3])
    token = h.hold_callback(pa.audio_attributes)
    del pa
    gc.collect()
    assert sys.getrefcount(rec) == base + 1
    h.deliver_held_pipeline_states(token, [1, 2])
    assert rec.values == [PS.NOT_RUNNING, PS.TRYING, PS.RUNNING]
    h.release_held(token)
    assert sys.getrefcount(rec) == base


class CallbackOwner:
    """Holds records whose callbacks are its own bound methods: a cycle."""

    def __init__(self, kind):
        audio = m.AudioAttributes(audio_pipeline_state_notify=self.on_event)
        lt = m.LanguageTranslationConfig("en", "es", callback=self.on_event)
        if kind == "audio_attributes":
            self.record = audio
        elif kind == "lt_config":
            self.record = lt
        elif kind == "processor_attributes":
            self.record = m.ProcessorAttributes(audio, lt)
        else:
            # The owner keeps the originals and the copies made from them: each
            # record refers to the callable on its own.
            self.audio, self.lt = audio, lt
            if kind == "copies_by_constructor":
                self.record = m.ProcessorAttributes(audio, lt)
            else:
                self.record = m.ProcessorAttributes(m.AudioAttributes())
                self.record.audio_attributes = audio
                self.record.lt_config = lt

    def on_event(self, value):
        pass


@pytest.mark.parametrize("kind", ["audio_attributes", "lt_config", "processor_attributes",
                                  "copies_by_constructor", "copies_by_setters"])
def test_cycles_through_callbacks_are_collected(kind):
    owners = [CallbackOwner(kind) for _ in range(10)]
    alive = [weakref.ref(o) for o in owners]
    del owners
    gc.collect()
    assert [r() for r in alive] == [None] * 10


def test_a_callable_shared_with_native_copies_is_not_collected():
    owner = CallbackOwner("audio_attributes")
    token = h.hold_callback(owner.record)
    alive = weakref.ref(owner)
    del owner
    gc.collect()
    assert alive() is not None  # the native copy still needs the callable
    h.release_held(token)
