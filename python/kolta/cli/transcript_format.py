"""How `kolta transcribe` and `kolta translate` write segments: txt, json
(one object per line), srt and vtt subtitles."""

from __future__ import annotations

import json
import math
from dataclasses import dataclass

FORMATS = ("txt", "json", "srt", "vtt")
# Subtitles hold finals only: a partial segment is revised by the next one.
PARTIAL_FORMATS = ("txt", "json")
PARTIAL_MARK = "(partial) "


@dataclass(frozen=True)
class Segment:
    utterance: int
    final: bool
    start: float  # stream time in seconds
    end: float
    text: str
    probability: float
    language: str
    translation: str | None = None  # translating: none came for this final


def seconds(stamp: str) -> float:
    """A segment's stream time ("1.230") in seconds; 0 when unreadable."""
    try:
        value = float(stamp)
    except ValueError:
        return 0.0
    return value if math.isfinite(value) and value > 0 else 0.0


def timestamp(at: float, decimal_mark: str) -> str:
    """HH:MM:SS,mmm (srt) or HH:MM:SS.mmm (vtt); hours grow past 99."""
    total_ms = round(at * 1000)
    hours, rest = divmod(total_ms, 3_600_000)
    minutes, rest = divmod(rest, 60_000)
    whole, ms = divmod(rest, 1000)
    return f"{hours:02d}:{minutes:02d}:{whole:02d}{decimal_mark}{ms:03d}"


def _one_line(text: str) -> str:
    return " ".join(text.split())


def _cue_text(text: str) -> str:
    # A cue ends at a blank line, and "-->" would read as a cue's timing.
    return _one_line(text).replace("-->", "->")


class TranscriptWriter:
    """The text for each segment in one format; `target` is the translation's
    language when translating, else None."""

    def __init__(self, form: str, target: str | None):
        if form not in FORMATS:
            raise ValueError(f"unknown transcript format {form!r}")
        self._form = form
        self._target = target
        self._cues = 0

    def header(self) -> str:
        return "WEBVTT\n\n" if self._form == "vtt" else ""

    def segment(self, segment: Segment) -> str:
        if not segment.final and self._form not in PARTIAL_FORMATS:
            return ""
        if self._form == "txt":
            return self._txt(segment)
        if self._form == "json":
            return self._json(segment)
        return self._cue(segment)

    def _txt(self, segment: Segment) -> str:
        if not segment.final:
            return f"{PARTIAL_MARK}{_one_line(segment.text)}\n"
        if self._target is None:
            return f"{_one_line(segment.text)}\n"
        return f"{_one_line(segment.text)}\t{_one_line(segment.translation or '')}\n"

    def _json(self, segment: Segment) -> str:
        record: dict[str, object] = {
            "utterance": segment.utterance, "final": segment.final,
            "start": segment.start, "end": segment.end, "language": segment.language,
            "text": segment.text, "probability": round(segment.probability, 3)}
        if self._target is not None and segment.final:
            record["translation"] = segment.translation
            record["translation_language"] = self._target
        return json.dumps(record, ensure_ascii=False) + "\n"

    def _cue(self, segment: Segment) -> str:
        mark = "," if self._form == "srt" else "."
        self._cues += 1
        number = f"{self._cues}\n" if self._form == "srt" else ""
        timing = (f"{timestamp(segment.start, mark)} --> "
                  f"{timestamp(max(segment.start, segment.end), mark)}\n")
        lines = _cue_text(segment.text) + "\n"
        if segment.translation:
            lines += _cue_text(segment.translation) + "\n"
        return f"{number}{timing}{lines}\n"
