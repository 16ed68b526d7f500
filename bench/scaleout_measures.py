"""What bench_scaleout.py makes of its runs, apart from running them: the
bounded search for the highest load that still passes, and one stream's
interruption read from its answers."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence


def highest_passing(passes: Callable[[int], bool], start: int, limit: int,
                    resolution: float) -> tuple[int, list[tuple[int, bool]]]:
    """The highest count up to `limit` for which `passes` holds, as far as a
    bounded search finds: doubling from `start` until a count fails, then
    halving the interval between the last that passed and the first that
    failed until it is within `resolution` (a fraction) of the lower end.
    Returns it (0 when even 1 fails) and every (count, passed) tried, in order.
    Each count is tried once, so a load that passes by chance near the edge
    may be taken; the trials say how close it was."""
    if start < 1 or limit < start or resolution <= 0:
        raise ValueError("expected 1 <= start <= limit and resolution > 0")
    tried: list[tuple[int, bool]] = []

    def trial(count: int) -> bool:
        passed = passes(count)
        tried.append((count, passed))
        return passed

    low, high = 0, None  # the highest count that passed, the lowest that failed
    count = start
    while True:
        if not trial(count):
            high = count
            break
        low = count
        if count == limit:
            return low, tried
        count = min(2 * count, limit)
    while high - low > max(1.0, resolution * low):
        middle = (low + high) // 2
        if trial(middle):
            low = middle
        else:
            high = middle
    return low, tried


def interruption_s(answers: Sequence[tuple[float, bool]], kill_at: float) -> float | None:
    """Seconds from the last answer the service processed before the outage
    that follows `kill_at` to the first one it processed after it; None when
    the stream had no outage then (its instance lived), infinity when no
    processed answer came after it. `answers`: (time seen, processed) in
    order; an outage is a run of answers passed through unprocessed."""
    first_down = next((index for index, (seen, processed) in enumerate(answers)
                       if seen >= kill_at and not processed), None)
    if first_down is None:
        return None
    before = [seen for seen, processed in answers[:first_down] if processed]
    last_before = before[-1] if before else kill_at
    back = next((seen for seen, processed in answers[first_down:] if processed), math.inf)
    return back - last_before
