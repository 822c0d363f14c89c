"""Timing for the benchmarks: one call, the garbage collector held off."""

from __future__ import annotations

import gc
import time


def timed(fn):
    """(seconds, result) of one call of `fn`, after a collection and with the
    collector off meanwhile, as timeit does: its pauses are not the call's cost."""
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter()
        out = fn()
        return time.perf_counter() - t, out
    finally:
        gc.enable()
