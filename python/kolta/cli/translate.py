"""`kolta translate`: the transcript, each final with its translation."""

from __future__ import annotations

import argparse

from ..errors import BadInput
from ..languages import describe_pairs, translation
from .transcribe import spoken_language, stream_transcript


def run_translate(args: argparse.Namespace) -> int:
    spoken = spoken_language(args.language_in)
    pair = translation(spoken, args.language_out)
    if pair is None:  # the engine would transcribe without translating
        raise BadInput(f"no translation from {spoken} to {args.language_out} "
                       f"(translated: {describe_pairs()})")
    return stream_transcript(args, *pair)
