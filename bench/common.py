"""Shared timing: interleaved repeats of each case against its baseline, medians, ratios."""

import statistics
import timeit


def ratio(ours, baseline, *, number, repeats=15, globals=None):
    """Median time per run of `ours` over that of `baseline`, measured alternately.

    Each is a callable or a statement; a statement runs in `globals` with no function call
    around it, so that a cheap operation is not diluted by the cost of calling a lambda.
    """
    ours_timer = timeit.Timer(ours, globals=globals)
    base_timer = timeit.Timer(baseline, globals=globals)
    ours_times, base_times = [], []
    for _ in range(repeats):
        base_times.append(base_timer.timeit(number=number) / number)
        ours_times.append(ours_timer.timeit(number=number) / number)
    return statistics.median(ours_times) / statistics.median(base_times)


def report(name, value, target=None):
    verdict = "" if target is None else ("  ok" if value <= target else f"  MISSES target {target}")
    print(f"{name:<66} {value:6.3f}{verdict}")
