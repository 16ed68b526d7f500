"""The tables and goals of bench_denoise.py's result, for people: printed by
bench_denoise.py itself and by run_all.py (which runs it with --json)."""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

MIN_PAUSE_CUT_DB = 30.0  # noise in the pauses, from 0.5 s on
MIN_FIRST_CUT_DB = 15.0  # the same over the first 0.5 s, while the estimate settles
MAX_SPEECH_CHANGE_DB = 1.0
MIN_X_REAL_TIME = 100.0
NAMED = ("speexdsp", "webrtc")  # KOLTA_ENGINE_SUPPRESSOR's single suppressors
SAME = "=default"
CUT_SHOWN_UP_TO_DB = 99.0


@dataclass(frozen=True)
class Goal:
    name: str
    figure: str
    target: str
    ok: bool | None  # None: not measured here; the note says why
    note: str = ""


def _worst(values: list[tuple[str, float]]) -> tuple[str, float]:
    return min(values, key=lambda item: item[1])


def _reference_goals(rows: list[dict[str, Any]]) -> list[Goal]:
    goals = []
    for key, label, digits in (("pesq_wb", "PESQ-wb", 2), ("stoi", "STOI", 3)):
        name = f"default {label} >= RNNoise's, every condition"
        skipped = [r["systems"]["rnnoise"]["skipped"] for r in rows
                   if "skipped" in r["systems"]["rnnoise"]]
        if skipped:
            goals.append(Goal(name, "not run", "all", None, f"RNNoise: {skipped[0]}"))
            continue
        margins = [(r["label"], r["systems"]["default"][key] - r["systems"]["rnnoise"][key])
                   for r in rows]
        met = sum(margin >= 0 for _, margin in margins)
        label_of_worst, worst = _worst(margins)
        goals.append(Goal(name, f"{met} of {len(rows)}", "all", met == len(rows),
                          f"worst {worst:+.{digits}f}: {label_of_worst}"))
    return goals


def _level_goals(rows: list[dict[str, Any]]) -> list[Goal]:
    goals = []
    for key, name, least in (("cut_db", "noise cut in pauses from 0.5 s on", MIN_PAUSE_CUT_DB),
                             ("first_cut_db", "noise cut in pauses over the first 0.5 s",
                              MIN_FIRST_CUT_DB)):
        cuts = [(r["label"], r["systems"]["default"][key]) for r in rows
                if r["systems"]["default"][key] is not None]
        met = sum(cut >= least for _, cut in cuts)
        where, lowest = _worst(cuts)
        goals.append(Goal(f"default: {name}", f"{met} of {len(cuts)}",
                          f">= {least:.0f} dB in each", met == len(cuts),
                          f"least {lowest:.1f} dB: {where}"))
    changes = [(r["label"], -abs(r["systems"]["default"]["speech_db"])) for r in rows]
    within = sum(-change <= MAX_SPEECH_CHANGE_DB for _, change in changes)
    where, change = _worst(changes)
    goals.append(Goal("default: speech level change", f"{within} of {len(rows)}",
                      f"within {MAX_SPEECH_CHANGE_DB:.0f} dB in each", within == len(rows),
                      f"largest {-change:.1f} dB: {where}"))
    return goals


def goals(result: dict[str, Any]) -> list[Goal]:
    rows: list[dict[str, Any]] = result["conditions"]
    found = _reference_goals(rows) + _level_goals(rows)
    wer_rows = result["wer"]["rows"]
    kept = sum(r["denoised_percent"] <= r["noisy_percent"] for r in wer_rows)
    snrs = "/".join(f"{s:g}" for s in sorted({r["snr_db"] for r in wer_rows}))
    found.append(Goal(f"word error rate after denoise <= noisy, {snrs} dB, 16 kHz mono",
                      f"{kept} of {len(wer_rows)}", "all", kept == len(wer_rows)))
    speed = result["speed"]
    found.append(Goal("default denoise speed, 16 kHz mono, one core (kolta.denoise)",
                      f"{speed['x_real_time']:.0f}x real time",
                      f">= {MIN_X_REAL_TIME:.0f}x", speed["x_real_time"] >= MIN_X_REAL_TIME))
    return found


def _table(groups: list[tuple[str, list[str]]], rows: list[list[str]]) -> list[str]:
    """Rows under a two-line header: groups of columns, then each column's
    name. The first group is the row labels, left-aligned."""
    names = [name for _, columns in groups for name in columns]
    widths = [max([len(name)] + [len(row[i]) for row in rows]) for i, name in enumerate(names)]
    first = 0
    for title, columns in groups:  # a group title wider than its columns widens the last
        span = sum(widths[first:first + len(columns)]) + 2 * (len(columns) - 1)
        widths[first + len(columns) - 1] += max(0, len(title) - span)
        first += len(columns)

    def line(cells: list[str]) -> str:
        out = [cells[0].ljust(widths[0])] + [c.rjust(w) for c, w in zip(cells[1:], widths[1:])]
        return "  ".join(out).rstrip()

    header, first = [], 0
    for title, columns in groups:
        span = sum(widths[first:first + len(columns)]) + 2 * (len(columns) - 1)
        header.append(title.ljust(span) if first == 0 else title.center(span))
        first += len(columns)
    rule = "-" * len(line(names))
    return ["  ".join(header).rstrip(), line(names), rule] + [line(row) for row in rows]


def _figure(system: dict[str, Any], key: str, form: str) -> str:
    if "skipped" in system:
        return "-"
    if "same_as" in system:
        return SAME
    value = system.get(key)
    if value is None:
        return "n/a"
    if key.endswith("cut_db") and value >= CUT_SHOWN_UP_TO_DB:
        return f">{CUT_SHOWN_UP_TO_DB:.0f}"  # pauses left (near) digitally silent
    return format(value, form)


def _main_table(rows: list[dict[str, Any]]) -> list[str]:
    groups = [("", ["condition"]), ("PESQ-wb", ["noisy", "ours", "RNNoise"]),
              ("STOI", ["noisy", "ours", "RNNoise"]),
              ("pause cut from 0.5 s", ["ours", "RNNoise"]),
              ("cut over first 0.5 s", ["ours", "RNNoise"]),
              ("speech level", ["ours", "RNNoise"])]
    lines = []
    for r in rows:
        noisy, ours, theirs = (r["systems"][k] for k in ("noisy", "default", "rnnoise"))
        lines.append([r["label"],
                      _figure(noisy, "pesq_wb", ".2f"), _figure(ours, "pesq_wb", ".2f"),
                      _figure(theirs, "pesq_wb", ".2f"),
                      _figure(noisy, "stoi", ".3f"), _figure(ours, "stoi", ".3f"),
                      _figure(theirs, "stoi", ".3f"),
                      _figure(ours, "cut_db", ".1f"), _figure(theirs, "cut_db", ".1f"),
                      _figure(ours, "first_cut_db", ".1f"),
                      _figure(theirs, "first_cut_db", ".1f"),
                      _figure(ours, "speech_db", "+.1f"), _figure(theirs, "speech_db", "+.1f")])
    return _table(groups, lines)


def _named_table(rows: list[dict[str, Any]]) -> list[str]:
    groups: list[tuple[str, list[str]]] = [("", ["condition"])]
    for name in NAMED:
        groups.append((name, ["PESQ-wb", "STOI", "cut", "first", "speech"]))
    distinct = [r for r in rows if any("same_as" not in r["systems"][n] for n in NAMED)]
    lines = []
    for r in distinct:
        cells = [r["label"]]
        for name in NAMED:
            system = r["systems"][name]
            cells += [_figure(system, "pesq_wb", ".2f"), _figure(system, "stoi", ".3f"),
                      _figure(system, "cut_db", ".1f"), _figure(system, "first_cut_db", ".1f"),
                      _figure(system, "speech_db", "+.1f")]
        lines.append(cells)
    out = _table(groups, lines) if lines else []
    same = len(rows) - len(distinct)
    if same:
        formats = sorted({r["format"] for r in rows if r not in distinct})
        out.append(f"({same} conditions, {', '.join(formats)}: both give the default's output "
                   "sample for sample; not repeated)")
    return out


def _wer_table(wer: dict[str, Any]) -> list[str]:
    groups = [("", ["condition"]), ("word error rate", ["noisy", "denoised"]), ("", ["goal"])]
    lines = [["clean speech", f"{wer['clean_percent']:.1f}%", "", ""]]
    for r in wer["rows"]:
        ok = r["denoised_percent"] <= r["noisy_percent"]
        lines.append([f"{r['noise']} {r['snr_db']:g} dB", f"{r['noisy_percent']:.1f}%",
                      f"{r['denoised_percent']:.1f}%", "PASS" if ok else "MISS"])
    return _table(groups, lines)


def tables(result: dict[str, Any]) -> str:
    rows = result["conditions"]
    wer = result["wer"]
    speed = result["speed"]
    out = ["Noise suppression on recorded speech: the engine's default denoise (ours) and "
           "RNNoise (pyrnnoise, at 48 kHz)",
           "PESQ-wb and STOI against the clean speech at 16 kHz after alignment; noise cut "
           "in the clean speech's pauses and speech level change in dB"]
    skipped = {r["systems"]["rnnoise"].get("skipped") for r in rows} - {None}
    out += [f"RNNoise not run: {reason}" for reason in sorted(skipped)] + [""]
    out += _main_table(rows)
    out += ["", "The engine's single suppressors (KOLTA_ENGINE_SUPPRESSOR), same figures:"]
    out += _named_table(rows)
    out += ["", f"Word error rate of the engine's recogniser, 16 kHz mono, {wer['clips']} "
                f"pooled ({wer['reference_words']} reference words):"]
    out += _wer_table(wer)
    out += ["", f"Speed of the default denoise, 16 kHz mono, one core: kolta.denoise on "
                f"{speed['audio_s']:.0f} s, {speed['x_real_time']:.0f}x real time "
                f"({speed['x_real_time_cpu']:.0f}x per CPU second); streamed in 20 ms chunks "
                f"through AlignedStream, {speed['streamed_x_real_time']:.0f}x"]
    return "\n".join(out)


def render(result: dict[str, Any]) -> None:
    print(tables(result))
    print()
    for goal in goals(result):
        verdict = "----" if goal.ok is None else "PASS" if goal.ok else "MISS"
        note = f"; {goal.note}" if goal.note else ""
        print(f"{verdict}  {goal.name}: {goal.figure} (goal {goal.target}{note})")
