"""The timing every benchmark here shares: the best of several runs."""

import time


def best(fn, repeat=7):
    """The shortest of `repeat` runs of fn(), in seconds."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)
