"""Shared pieces of the benchmark rows."""

from __future__ import annotations

from dataclasses import dataclass
from time import perf_counter
from typing import Callable


@dataclass
class Row:
    name: str
    goal: str
    subject: Callable[[int], float]  # takes a loop count, returns elapsed seconds
    peer: Callable[[int], float]


def per_call(fn: Callable[[], object]) -> Callable[[int], float]:
    """Time `loops` calls of a no-argument callable."""

    def timed(loops: int) -> float:
        it = range(loops)
        t0 = perf_counter()
        for _ in it:
            fn()
        return perf_counter() - t0

    return timed
