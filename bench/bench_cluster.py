"""`kolta denoise --cluster local` (2 workers) against `--jobs 2` on the same
files, and what the cluster path costs per file.

Each run is the whole command in a fresh process, the two interleaved.
Throughput is each command's own timing of the work (its closing
"real-time factor" line: from the sign-in to the last file), so that the
local cluster's start-up, a cost paid once per run however large the
corpus, is told apart (the whole commands' times) rather than mixed in.
The per-file cost comes from many short files, where the work is nearly
nothing: each worker's time per file, the cluster path's less --jobs 2's."""

from __future__ import annotations

import argparse
import os
import re
import tempfile
from typing import Any

from common import kolta_denoise, main, median, noisy_takes

FILES = 8
SHORT_FILES = 40
SHORT_SECONDS = 0.25
WORKERS = 2
_FACTOR = re.compile(r"^real-time factor ([\d.]+) ", re.MULTILINE)


def denoise(folder: str, out: str, storage: str, how: list[str]) -> tuple[float, float]:
    """(whole command's seconds, its own real-time factor of the work)."""
    whole, output = kolta_denoise(folder, out, storage, how)
    factors = _FACTOR.findall(output)
    if not factors:
        raise SystemExit(f"bench: no real-time factor from {' '.join(how)}:\n{output}")
    return whole, float(factors[-1])


def run(args: argparse.Namespace) -> dict[str, Any]:
    ways = {"jobs2": ["--jobs", str(WORKERS)],
            "cluster": ["--cluster", "local", "--jobs", str(WORKERS)]}
    samples: dict[str, list[float]] = {f"{way}_{figure}": [] for way in ways
                                       for figure in ("whole_s", "work_s", "short_work_s")}
    with tempfile.TemporaryDirectory(prefix="kolta-bench-cluster-") as work:
        long_folder, short_folder = os.path.join(work, "in"), os.path.join(work, "short")
        noisy_takes(long_folder, FILES, args.seconds)
        noisy_takes(short_folder, SHORT_FILES, SHORT_SECONDS)
        storage = os.path.join(work, "storage")
        for _ in range(args.repeats):
            for way, how in ways.items():
                whole, factor = denoise(long_folder, os.path.join(work, way), storage, how)
                samples[f"{way}_whole_s"].append(whole)
                samples[f"{way}_work_s"].append(factor * FILES * args.seconds)
                _, factor = denoise(short_folder, os.path.join(work, f"{way}-short"), storage,
                                    how)
                samples[f"{way}_short_work_s"].append(factor * SHORT_FILES * SHORT_SECONDS)
    figures = {name: median(values) for name, values in samples.items()}
    audio = FILES * args.seconds

    def per_file_ms(way: str) -> float:  # each worker's time per short file
        return 1000 * figures[f"{way}_short_work_s"] * WORKERS / SHORT_FILES

    return {"files": FILES, "seconds_per_file": args.seconds, "workers": WORKERS,
            "jobs2_audio_per_s": audio / figures["jobs2_work_s"],
            "cluster_audio_per_s": audio / figures["cluster_work_s"],
            "throughput_ratio": figures["jobs2_work_s"] / figures["cluster_work_s"],
            "jobs2_whole_s": figures["jobs2_whole_s"],
            "cluster_whole_s": figures["cluster_whole_s"],
            "short_files": SHORT_FILES, "short_seconds": SHORT_SECONDS,
            "jobs2_per_file_ms": per_file_ms("jobs2"),
            "cluster_per_file_ms": per_file_ms("cluster"),
            "cluster_overhead_per_file_ms": per_file_ms("cluster") - per_file_ms("jobs2"),
            "samples": samples}


def configure(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--seconds", type=float, default=120.0,
                        help="length of each long file (audio seconds)")


if __name__ == "__main__":
    main(run, configure, repeats=3)
