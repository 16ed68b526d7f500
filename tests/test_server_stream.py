"""/v1/stream: audio through the service's models over a WebSocket, and every
way a client can break the protocol refused with a close code and a reason,
without touching the other streams."""

import json
import threading

import numpy as np
import pytest
import websocket

from stream_socket import (accepted, audio_answer, audio_message, close_of, open_stream,
                           send_config)

BLOCK = 160  # 10 ms at 16 kHz


@pytest.fixture
def service(kolta_server):
    return kolta_server("--test-keys", "--stream-max-message-bytes", "4096",
                        "--stream-sessions-per-token", "3")


def speech_like(blocks, seed=0):
    rng = np.random.default_rng(seed)
    return (3000 * rng.standard_normal(blocks * BLOCK)).clip(-32768, 32767).astype(np.int16)


def test_passthrough_returns_each_message_numbered_and_unchanged(service):
    ws = open_stream(service)
    send_config(ws, service.token("kt_passthrough"))
    assert accepted(ws)["event"] == "accepted"
    audio = speech_like(6)
    for sequence, start in enumerate(range(0, audio.size, 2 * BLOCK), start=7):
        piece = audio[start:start + 2 * BLOCK]
        ws.send_binary(audio_message(sequence, piece))
        number, values = audio_answer(ws)
        assert number == sequence and np.array_equal(values, piece)
    ws.close()


def test_denoise_keeps_the_length_and_changes_noise(service):
    ws = open_stream(service)
    send_config(ws, service.token("kt_denoise"), model="denoise")
    accepted(ws)
    audio = speech_like(40)
    out = []
    for sequence in range(20):
        ws.send_binary(audio_message(sequence, audio[sequence * 2 * BLOCK:][:2 * BLOCK]))
        number, values = audio_answer(ws)
        assert number == sequence and values.size == 2 * BLOCK
        out.append(values)
    assert not np.array_equal(np.concatenate(out), audio)
    ws.close()


REFUSED_CONFIGS = [
    ("no token", {"model": "denoise", "rate": 16000, "channels": 1}, 4401, "NO_CREDENTIALS"),
    ("bad token", {"token": "x.y", "model": "denoise", "rate": 16000, "channels": 1},
     4401, "INVALID_GRANT"),
    ("not entitled", {"model": "denoise", "rate": 16000, "channels": 1}, 4403,
     "does not grant model 'denoise'"),
    ("unknown model", {"model": "loud", "rate": 16000, "channels": 1}, 4400, "model"),
    ("unknown codec", {"model": "passthrough", "rate": 16000, "channels": 1, "codec": "mp3"},
     4400, "codec"),
    ("opus at 44.1 kHz", {"model": "passthrough", "rate": 44100, "channels": 1,
                          "codec": "opus"}, 4400, "Opus codes 8000, 12000, 16000"),
    ("rate as text", {"model": "passthrough", "rate": "16000", "channels": 1}, 4400,
     "whole numbers"),
    ("bad rate", {"model": "passthrough", "rate": 7, "channels": 1}, 4400, "rate"),
    ("not JSON", "hello", 4400, "JSON object"),
]


@pytest.mark.parametrize("case, config, code, reason", REFUSED_CONFIGS,
                         ids=[case[0] for case in REFUSED_CONFIGS])
def test_a_bad_config_is_refused_with_its_reason(service, case, config, code, reason):
    ws = open_stream(service)
    if isinstance(config, dict) and case not in ("no token", "bad token"):
        config = dict(config, token=service.token("kt_passthrough"))
    ws.send(config if isinstance(config, str) else json.dumps(config))
    got_code, got_reason = close_of(ws)
    assert (got_code, reason in got_reason) == (code, True), got_reason


def bad_after_config(ws):
    yield "text audio", lambda: ws.send("hello"), 1003, "binary"
    yield "oversized", lambda: ws.send_binary(audio_message(0, np.zeros(2100, np.int16))), \
        4413, "over 4096 bytes"
    yield "part of a block", lambda: ws.send_binary(audio_message(0, np.zeros(100, np.int16))), \
        1007, "whole 10 ms blocks"
    yield "no sequence number", lambda: ws.send_binary(b"abc"), 1007, "sequence number"


ABUSE = ["text audio", "oversized", "part of a block", "no sequence number",
         "sequence skipped", "binary config"]


@pytest.mark.parametrize("abuse", ABUSE)
def test_protocol_abuse_is_refused_and_other_streams_go_on(service, abuse):
    token = service.token("kt_passthrough")
    good = open_stream(service)
    send_config(good, token)
    accepted(good)
    bad = open_stream(service)
    if abuse == "binary config":
        bad.send_binary(b'{"token": "x"}')
        expected = (1003, "JSON config")
    else:
        send_config(bad, token)
        accepted(bad)
        silence = np.zeros(BLOCK, np.int16)
        if abuse == "sequence skipped":
            bad.send_binary(audio_message(0, silence))
            audio_answer(bad)
            bad.send_binary(audio_message(2, silence))
            expected = (1007, "does not follow 0")
        else:
            cases = {name: (send, code, reason)
                     for name, send, code, reason in bad_after_config(bad)}
            send, code, reason = cases[abuse]
            send()
            expected = (code, reason)
    code, reason = close_of(bad)
    assert code == expected[0] and expected[1] in reason, (code, reason)
    audio = speech_like(2, seed=3)
    good.send_binary(audio_message(0, audio))
    assert audio_answer(good)[0] == 0
    good.close()


def test_a_token_opens_at_most_its_cap_of_streams(service):
    token = service.token("kt_passthrough")
    streams = []
    for _ in range(3):
        ws = open_stream(service)
        send_config(ws, token)
        accepted(ws)
        streams.append(ws)
    extra = open_stream(service)
    send_config(extra, token)
    code, reason = close_of(extra)
    assert code == 4429 and "3 streams" in reason
    streams.pop().close()
    again = open_stream(service)
    for _ in range(50):  # the closed stream is counted off as its socket ends
        send_config(again, token)
        opcode, data = again.recv_data()
        if opcode == websocket.ABNF.OPCODE_TEXT:
            break
        again = open_stream(service)
    else:
        pytest.fail("the cap never freed a place")
    for ws in streams + [again]:
        ws.close()


def test_an_idle_stream_is_closed_with_its_reason(kolta_server):
    service = kolta_server("--test-keys", "--stream-idle-ms", "300")
    ws = open_stream(service)
    send_config(ws, service.token("kt_passthrough"))
    accepted(ws)
    code, reason = close_of(ws)
    assert code == 4408 and "300 ms" in reason


def test_many_streams_at_once_each_get_their_own_audio_back(kolta_server):
    service = kolta_server("--test-keys", "--stream-sessions-per-token", "8")
    token = service.token("kt_passthrough")
    failures = []

    def stream(seed):
        try:
            ws = open_stream(service)
            send_config(ws, token)
            accepted(ws)
            audio = speech_like(10, seed)
            for sequence in range(5):
                piece = audio[sequence * 2 * BLOCK:][:2 * BLOCK]
                ws.send_binary(audio_message(sequence, piece))
                number, values = audio_answer(ws)
                assert number == sequence and np.array_equal(values, piece)
            ws.close()
        except Exception as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=stream, args=(seed,)) for seed in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(30)
        assert not thread.is_alive()
    assert not failures


@pytest.mark.parametrize("packet", [b"", b"\xf8\xff\xfe"], ids=["empty", "a 20 ms packet"])
def test_an_opus_stream_refuses_what_is_not_one_packet_of_one_block(service, packet):
    ws = open_stream(service)
    send_config(ws, service.token("kt_passthrough"), codec="opus")
    assert accepted(ws)["event"] == "accepted"
    ws.send_binary((0).to_bytes(8, "little") + packet)
    code, reason = close_of(ws)
    assert (code, "one Opus packet of one block" in reason) == (1007, True), reason
