"""What bench_scaleout.py makes of its runs, apart from running them: the
bounded search for the highest load that still passes, and one stream's
interruption read from its answers."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence


class BoundedSearch:
    """The highest count up to `limit` that passes, as far as a bounded
    search finds: doubling from `start` until a count fails, then halving
    the interval between the last that passed and the first that failed
    until it is within `resolution` (a fraction) of the lower end. Driven
    from outside (`next_count`, then `record` its outcome), so that two
    searches can take turns on a machine whose load drifts."""

    def __init__(self, start: int, limit: int, resolution: float) -> None:
        if start < 1 or limit < start or resolution <= 0:
            raise ValueError("expected 1 <= start <= limit and resolution > 0")
        self.limit, self.resolution = limit, resolution
        self.best = 0  # the highest count that passed; 0 when even 1 fails
        self.tried: list[tuple[int, bool]] = []
        self._failed: int | None = None  # the lowest count that failed
        self._next: int | None = start

    @property
    def next_count(self) -> int | None:
        """The count to try next; None once the search is done."""
        return self._next

    def record(self, passed: bool) -> None:
        count = self._next
        if count is None:
            raise RuntimeError("the search is done")
        self.tried.append((count, passed))
        if passed:
            self.best = count
        else:
            self._failed = count
        if self._failed is None:  # still doubling
            self._next = None if count == self.limit else min(2 * count, self.limit)
        elif self._failed - self.best > max(1.0, self.resolution * self.best):
            self._next = (self.best + self._failed) // 2
        else:
            self._next = None


def highest_passing(passes: Callable[[int], bool], start: int, limit: int,
                    resolution: float) -> tuple[int, list[tuple[int, bool]]]:
    """BoundedSearch run to its end with `passes`: its answer and every
    (count, passed) tried, in order."""
    search = BoundedSearch(start, limit, resolution)
    while (count := search.next_count) is not None:
        search.record(passes(count))
    return search.best, search.tried


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
