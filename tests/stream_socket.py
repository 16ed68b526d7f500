"""A test's WebSocket client for /v1/stream (websocket-client, every wait
with a deadline): the config, numbered audio messages, the close code and
reason the service ends a stream with."""

import json
import struct

import numpy as np
import websocket

DEADLINE_S = 10


def open_stream(service, timeout=DEADLINE_S):
    ws = websocket.WebSocket()
    ws.settimeout(timeout)
    ws.connect(f"ws://127.0.0.1:{service.port}/v1/stream")
    return ws


def send_config(ws, token, model="passthrough", rate=16000, channels=1, codec="l16"):
    ws.send(json.dumps({"token": token, "model": model, "rate": rate,
                        "channels": channels, "codec": codec}))


def accepted(ws):
    opcode, data = ws.recv_data()
    assert opcode == websocket.ABNF.OPCODE_TEXT, data
    return json.loads(data)


def audio_message(sequence, values):
    return struct.pack("<Q", sequence) + np.asarray(values, dtype="<i2").tobytes()


def audio_answer(ws):
    opcode, data = ws.recv_data()
    assert opcode == websocket.ABNF.OPCODE_BINARY, data
    (sequence,) = struct.unpack_from("<Q", data)
    return sequence, np.frombuffer(data[8:], dtype="<i2")


def close_of(ws):
    """(code, reason) of the close frame the service ends the stream with."""
    while True:
        frame = ws.recv_data_frame(control_frame=True)[1]
        if frame.opcode == websocket.ABNF.OPCODE_CLOSE:
            code = struct.unpack_from("!H", frame.data)[0]
            return code, frame.data[2:].decode()
