"""How the scale-out benchmark reads its runs (bench/scaleout_measures.py):
the bounded search lands on the edge of what passes, within its resolution
and a bounded number of trials; a stream's interruption is read from its
answers. Nothing here is timed."""

import math
import os
import sys

import pytest

sys.path.append(os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                             "bench"))
from scaleout_measures import BoundedSearch, highest_passing, interruption_s  # noqa: E402

START, LIMIT, RESOLUTION = 50, 1600, 0.1
# Doubling from START up to LIMIT, then halving an interval no wider than
# its lower end down to RESOLUTION of it (or one from 0 to START, down to 1).
MAX_TRIALS = (math.ceil(math.log2(LIMIT / START)) + 1
              + max(math.ceil(math.log2(1 / RESOLUTION)), math.ceil(math.log2(START))))


class TestHighestPassing:
    @pytest.mark.parametrize("edge", [0, 1, 2, 37, 49, 50, 51, 99, 100, 101, 333, 1000,
                                      1599, 1600, 5000])
    def test_finds_the_edge_within_the_resolution(self, edge):
        best, tried = highest_passing(lambda count: count <= edge, START, LIMIT, RESOLUTION)
        assert best <= min(edge, LIMIT)
        assert min(edge, LIMIT) - best <= max(1, RESOLUTION * best)
        assert len(tried) <= MAX_TRIALS
        assert all(1 <= count <= LIMIT for count, _ in tried)
        assert len({count for count, _ in tried}) == len(tried), "each count tried once"
        assert all(passed == (count <= edge) for count, passed in tried)
        if edge >= LIMIT:
            assert best == LIMIT and tried[-1] == (LIMIT, True)

    @pytest.mark.parametrize("passing", [{50, 400}, {50, 60, 61}, {1, 2, 3, 100}, set()])
    def test_answers_a_count_that_passed_when_passing_is_not_monotonic(self, passing):
        best, tried = highest_passing(lambda count: count in passing, START, LIMIT, RESOLUTION)
        assert best == 0 or (best, True) in tried
        assert len(tried) <= MAX_TRIALS

    @pytest.mark.parametrize("start, limit, resolution", [(0, 10, 0.1), (11, 10, 0.1),
                                                          (1, 10, 0.0)])
    def test_refuses_a_search_it_cannot_bound(self, start, limit, resolution):
        with pytest.raises(ValueError):
            highest_passing(lambda count: True, start, limit, resolution)

    def test_searches_taking_turns_each_find_their_own_edge(self):
        edges = {"one": 130, "two": 270}
        searches = {name: BoundedSearch(START, LIMIT, RESOLUTION) for name in edges}
        while any(search.next_count is not None for search in searches.values()):
            for name, search in searches.items():
                if search.next_count is not None:
                    search.record(search.next_count <= edges[name])
        for name, search in searches.items():
            alone = highest_passing(lambda count: count <= edges[name], START, LIMIT, RESOLUTION)
            assert (search.best, search.tried) == alone
        with pytest.raises(RuntimeError, match="done"):
            searches["one"].record(True)


def answers(*runs):
    """(time, processed) every 20 ms from t=1.0: runs of (count, processed)."""
    out, seen = [], 1.0
    for count, processed in runs:
        for _ in range(count):
            out.append((round(seen, 3), processed))
            seen += 0.02
    return out


KILL = 1.5  # between the 25th answer (1.48) and the 26th (1.50)


@pytest.mark.parametrize("stream, expected", [
    # On the instance that lived: nothing passed through after the kill.
    (answers((100, True)), None),
    (answers((5, False), (95, True)), None),  # passed through while starting: not the kill's
    # The last processed answer at 1.48, passed through from 1.50, processed again at 1.60.
    (answers((25, True), (5, False), (70, True)), 0.12),
    (answers((5, False), (20, True), (5, False), (70, True)), 0.12),
    # The dying connection's answers still arriving after the kill count as before it.
    (answers((27, True), (3, False), (70, True)), 0.08),
    # No processed answer before the outage: from the kill.
    (answers((25, False), (5, False), (70, True)), 0.1),
    # Never processed again within the run.
    (answers((25, True), (75, False)), math.inf),
])
def test_interruption_is_read_from_the_answers(stream, expected):
    gap = interruption_s(stream, KILL)
    if expected is None or math.isinf(expected):
        assert gap == expected
    else:
        assert gap == pytest.approx(expected, abs=1e-9)
