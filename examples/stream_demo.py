"""The main job (`make demo`): writes the built-in noisy clip, runs
`kolta denoise` on it, and measures what the noise suppressor did.

    python examples/stream_demo.py                         # denoise the clip
    python examples/stream_demo.py --translate en-US es-ES # kolta translate on it

For your own files use the command line directly: `kolta denoise IN OUT`.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys

import numpy as np
import numpy.typing as npt
import soundfile as sf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from clip import DEMO_NOISE, DEMO_SNR_DB, RATE, DemoClip, level_db, write_clip  # noqa: E402
from speech_quality import scores, scores_available  # noqa: E402

OUT_DIR = "out"


def kolta_command() -> list[str]:
    """The installed console script beside this interpreter, else `-m kolta`."""
    script = os.path.join(os.path.dirname(sys.executable), "kolta")
    return [script] if os.path.exists(script) else [sys.executable, "-m", "kolta"]


def report_noise_reduction(clip: DemoClip, processed: npt.NDArray[np.float32]) -> None:
    # Noise in the pauses between the recordings, from 0.5 s on (the
    # suppressor's settling time); speech where the clean recording is voiced.
    pauses = clip.pauses.copy()
    pauses[:int(0.5 * RATE)] = False
    noise_drop = level_db(clip.noisy[pauses]) - level_db(processed[pauses])
    speech_drop = level_db(clip.clean[clip.speech]) - level_db(processed[clip.speech])
    print(f"noise in speech pauses lowered by {noise_drop:.1f} dB; "
          f"speech level changed by {-speech_drop:+.1f} dB")
    if scores_available():  # pesq and pystoi: requirements-bench.txt
        # Against the clean speech; the output is aligned with the input.
        before, after = scores(clip.clean, clip.noisy), scores(clip.clean, processed)
        print(f"PESQ-wb {before.pesq_wb:.2f} -> {after.pesq_wb:.2f}; "
              f"STOI {before.stoi:.3f} -> {after.stoi:.3f}")


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument("--translate", nargs=2, metavar=("IN", "OUT"),
                        help="run `kolta translate` from IN to OUT language instead")
    args = parser.parse_args(argv)

    clip = write_clip(OUT_DIR)
    seconds = len(clip.noisy) / RATE
    if args.translate:
        print(f"input: built-in clip (recorded speech), {seconds:.1f} s at {RATE} Hz mono",
              flush=True)
        command = [*kolta_command(), "translate", clip.quiet_path,
                   "--from", args.translate[0], "--to", args.translate[1]]
        return subprocess.run(command, check=False).returncode

    print(f"input: built-in clip, recorded speech with {DEMO_NOISE} noise at "
          f"{DEMO_SNR_DB:.0f} dB SNR, {seconds:.1f} s at {RATE} Hz mono", flush=True)
    output = os.path.join(OUT_DIR, "processed.wav")
    command = [*kolta_command(), "denoise", clip.noisy_path, output, "--force"]  # re-runs
    print("$ " + " ".join(["kolta", *command[-4:]]), flush=True)
    done = subprocess.run(command, check=False)
    if done.returncode != 0:
        return done.returncode
    processed, rate = sf.read(output, dtype="float32")
    assert rate == RATE and len(processed) == len(clip.noisy), "output not aligned with input"
    report_noise_reduction(clip, processed)
    return 0


if __name__ == "__main__":
    sys.exit(main())
