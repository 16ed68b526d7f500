"""How busy the machine was: the benchmarks share their cores with other
programs, and say how much of them those took."""

from __future__ import annotations

import os
import resource


def busy_cpu_seconds() -> float | None:
    """CPU time spent by everything on the machine so far (Linux), or None."""
    try:
        with open("/proc/stat", encoding="ascii") as stat:
            fields = [int(v) for v in stat.readline().split()[1:]]
    except (OSError, ValueError):
        return None
    idle = fields[3] + (fields[4] if len(fields) > 4 else 0)  # idle + iowait
    return (sum(fields[:8]) - idle) / os.sysconf("SC_CLK_TCK")


def own_cpu_seconds() -> float:
    """CPU time of this process and of the child processes it waited for."""
    me = resource.getrusage(resource.RUSAGE_SELF)
    children = resource.getrusage(resource.RUSAGE_CHILDREN)
    return me.ru_utime + me.ru_stime + children.ru_utime + children.ru_stime
