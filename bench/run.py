"""Run every benchmark row side by side with its peer and print the table of ratios.

    make bench            # full run
    make bench   (or: scripts/dev.sh bench --fast)

Each row times the subject (norva_core) and its peer (the anchor the row is compared with) in the
same pyperf run, and reports subject time / peer time: below 1.0 the subject is faster.
"""

from __future__ import annotations

import os
import sys

import pyperf

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import memory  # noqa: E402
import rows_engine  # noqa: E402
import rows_foundation  # noqa: E402
import rows_state  # noqa: E402

ROWS = [*rows_foundation.ROWS, *rows_state.ROWS, *rows_engine.ROWS]


def main() -> None:
    runner = pyperf.Runner()
    results = []
    for row in ROWS:
        subject = runner.bench_time_func(f"{row.name} [norva]", row.subject)
        peer = runner.bench_time_func(f"{row.name} [peer]", row.peer)
        if subject is not None and peer is not None:
            results.append((row, subject.mean(), peer.mean()))
    if results and not runner.args.worker:
        print()
        print(f"{'row':58} {'norva':>10} {'peer':>10} {'ratio':>7}  goal")
        for row, s, p in results:
            print(f"{row.name:58} {s * 1e9:8.0f}ns {p * 1e9:8.0f}ns {s / p:7.2f}  {row.goal}")
        print()
        memory.main()


if __name__ == "__main__":
    main()
