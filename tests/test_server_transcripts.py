"""Transcripts on /v1/stream: a stream of a model that produces text gets the
engine's transcripts and translations as text messages between its audio
answers, unless the client declines them."""

import json
import time

import numpy as np
import pytest
import websocket

from speech_data import GOFORWARD, apertium, needs_goforward
from stream_socket import audio_message, close_of, open_stream

RATE = 16000
BLOCK = RATE // 100
BLOCKS_PER_MESSAGE = 2
DEADLINE_S = 60


def open_translate_stream(service, key="kt_translate", **extra):
    ws = open_stream(service)
    ws.send(json.dumps({"token": service.token(key), "model": "translate",
                        "rate": RATE, "channels": 1, "codec": "l16",
                        "language_in": "en-US", "language_out": "es-ES", **extra}))
    opcode, data = ws.recv_data()
    assert (opcode, json.loads(data)["event"]) == (websocket.ABNF.OPCODE_TEXT, "accepted")
    return ws


def stream_and_listen(ws, audio, until, deadline_s=DEADLINE_S):
    """Sends `audio` (int16) as numbered messages, then silence, each after
    the answer to the one before, until until(transcripts) holds or the
    deadline passes; returns the transcript messages, decoded, in order."""
    step = BLOCK * BLOCKS_PER_MESSAGE
    silence = np.zeros(step, np.int16)
    transcripts, answers = [], 0
    deadline = time.monotonic() + deadline_s
    sequence = 0
    while not until(transcripts):
        assert time.monotonic() < deadline, f"only these in {deadline_s} s: {transcripts}"
        start = sequence * step
        piece = audio[start:start + step] if start < audio.size else silence
        piece = np.pad(piece, (0, step - piece.size))
        ws.send_binary(audio_message(sequence, piece))
        while True:  # transcripts until this message's answer
            opcode, data = ws.recv_data()
            if opcode == websocket.ABNF.OPCODE_BINARY:
                assert int.from_bytes(data[:8], "little") == sequence
                answers += 1
                break
            transcripts.append(json.loads(data))
        sequence += 1
        if start >= audio.size:
            time.sleep(step / RATE)  # silence at the pace of speech: the recogniser catches up
    assert answers == sequence
    return transcripts


def finals(transcripts, kind):
    return [t for t in transcripts if t["type"] == kind and t["final"]]


def bursts(count=2, seconds=1.0, gap_s=1.0, seed=1):
    """Noise bursts far above silence: utterances to the placeholder's detector."""
    rng = np.random.default_rng(seed)
    pieces = []
    for _ in range(count):
        pieces.append(np.zeros(int(gap_s * RATE), np.int16))
        pieces.append((6000 * rng.standard_normal(int(seconds * RATE))).astype(np.int16))
    pieces.append(np.zeros(int(gap_s * RATE), np.int16))
    return np.concatenate(pieces)


@pytest.fixture
def placeholder_service(kolta_server, engine_env):
    return kolta_server("--test-keys")


@pytest.mark.timeout(90)
def test_placeholder_transcripts_arrive_with_their_translations(placeholder_service):
    ws = open_translate_stream(placeholder_service)
    got = stream_and_listen(ws, bursts(),
                            lambda ts: len(finals(ts, "translation")) >= 2)
    ws.close()
    assert {t["event"] for t in got} == {"transcript"}
    heard = finals(got, "transcription")
    said = finals(got, "translation")
    assert [t["utterance"] for t in heard[:2]] == [0, 1]
    assert [t["utterance"] for t in said[:2]] == [0, 1]
    assert {t["language"] for t in heard} == {"en-US"}
    assert {t["language"] for t in said} == {"es-ES"}
    assert any(not t["final"] for t in got), "no partial transcript"
    for t in got:
        assert 0.0 <= t["probability"] <= 1.0 and float(t["start"]) <= float(t["end"])
    # Each final transcription comes before its translation.
    order = [(t["utterance"], t["type"]) for t in got if t["final"]]
    assert order.index((0, "transcription")) < order.index((0, "translation"))


@pytest.mark.timeout(90)
@pytest.mark.parametrize("model, extra", [("translate", {"transcripts": False}),
                                          ("denoise", {})])
def test_no_transcripts_when_declined_or_the_model_makes_no_text(placeholder_service,
                                                                  model, extra):
    ws = open_stream(placeholder_service)
    ws.send(json.dumps({"token": placeholder_service.token("kt_all"), "model": model,
                        "rate": RATE, "channels": 1, "language_in": "en-US",
                        "language_out": "es-ES", **extra}))
    assert json.loads(ws.recv_data()[1])["event"] == "accepted"
    audio = bursts()
    sent = [0]

    def done(_):
        sent[0] += 1
        return sent[0] > audio.size // (BLOCK * BLOCKS_PER_MESSAGE) + 100

    assert stream_and_listen(ws, audio, done) == []
    ws.close()


BAD_CONFIGS = [
    ("transcripts as text", {"model": "passthrough", "transcripts": "no"}, "transcripts"),
    ("transcripts as a number", {"model": "passthrough", "transcripts": 0}, "transcripts"),
    ("translate without languages", {"model": "translate"}, "language_in"),
    ("translate without language_out", {"model": "translate", "language_in": "en-US"},
     "language_out"),
]


@pytest.mark.parametrize("case, config, reason", BAD_CONFIGS, ids=[c[0] for c in BAD_CONFIGS])
def test_bad_transcript_configs_are_refused(placeholder_service, case, config, reason):
    ws = open_stream(placeholder_service)
    ws.send(json.dumps({"token": placeholder_service.token("kt_all"), "rate": RATE,
                        "channels": 1, **config}))
    code, why = close_of(ws)
    assert (code, reason in why) == (4400, True), why


@pytest.mark.timeout(120)
@needs_goforward
def test_goforward_is_recognised_and_translated_on_the_stream(kolta_server, engine_env):
    engine_env.delenv("KOLTA_ENGINE_TRANSCRIPTS")
    service = kolta_server("--test-keys")
    ws = open_translate_stream(service)
    lead = np.zeros(RATE // 2, np.int16)
    speech = np.concatenate([lead, np.fromfile(GOFORWARD, "<i2")])
    got = stream_and_listen(ws, speech, lambda ts: finals(ts, "translation"))
    ws.close()
    assert [t["text"] for t in finals(got, "transcription")] == ["go forward ten meters"]
    assert [t["text"] for t in finals(got, "translation")] == [apertium("go forward ten meters")]
    assert float(finals(got, "transcription")[0]["start"]) >= 0.3  # after the lead


@pytest.mark.timeout(120)
def test_the_engine_stream_asks_the_service_for_no_transcripts(run_python, engine_env, tmp_path):
    """The engine makes its transcripts itself: its stream declines the
    service's, and its callback still gets them (placeholder texts here)."""
    engine_env.setenv("KOLTA_ENGINE_CLOUD", "stream")
    result = run_python(f"""
        import numpy as np
        import _kolta_module as m
        sdk = m.create_sdk(m.InitParams(storage_dir={str(tmp_path)!r}))
        assert sdk.activate_api_key("KOLTA-DEMO-KEY").success
        frames = []
        lt = m.LanguageTranslationConfig("en-US", "es-ES", callback=frames.append)
        rng = np.random.default_rng(0)
        speech = np.concatenate([np.zeros(8000), 0.2 * rng.standard_normal(16000),
                                 np.zeros(16000)]).astype(np.float32)
        with sdk.create_audio_processor(m.ProcessorAttributes(m.AudioAttributes(), lt)) as p:
            for at in range(0, speech.size, 320):
                p.process_frame(m.AudioFrame(speech[at:at + 320]))
            p.process_frame(m.AudioFrame(np.zeros(320, np.float32)))
        print(sum(f.type_ == m.TranscriptType.TRANSLATION for f in frames))
        """)
    assert result.returncode == 0, result.stderr
    assert int(result.stdout.split()[-1]) >= 1
    log = (tmp_path / "service" / "service.log").read_text()
    assert ": opened: model=translate" in log
    assert "transcripts=off" in log and "transcripts=on" not in log


@pytest.mark.timeout(120)
@needs_goforward
def test_a_service_stopped_mid_recognition_exits_cleanly(kolta_server, engine_env):
    """Streams still open with a backlog of speech for their recognisers: the
    service still stops at once with status 0 (the fixture checks both)."""
    engine_env.delenv("KOLTA_ENGINE_TRANSCRIPTS")
    service = kolta_server("--test-keys", "--drain-ms", "0")  # no grace for the streams
    speech = np.tile(np.fromfile(GOFORWARD, "<i2"), 4)
    step = BLOCK * BLOCKS_PER_MESSAGE
    streams = [open_translate_stream(service) for _ in range(2)]
    for ws in streams:
        for sequence in range(speech.size // step):
            ws.send_binary(audio_message(sequence, speech[sequence * step:][:step]))
            while ws.recv_data()[0] != websocket.ABNF.OPCODE_BINARY:
                pass
    started = time.monotonic()
    assert service.stop() == 0
    assert time.monotonic() - started < 10
