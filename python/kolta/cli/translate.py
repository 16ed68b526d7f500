"""`kolta translate`: the transcript, each final with its translation."""

from __future__ import annotations

import argparse

from ..errors import BadInput
from ..languages import describe_pairs, translation
from .transcribe import spoken_language, transcripts


def language_pair(language_in: str, language_out: str) -> tuple[str, str]:
    """The table's spelling of the pair; an error for a pair with no
    translator: the engine would transcribe without translating."""
    spoken = spoken_language(language_in)
    pair = translation(spoken, language_out)
    if pair is None:
        raise BadInput(f"no translation from {spoken} to {language_out} "
                       f"(translated: {describe_pairs()})")
    return pair


def run_translate(args: argparse.Namespace) -> int:
    return transcripts(args, *language_pair(args.language_in, args.language_out))
