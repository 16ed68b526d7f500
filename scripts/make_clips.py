#!/usr/bin/env python3
"""Builds the measurement clips from Debian's pocketsphinx-testdata: the five
LibriVox clips joined with 0.5 s pauses, clean and mixed with white, pink and
babble noise at 0, 5, 10 and 20 dB SNR, as 16 kHz 16-bit mono WAV files.

    scripts/make_clips.py [--out build/clips]
"""

from __future__ import annotations

import argparse
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "examples"))

from clip import NOISE_KINDS, RATE, mix, speech_and_pauses  # noqa: E402
import soundfile as sf  # noqa: E402

SNRS_DB = (0, 5, 10, 20)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--out", default=os.path.join(ROOT, "build", "clips"))
    args = parser.parse_args(argv)
    os.makedirs(args.out, exist_ok=True)
    clean, voiced, _ = speech_and_pauses()
    outputs = [("clean.wav", clean)]
    for kind in NOISE_KINDS:
        for snr in SNRS_DB:
            outputs.append((f"{kind}_{snr}dB.wav", mix(clean, voiced, kind, snr)))
    for name, samples in outputs:
        sf.write(os.path.join(args.out, name), samples, RATE, subtype="PCM_16")
    print(f"wrote {len(outputs)} clips of {len(clean) / RATE:.1f} s to {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
