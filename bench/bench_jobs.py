"""`kolta denoise --jobs 2` against `--jobs 1` on a folder of 8 files.

Each run is the whole command in a fresh process (start-up, sign-in, worker
processes, reading and writing included), timed from outside; the two are
interleaved and the figure is the ratio of the medians."""

from __future__ import annotations

import argparse
import os
import tempfile
from typing import Any

from common import kolta_denoise, main, median, noisy_takes

FILES = 8


def time_denoise(folder: str, out: str, storage: str, jobs: int) -> float:
    return kolta_denoise(folder, out, storage, ["--jobs", str(jobs)])[0]


def run(args: argparse.Namespace) -> dict[str, Any]:
    samples: dict[str, list[float]] = {"jobs1_s": [], "jobs2_s": []}
    with tempfile.TemporaryDirectory(prefix="kolta-bench-jobs-") as work:
        folder = os.path.join(work, "in")
        noisy_takes(folder, FILES, args.seconds)
        storage = os.path.join(work, "storage")
        for _ in range(args.repeats):
            samples["jobs1_s"].append(time_denoise(folder, os.path.join(work, "o1"), storage, 1))
            samples["jobs2_s"].append(time_denoise(folder, os.path.join(work, "o2"), storage, 2))
    one, two = median(samples["jobs1_s"]), median(samples["jobs2_s"])
    return {"files": FILES, "seconds_per_file": args.seconds, "jobs1_s": one, "jobs2_s": two,
            "speed_up": one / two, "samples": samples}


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--seconds", type=float, default=120.0,
                        help="length of each file (audio seconds)")


if __name__ == "__main__":
    main(run, configure, repeats=3)
