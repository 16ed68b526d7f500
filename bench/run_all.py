"""Runs every benchmark and prints each figure beside its goal (PASS/MISS).

    .venv/bin/python bench/run_all.py                  # after make setup bench-requirements
    .venv/bin/python bench/run_all.py --quick          # fewer repeats
    .venv311/bin/python bench/run_all.py               # under CPython 3.11

Each benchmark runs in a fresh process of this interpreter (bench_*.py
--json). The callback benchmark also runs under a second interpreter when one
is available, alternating with this one, for the 3.11-against-3.10 figure:
by default .venv311/bin/python when this is 3.10, .venv/bin/python when this
is 3.11 (see --other-python). Machine: absolute times are noise, so every
goal is a ratio of figures measured side by side, or a median of repeats.
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import statistics
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

from machine import busy_cpu_seconds, own_cpu_seconds
import denoise_report

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent

# Goals (the first three as set for CPython 3.10).
MAX_ABOVE_FLOOR_NS = 1000.0
MAX_RATIO_TO_BARE = 1.3
MAX_RATIO_TO_SAME_SHAPE = 1.45
MAX_COPY_TO_MEMCPY = 1.5
MIN_STATE_RATE = 1_000_000.0
MAX_PY311_SLOWDOWN = 2.0
MIN_SPEED_UP = 1.8
MAX_BYTES_GROWTH = 64.0
FLAT_BINDING_NS = 100.0
MAX_STREAM_HELPER_RATIO = 1.2
MIN_JOBS_SPEED_UP = 1.7
MIN_CLUSTER_TO_JOBS = 0.9  # --cluster local's throughput against --jobs 2's
MAX_LOOP_LATENCY_P99_MS = 5.0
MIN_NOISE_DROP_DB = 15.0  # in speech pauses, 5 dB SNR, white and pink
# bench_speech's speech level, 5 dB SNR, white and pink (bench_denoise's
# per-condition goal is denoise_report.MAX_SPEECH_CHANGE_DB).
MAX_SPEECH_LEVEL_AT_5DB_SNR_DB = 2.0
DEFAULT_SUPPRESSOR = "speexdsp+webrtc"
MAX_EMBEDDED_TO_STANDALONE = 1.5
MIN_SIGN_INS_PER_CORE_SECOND = 2000.0
MAX_SIGN_IN_P99_US = 5000.0  # on loopback
MAX_ADDED_CHUNK_LATENCY_P99_MS = 10.0  # the cloud path over the local path, loopback
MIN_STREAM_SESSIONS_PER_CORE = 100.0
MIN_CHUNKS_BACK_IN_TIME = 0.99  # within 100 ms, at the capacity run's load
MAX_OPUS_TO_L16_BYTES = 1 / 6
MAX_OPUS_PAUSE_CUT_LOSS_DB = 1.0  # noise reduction within 1 dB of the local path's
MIN_SCALEOUT_RATIO = 1.8  # sessions two instances sustain / one, given a core each
MAX_INTERRUPTION_P99_S = 2.0  # a stream's instance killed: processed audio again within
GOFORWARD_WORDS = "go forward ten meters"
# Each benchmark's whole run; the longest take minutes, so this only stops a hang.
BENCH_DEADLINE_S = 3600
VERSION_DEADLINE_S = 60
# WebRTC's filters delay frequencies by slightly different amounts, so its
# correlation peak may fall one frame either side; passthrough must be exact.
MAX_DENOISE_LAG_FRAMES = 1


def version_of(python: str) -> str:
    out = subprocess.run([python, "-c", "import platform; print(platform.python_version())"],
                         capture_output=True, text=True, check=True,
                         timeout=VERSION_DEADLINE_S)
    return out.stdout.strip()


def run_bench(python: str, script: str, extra: list[str]) -> dict[str, Any]:
    env = dict(os.environ)
    env.setdefault("OPENBLAS_NUM_THREADS", "1")
    command = [python, str(HERE / script), "--json", *extra]
    done = subprocess.run(command, capture_output=True, text=True, env=env, cwd=ROOT,
                          timeout=BENCH_DEADLINE_S)
    if done.returncode != 0:
        sys.stderr.write(done.stderr)
        raise SystemExit(f"bench: {script} failed under {python} (exit {done.returncode})")
    result: dict[str, Any] = json.loads(done.stdout.strip().splitlines()[-1])
    return result


def default_other_python(this_minor: tuple[int, int]) -> str | None:
    candidates = {(3, 10): ROOT / ".venv311" / "bin" / "python",
                  (3, 11): ROOT / ".venv" / "bin" / "python"}
    path = candidates.get(this_minor)
    return str(path) if path and path.exists() else None


class Report:
    def __init__(self) -> None:
        self.rows: list[tuple[str, str, str, str]] = []
        self.misses = 0

    def goal(self, name: str, figure: str, goal: str, ok: bool) -> None:
        self.rows.append((name, figure, goal, "PASS" if ok else "MISS"))
        self.misses += not ok

    def info(self, name: str, figure: str, note: str = "") -> None:
        self.rows.append((name, figure, note, ""))

    def section(self, title: str) -> None:
        self.rows.append((title, "", "", "#"))

    def print(self) -> None:
        width = max(len(r[0]) for r in self.rows if r[3] != "#")
        fig = max(len(r[1]) for r in self.rows)
        for name, figure, goal, verdict in self.rows:
            if verdict == "#":
                print(f"\n{name}")
                continue
            tail = f"{verdict:4}  {goal}" if verdict else f"      {goal}"
            print(f"  {name:<{width}}  {figure:>{fig}}  {tail}".rstrip())


def ns(value: float) -> str:
    return f"{value:,.0f} ns"


def merge_callbacks(runs: list[dict[str, Any]]) -> dict[str, float]:
    """Median rate per variant over every repeat of every run."""
    merged: dict[str, list[float]] = {}
    for run in runs:
        for name, values in run["samples"].items():
            merged.setdefault(name, []).extend(values)
    return {name: statistics.median(values) for name, values in merged.items()}


def merge_binding(runs: list[dict[str, Any]]) -> dict[str, Any]:
    """One result from several processes: the goals from every repeat of every
    run (per-repeat differences and ratios), the breakdown as medians of the
    runs' medians. The machine's speed drifts between processes."""
    ours = [v for run in runs for v in run["samples"]["round_trip_ns"]]
    bare = [v for run in runs for v in run["samples"]["bare_ns"]]
    floor = [v for run in runs for v in run["samples"]["floor_ns"]]
    merged = dict(runs[0])
    merged.update({
        "runs": len(runs),
        "round_trip_ns": statistics.median(ours),
        "bare_ns": statistics.median(bare),
        "floor_ns": statistics.median(floor),
        "above_floor_ns": statistics.median([o - f for o, f in zip(ours, floor)]),
        "ratio_to_bare": statistics.median([o / b for o, b in zip(ours, bare)]),
        "samples": {"round_trip_ns": ours, "bare_ns": bare, "floor_ns": floor},
    })
    for key in ("same_shape_bare_ns", "ratio_to_same_shape_bare", "one_call_ns",
                "one_call_ratio_to_bare"):
        merged[key] = statistics.median(run[key] for run in runs)
    merged["parts_ns"] = {name: statistics.median(run["parts_ns"][name] for run in runs)
                          for name in runs[0]["parts_ns"]}
    return merged


def report_speech(report: Report, speech: dict[str, Any]) -> None:
    report.section("Speech models on recorded speech (five LibriVox clips, 0.5 s pauses): "
                   "denoise at 5 dB SNR, noise in pauses from 0.5 s on, speech level "
                   "against the clean speech")
    table = speech["suppression_5dB"]
    for kind in ("white", "pink"):
        figures = table[f"{DEFAULT_SUPPRESSOR}/{kind}"]
        report.goal(f"{kind}: noise in pauses ({DEFAULT_SUPPRESSOR}, the default)",
                    f"{figures['noise_db']:+.1f} dB", f"<= -{MIN_NOISE_DROP_DB:.0f} dB",
                    figures["noise_db"] <= -MIN_NOISE_DROP_DB)
        report.goal(f"{kind}: speech level ({DEFAULT_SUPPRESSOR})",
                    f"{figures['speech_db']:+.1f} dB",
                    f"within {MAX_SPEECH_LEVEL_AT_5DB_SNR_DB:.0f} dB",
                    abs(figures["speech_db"]) <= MAX_SPEECH_LEVEL_AT_5DB_SNR_DB)
    for name, figures in table.items():
        if not name.startswith(DEFAULT_SUPPRESSOR + "/") or name.endswith("/babble"):
            report.info(f"{name}: noise / speech",
                        f"{figures['noise_db']:+.1f} / {figures['speech_db']:+.1f} dB")
    for suppressor, figures in speech["settle_and_tone"].items():
        report.info(f"{suppressor}: settle on white noise / steady 440 Hz tone",
                    f"{figures['settle_s']:.1f} s / {figures['tone_db']:+.1f} dB",
                    f"{figures['first_second_db']:+.1f} dB over the first second, "
                    f"{figures['settled_db']:+.1f} dB settled")
    report.goal("goforward.raw recognised", repr(speech["goforward"]),
                repr(GOFORWARD_WORDS), speech["goforward"] == GOFORWARD_WORDS)
    wer = speech.get("wer_percent")
    if wer is None:
        report.info("word error rates", "not run", "--quick")
        return
    for name in ("clean", "white_20dB", "pink_20dB"):
        ours, theirs = wer[f"engine/{name}"], wer[f"pocketsphinx_continuous/{name}"]
        report.goal(f"word error rate, {name.replace('_', ' at ')}: engine streaming",
                    f"{ours:.1f}%", f"<= pocketsphinx_continuous {theirs:.1f}% "
                    f"({wer['reference_words']} words)", ours <= theirs)
    latency = speech["process_frame_latency"]
    report.info("process_frame with the recogniser: median / p99",
                f"{latency['recogniser']['median_us']:.1f} / "
                f"{latency['recogniser']['p99_us']:.1f} us",
                f"placeholders: {latency['placeholder']['median_us']:.1f} / "
                f"{latency['placeholder']['p99_us']:.1f} us")


def report_denoise(report: Report, denoise: dict[str, Any]) -> None:
    report.section("Noise suppression quality against RNNoise: LibriVox and goforward.raw "
                   "with white, pink and babble noise, 16 kHz mono and 44.1 kHz stereo "
                   "(tables at the end)")
    for goal in denoise_report.goals(denoise):
        if goal.ok is None:
            report.info(goal.name, goal.figure, goal.note)
        else:
            report.goal(goal.name, goal.figure, f"{goal.target} ({goal.note})" if goal.note
                        else goal.target, goal.ok)


def report_cluster(report: Report, cluster: dict[str, Any]) -> None:
    report.info(f"kolta denoise, {cluster['files']} files of "
                f"{cluster['seconds_per_file']:.0f} s: --jobs 2 / --cluster local "
                f"({cluster['workers']} workers), the work",
                f"{cluster['jobs2_audio_per_s']:,.0f} / {cluster['cluster_audio_per_s']:,.0f} "
                "s audio/s", "each command's own timing, from the sign-in on")
    report.goal("--cluster local throughput / --jobs 2", f"{cluster['throughput_ratio']:.2f}x",
                f">= {MIN_CLUSTER_TO_JOBS}x",
                cluster["throughput_ratio"] >= MIN_CLUSTER_TO_JOBS)
    report.info("  whole commands: --jobs 2 / --cluster local",
                f"{cluster['jobs2_whole_s']:.2f} s / {cluster['cluster_whole_s']:.2f} s",
                "the difference is mostly the local cluster's start-up, once per run")
    report.info(f"  per file, {cluster['short_files']} files of {cluster['short_seconds']} s: "
                "--jobs 2 / --cluster local",
                f"{cluster['jobs2_per_file_ms']:.1f} / {cluster['cluster_per_file_ms']:.1f} ms",
                f"the cluster path's overhead {cluster['cluster_overhead_per_file_ms']:+.1f} ms "
                "per file per worker")


def report_alignment(report: Report, alignment: dict[str, Any]) -> None:
    report.section("Alignment: speech in and out through AlignedStream, every model, "
                   "suppressor, rate (8 to 48 kHz) and channel count")
    lags = alignment["lags"]
    passthrough = [lag for name, row in lags.items() if name.startswith("passthrough/")
                   for lag in row["lag_frames"]]
    denoise = [lag for name, row in lags.items() if name.startswith("denoise/")
               for lag in row["lag_frames"]]
    report.goal("passthrough: largest lag", f"{max(map(abs, passthrough))} frames", "0",
                not any(passthrough))
    worst = max(map(abs, denoise))
    report.goal("denoise: largest lag", f"{worst} frames",
                f"<= {MAX_DENOISE_LAG_FRAMES} (filter phase)", worst <= MAX_DENOISE_LAG_FRAMES)
    whole = sum(row["length_ok"] for row in lags.values())
    report.goal("output length equals input length", f"{whole} of {len(lags)}", "all",
                whole == len(lags))
    for name, factor in alignment["denoise_real_time_factor"].items():
        report.info(f"denoise real-time factor, {name}", f"{factor:.4f}")


def report_signin(report: Report, signin: dict[str, Any]) -> None:
    report.section("Sign-in over loopback: activate_api_key to the embedded service and "
                   "to a standalone kolta-server on one thread")
    for name, label in (("embedded", "embedded service, test key"),
                        ("standalone", "standalone service, test key"),
                        ("standalone_stored_key", "standalone service, stored key")):
        figures = signin[name]
        report.goal(f"round trip, {label}: median / p99",
                    f"{figures['median_us']:,.0f} / {figures['p99_us']:,.0f} us",
                    f"p99 <= {MAX_SIGN_IN_P99_US:,.0f} us",
                    figures["p99_us"] <= MAX_SIGN_IN_P99_US)
    ratio = signin["embedded_to_standalone"]
    report.goal("round trip, embedded / standalone (medians)", f"{ratio:.2f}x",
                f"<= {MAX_EMBEDDED_TO_STANDALONE}x", ratio <= MAX_EMBEDDED_TO_STANDALONE)
    load = signin["capacity"]
    per_core = load["per_service_cpu_second"]
    report.goal("sign-ins per second of one service core (stored key, a connection each)",
                f"{per_core:,.0f}/s", f">= {MIN_SIGN_INS_PER_CORE_SECOND:,.0f}/s",
                per_core >= MIN_SIGN_INS_PER_CORE_SECOND)
    report.info(f"  answered with {signin['client_threads']} client threads on this machine",
                f"{load['per_wall_second']:,.0f}/s",
                f"the service used {load['service_cpu_s'] / load['wall_s']:.2f} CPU")


def report_stream(report: Report, stream: dict[str, Any]) -> None:
    report.section("The cloud path's audio stream on loopback: denoise, 20 ms chunks of "
                   "16 kHz mono")
    latency = stream["latency"]
    report.goal("added latency per chunk over the local path: p50 / p99",
                f"{latency['added_p50_ms']:.2f} / {latency['added_p99_ms']:.2f} ms",
                f"p99 <= {MAX_ADDED_CHUNK_LATENCY_P99_MS:.0f} ms",
                latency["added_p99_ms"] <= MAX_ADDED_CHUNK_LATENCY_P99_MS)
    load = stream["capacity"]
    report.goal("real-time sessions per service core (audio seconds / service CPU seconds)",
                f"{load['sessions_per_core']:.0f}", f">= {MIN_STREAM_SESSIONS_PER_CORE:.0f}",
                load["sessions_per_core"] >= MIN_STREAM_SESSIONS_PER_CORE)
    report.goal(f"  with {load['sessions']} sessions on one service thread: chunks back "
                "within 100 ms", f"{100 * load['chunks_back_within_100ms']:.1f}%",
                f">= {100 * MIN_CHUNKS_BACK_IN_TIME:.0f}%",
                load["chunks_back_within_100ms"] >= MIN_CHUNKS_BACK_IN_TIME)
    report.info("  chunk latency p99 at that load (seen at the next 20 ms push)",
                f"{load['latency_p99_ms']:.0f} ms")
    fidelity = stream["fidelity"]
    report.goal("16-bit input, L16: cloud output against the local path's, values differing",
                f"{fidelity['differing_16_bit_values']} of {fidelity['values']}", "0",
                fidelity["differing_16_bit_values"] == 0)
    loss = fidelity["local_pause_cut_db"] - fidelity["opus_pause_cut_db"]
    report.goal("Opus: noise cut in the pauses, local path / cloud path",
                f"{fidelity['local_pause_cut_db']:.1f} / {fidelity['opus_pause_cut_db']:.1f} dB",
                f"within {MAX_OPUS_PAUSE_CUT_LOSS_DB:.0f} dB", loss <= MAX_OPUS_PAUSE_CUT_LOSS_DB)
    report.info("Opus: SNR of the cloud output against the local path's",
                f"{fidelity['opus_snr_db']:.1f} dB")
    wire = stream["wire_bytes_per_second"]
    ratio = wire["opus"] / wire["l16"]
    report.goal("bytes on the wire per second of a session, both ways: Opus / L16",
                f"{wire['opus'] / 1000:.1f} / {wire['l16'] / 1000:.1f} kB/s = {ratio:.3f}",
                f"<= 1/{1 / MAX_OPUS_TO_L16_BYTES:.0f}", ratio <= MAX_OPUS_TO_L16_BYTES)


def report_scaleout(report: Report, scaleout: dict[str, Any]) -> None:
    report.section("Several kolta-server instances behind HAProxy, accounts in one PostgreSQL "
                   "database: denoise sessions, L16 16 kHz mono, 20 ms chunks in real time")
    if "skipped" in scaleout:
        report.info("scale-out", "not run", scaleout["skipped"])
        return
    one, two, cores = scaleout["one"], scaleout["two"], scaleout["cores"]
    report.info("sessions sustained, 1 / 2 instances (one service thread each)",
                f"{one['sessions']} / {two['sessions']}",
                ">= 99% of the chunks back within 100 ms of their due time")
    report.goal("two instances / one", f"{scaleout['ratio']:.2f}x",
                f">= {MIN_SCALEOUT_RATIO}x given a core per instance (this machine: {cores} "
                "cores for the instances, HAProxy, the client and other programs)",
                scaleout["ratio"] >= MIN_SCALEOUT_RATIO)
    for config in (one, two):
        top = config["top"]
        if top:
            report.info(f"  {config['instances']} instance(s) at {top['sessions']} sessions: "
                        "CPUs used by the instances / HAProxy / the client",
                        f"{sum(top['service_cpus'].values()):.2f} / {top['haproxy_cpus']:.2f} / "
                        f"{top['client_cpus']:.2f}",
                        f"{top['sessions_per_service_core']:.0f} sessions per service core")
    if "per_core_ratio" in scaleout:
        report.info("  sessions per service core, 2 instances / 1",
                    f"{scaleout['per_core_ratio']:.2f}x",
                    "1 = as much service per core behind HAProxy beside another as alone")
    if "others_busy_cpus" in scaleout:
        report.info("  other programs during the run", f"{scaleout['others_busy_cpus']:.2f} CPUs",
                    f"of {cores}")
    killed = scaleout["interruption"]
    report.goal("a stream's instance killed: last processed answer to the next, median / p99",
                f"{1000 * killed['gap_median_s']:.0f} / {1000 * killed['gap_p99_s']:.0f} ms",
                f"p99 <= {MAX_INTERRUPTION_P99_S:.0f} s ({killed['interrupted']} streams, "
                "the engine's own client)", killed["gap_p99_s"] <= MAX_INTERRUPTION_P99_S)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repeats (a smoke run)")
    parser.add_argument("--other-python", metavar="PATH",
                        help="second interpreter for the 3.11/3.10 callback figure")
    parser.add_argument("--no-other-python", action="store_true")
    parser.add_argument("--json", metavar="FILE", help="also write every figure to FILE")
    parser.add_argument("--fail-on-miss", action="store_true",
                        help="exit with status 1 when a goal is missed")
    args = parser.parse_args()

    python = sys.executable
    this_minor = sys.version_info[:2]
    this_version = platform.python_version()
    other = None if args.no_other_python else (
        args.other_python or default_other_python(this_minor))
    other_version = version_of(other) if other else None
    quick = args.quick
    started = time.monotonic()
    busy_before, own_before = busy_cpu_seconds(), own_cpu_seconds()

    print(f"Kolta benchmarks: CPython {this_version} ({python})")
    if other:
        print(f"second interpreter for the callback comparison: CPython {other_version} "
              f"({other})")
    print(f"machine: {os.cpu_count()} CPUs, {platform.machine()}, {platform.platform()}")
    print("figures are medians of interleaved repeats; running...", flush=True)

    repeats = ["--repeats", "3"] if quick else []
    binding = merge_binding([
        run_bench(python, "bench_binding.py",
                  ["--repeats", "3", "--calls", "10000"] if quick else ["--repeats", "7"])
        for _ in range(1 if quick else 3)])
    zero_copy = run_bench(python, "bench_zero_copy.py",
                          repeats + (["--calls", "5000"] if quick else []))
    scaling = run_bench(python, "bench_scaling.py",
                        ["--repeats", "7"] if quick else [])
    callback_runs: dict[str, list[dict[str, Any]]] = {this_version: []}
    if other and other_version:
        callback_runs.setdefault(other_version, [])
    rounds = 1 if quick else 3
    cb_args = ["--repeats", "2" if quick else "3"]
    for _ in range(rounds):
        callback_runs[this_version].append(run_bench(python, "bench_callbacks.py", cb_args))
        if other and other_version:
            callback_runs[other_version].append(run_bench(other, "bench_callbacks.py", cb_args))
    callbacks = {version: merge_callbacks(runs) for version, runs in callback_runs.items()}
    streams = run_bench(python, "bench_streams.py",
                        ["--repeats", "3", "--calls", "5000"] if quick else [])
    jobs = run_bench(python, "bench_jobs.py",
                     ["--repeats", "1", "--seconds", "30"] if quick else [])
    cluster = run_bench(python, "bench_cluster.py",
                        ["--repeats", "1", "--seconds", "30"] if quick else [])
    aio = run_bench(python, "bench_aio.py", ["--seconds", "2"] if quick else [])
    speech = run_bench(python, "bench_speech.py", ["--quick"] if quick else [])
    denoise = run_bench(python, "bench_denoise.py", ["--quick"] if quick else [])
    alignment = run_bench(python, "bench_alignment.py", [])
    signin = run_bench(python, "bench_signin.py",
                       ["--repeats", "2", "--calls", "50", "--seconds", "1"] if quick else [])
    stream = run_bench(python, "bench_stream.py",
                       ["--repeats", "1", "--chunks", "50", "--sessions", "20", "--seconds",
                        "2"] if quick else [])
    scaleout = run_bench(python, "bench_scaleout.py",
                         ["--repeats", "2", "--seconds", "2", "--resolution", "0.25"]
                         if quick else [])

    on_310 = this_minor == (3, 10)
    note_310 = "" if on_310 else " (goal set for 3.10)"
    report = Report()

    report.section("Binding overhead: one process_frame round trip, passthrough, 20 ms "
                   "16 kHz mono, local inference (KOLTA_LOCAL_INFERENCING=1)")
    report.info("round trip: AudioFrame(array) -> process_frame -> .samples",
                ns(binding["round_trip_ns"]))
    report.info("floor: the same engine call from a C++ loop", ns(binding["floor_ns"]))
    report.info("bare: bare_frame_call(array) -> .samples", ns(binding["bare_ns"]))
    report.goal("round trip above the C++ floor", ns(binding["above_floor_ns"]),
                f"<= {MAX_ABOVE_FLOOR_NS:,.0f} ns{note_310}",
                binding["above_floor_ns"] <= MAX_ABOVE_FLOOR_NS)
    report.goal("round trip / bare function", f"{binding['ratio_to_bare']:.2f}x",
                f"<= {MAX_RATIO_TO_BARE}x{note_310}",
                binding["ratio_to_bare"] <= MAX_RATIO_TO_BARE)
    for part, value in binding["parts_ns"].items():
        report.info(f"  step alone: {part}", ns(value))
    report.info("  same two-call shape, bare: AudioFrame -> bare_frame_pass -> .samples",
                ns(binding["same_shape_bare_ns"]))
    report.goal("round trip / the same two-call shape, bare (output copied)",
                f"{binding['ratio_to_same_shape_bare']:.2f}x",
                f"<= {MAX_RATIO_TO_SAME_SHAPE}x{note_310}",
                binding["ratio_to_same_shape_bare"] <= MAX_RATIO_TO_SAME_SHAPE)
    report.info("  one-call path: EngineLoop.process(array) -> .samples",
                ns(binding["one_call_ns"]),
                f"{binding['one_call_ratio_to_bare']:.2f}x the bare function, engine included")

    report.section("Callback delivery: one engine thread into a trivial Python function")
    this_cb = callbacks[this_version]
    report.goal(f"pipeline states per second (CPython {this_version})",
                f"{this_cb['state']:,.0f}/s", f">= {MIN_STATE_RATE:,.0f}/s{note_310}",
                this_cb["state"] >= MIN_STATE_RATE)
    report.info(f"transcripts per second (CPython {this_version})",
                f"{this_cb['transcript']:,.0f}/s")
    report.info("bare PyGILState_Ensure+call+Release loop",
                f"{this_cb['bare_ensure']:,.0f}/s",
                f"pipeline states at {this_cb['state'] / this_cb['bare_ensure']:.2f}x its rate")
    report.info("bare loop with one kept thread state", f"{this_cb['bare_kept']:,.0f}/s",
                f"pipeline states at {this_cb['state'] / this_cb['bare_kept']:.2f}x its rate")
    if other_version:
        other_cb = callbacks[other_version]
        for name, label in (("state", "pipeline states"), ("transcript", "transcripts"),
                            ("bare_ensure", "bare Ensure loop"),
                            ("bare_kept", "bare kept-state loop")):
            report.info(f"{label} per second (CPython {other_version})",
                        f"{other_cb[name]:,.0f}/s")
        versions = {this_minor: this_version,
                    tuple(int(p) for p in other_version.split(".")[:2]): other_version}
        v310, v311 = versions.get((3, 10)), versions.get((3, 11))
        if v310 and v311:
            slowdown = callbacks[v310]["state"] / callbacks[v311]["state"]
            report.goal("pipeline-state time per delivery, 3.11 / 3.10", f"{slowdown:.2f}x",
                        f"<= {MAX_PY311_SLOWDOWN}x", slowdown <= MAX_PY311_SLOWDOWN)
    else:
        report.info("3.11 against 3.10", "not run",
                    "no second interpreter: make test-py311 makes .venv311")

    report.section(f"Scaling: denoise, {scaling['chunk_ms']} ms chunks, 16 kHz mono, "
                   "local inference")
    report.info("one processor, one thread", f"{scaling['one_processor_fps']:,.0f} frames/s")
    report.info("two processors, two threads", f"{scaling['two_processors_fps']:,.0f} frames/s")
    report.goal("two processors / one", f"{scaling['speed_up']:.2f}x", f">= {MIN_SPEED_UP}x",
                scaling["speed_up"] >= MIN_SPEED_UP)
    report.info("control: the same from C++ loops, two / one",
                f"{scaling['floor_speed_up']:.2f}x", "what this machine's cores give")
    report.info("bindings' share of the machine's speed-up", f"{scaling['efficiency']:.2f}")

    report.section("Zero copy: round trip as the chunk grows (passthrough, 16 kHz mono, "
                   "local inference)")
    sizes = zero_copy["sizes"]
    base = sizes[0]
    for size in sizes:
        report.info(f"{size['chunk_ms']:>5} ms: Python bytes per call / retained",
                    f"{size['bytes_per_call']:,.0f} B / {size['retained_bytes_per_call']:.1f} B")
    for size in sizes:
        report.info(f"{size['chunk_ms']:>5} ms: bindings alone, no engine", ns(size["bare_ns"]))
    for size in sizes:
        report.info(f"{size['chunk_ms']:>5} ms: round trip / C++ floor / overhead",
                    f"{size['round_trip_ns'] / 1000:,.1f} / {size['floor_ns'] / 1000:,.1f} / "
                    f"{size['overhead_ns'] / 1000:,.2f} us")
    for size in sizes:
        report.info(f"{size['chunk_ms']:>5} ms: one-call path above the floor",
                    ns(size["one_call_above_floor_ns"]),
                    "engine called once per Python statement")
    growth = max(s["bytes_per_call"] for s in sizes) - base["bytes_per_call"]
    report.goal(f"bytes per call, {sizes[-1]['chunk_ms']} ms minus {base['chunk_ms']} ms",
                f"{growth:+,.0f} B", f"<= {MAX_BYTES_GROWTH:.0f} B (flat)",
                growth <= MAX_BYTES_GROWTH)
    binding_growth = max(s["bare_ns"] for s in sizes) - base["bare_ns"]
    report.goal(f"bindings alone, growth up to {sizes[-1]['chunk_ms']} ms",
                f"{binding_growth:+,.0f} ns", f"<= {FLAT_BINDING_NS:.0f} ns (flat)",
                binding_growth <= FLAT_BINDING_NS)
    longest = sizes[-1]
    allowed = MAX_COPY_TO_MEMCPY * longest["memcpy_ns"] + base["overhead_ns"]
    report.info(f"{longest['chunk_ms']:>5} ms: memcpy of one chunk (C++)",
                ns(longest["memcpy_ns"]))
    report.goal(f"{longest['chunk_ms']} ms: overhead above the floor (output copied)",
                ns(longest["overhead_ns"]),
                f"<= {MAX_COPY_TO_MEMCPY}x memcpy + the {base['chunk_ms']} ms overhead "
                f"= {allowed:,.0f} ns", longest["overhead_ns"] <= allowed)
    growth_above_floor = sizes[-1]["overhead_ns"] - base["overhead_ns"]
    report.info(f"overhead above the floor, growth up to {sizes[-1]['chunk_ms']} ms",
                f"{growth_above_floor:+,.0f} ns",
                "the engine's copies run slower between Python statements (bench_zero_copy.py)")

    report.section("The kolta package")
    report.info("raw loop: process_frame(AudioFrame(chunk)) + copy, 20 ms", ns(streams["raw_ns"]))
    report.info("stream helper: AlignedStream.feed(chunk)", ns(streams["helper_ns"]))
    report.goal("stream helper / raw loop", f"{streams['helper_ratio']:.2f}x",
                f"<= {MAX_STREAM_HELPER_RATIO}x",
                streams["helper_ratio"] <= MAX_STREAM_HELPER_RATIO)
    report.info("  iterator form (process_stream) / raw loop",
                f"{streams['iterator_ratio']:.2f}x")
    report.info(f"kolta denoise, {jobs['files']} files of {jobs['seconds_per_file']:.0f} s, "
                "--jobs 1 / --jobs 2", f"{jobs['jobs1_s']:.2f} s / {jobs['jobs2_s']:.2f} s")
    report.goal("--jobs 2 speed-up over --jobs 1", f"{jobs['speed_up']:.2f}x",
                f">= {MIN_JOBS_SPEED_UP}x", jobs["speed_up"] >= MIN_JOBS_SPEED_UP)
    report_cluster(report, cluster)
    report.info(f"asyncio: {aio['sessions']} denoise sessions in real time, 1 ms timer",
                f"median {aio['latency_median_ms']:.2f} ms late",
                f"max {aio['latency_max_ms']:.1f} ms")
    report.goal("loop latency p99 while they stream", f"{aio['latency_p99_ms']:.2f} ms",
                f"<= {MAX_LOOP_LATENCY_P99_MS} ms",
                aio["latency_p99_ms"] <= MAX_LOOP_LATENCY_P99_MS)
    report.goal("sessions keep real time: slowest chunk due -> output",
                f"{aio['worst_lag_ms']:.1f} ms", "< 20 ms (one chunk)",
                aio["worst_lag_ms"] < 20.0)

    report_speech(report, speech)
    report_denoise(report, denoise)
    report_alignment(report, alignment)
    report_signin(report, signin)
    report_stream(report, stream)
    report_scaleout(report, scaleout)

    report.print()
    print("\n" + denoise_report.tables(denoise))
    elapsed = time.monotonic() - started
    print(f"\nCPython {this_version}; {report.misses} goal(s) missed; "
          f"{elapsed:.0f} s in all")
    busy_after = busy_cpu_seconds()
    if busy_before is not None and busy_after is not None:
        # Work of other programs competes for the same cores: the scaling
        # figure, above all, means little when this is well above zero.
        others = max(0.0, (busy_after - busy_before) - (own_cpu_seconds() - own_before))
        print(f"other programs kept {others / elapsed:.2f} of {os.cpu_count()} CPUs busy "
              "during the run")

    if args.json:
        with open(args.json, "w", encoding="utf-8") as out:
            json.dump({"python": this_version, "binding": binding, "zero_copy": zero_copy,
                       "scaling": scaling, "callbacks": callbacks, "streams": streams,
                       "jobs": jobs, "cluster": cluster, "aio": aio, "speech": speech,
                       "denoise": denoise,
                       "alignment": alignment, "signin": signin, "stream": stream,
                       "scaleout": scaleout,
                       "callback_runs": callback_runs}, out, indent=1)
    return 1 if (args.fail_on_miss and report.misses) else 0


if __name__ == "__main__":
    sys.exit(main())
