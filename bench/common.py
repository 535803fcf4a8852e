"""Shared timing: interleaved repeats of each case against its baseline, medians, ratios."""

import statistics
import timeit


def ratio(ours, baseline, *, number, repeats=15):
    """Median time per call of `ours` over that of `baseline`, measured alternately."""
    ours_times, base_times = [], []
    for _ in range(repeats):
        base_times.append(timeit.timeit(baseline, number=number) / number)
        ours_times.append(timeit.timeit(ours, number=number) / number)
    return statistics.median(ours_times) / statistics.median(base_times)


def report(name, value, target=None):
    verdict = "" if target is None else ("  ok" if value <= target else f"  MISSES target {target}")
    print(f"{name:<58} {value:6.3f}{verdict}")
