"""Minimal WAV reading and writing: 16-bit PCM and 32-bit float, any channel count."""

from __future__ import annotations

import struct
from dataclasses import dataclass

import numpy as np
import numpy.typing as npt

PCM, IEEE_FLOAT, EXTENSIBLE = 1, 3, 0xFFFE


@dataclass
class Wav:
    samples: npt.NDArray[np.float32]  # float32, interleaved, in [-1, 1]
    rate: int
    channels: int
    is_float: bool

    @property
    def seconds(self) -> float:
        return len(self.samples) / (self.rate * self.channels)


def read_wav(path: str) -> Wav:
    with open(path, "rb") as f:
        data = f.read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError(f"{path}: not a RIFF/WAVE file")
    fmt = None
    payload = None
    pos = 12
    while pos + 8 <= len(data):
        tag, size = struct.unpack_from("<4sI", data, pos)
        body = data[pos + 8:pos + 8 + size]
        if tag == b"fmt ":
            fmt = struct.unpack_from("<HHIIHH", body)
            if fmt[0] == EXTENSIBLE and len(body) >= 26:
                fmt = (struct.unpack_from("<H", body, 24)[0],) + fmt[1:]
        elif tag == b"data":
            payload = body
        pos += 8 + size + (size & 1)
    if fmt is None or payload is None:
        raise ValueError(f"{path}: missing fmt or data chunk")
    code, channels, rate, _, _, bits = fmt
    if code == PCM and bits == 16:
        samples = np.frombuffer(payload, dtype="<i2").astype(np.float32) / 32768.0
    elif code == IEEE_FLOAT and bits == 32:
        samples = np.frombuffer(payload, dtype="<f4").astype(np.float32)
    else:
        raise ValueError(f"{path}: only 16-bit PCM and 32-bit float WAV are supported")
    usable = len(samples) - len(samples) % channels
    return Wav(np.ascontiguousarray(samples[:usable]), rate, channels, code == IEEE_FLOAT)


def write_wav(path: str, wav: Wav) -> None:
    if wav.is_float:
        payload, code, bits = wav.samples.astype("<f4").tobytes(), IEEE_FLOAT, 32
    else:
        ints = np.clip(np.round(wav.samples * 32768.0), -32768, 32767).astype("<i2")
        payload, code, bits = ints.tobytes(), PCM, 16
    block = wav.channels * bits // 8
    header = struct.pack("<4sI4s4sIHHIIHH4sI", b"RIFF", 36 + len(payload), b"WAVE",
                         b"fmt ", 16, code, wav.channels, wav.rate, wav.rate * block,
                         block, bits, b"data", len(payload))
    with open(path, "wb") as f:
        f.write(header + payload)
