"""Resident memory of a chain of State versions, against copying a dict per version.

Each measurement runs in a fresh interpreter, so what earlier rows allocated does not blur it:

    python bench/memory.py          # prints one line per row
"""

from __future__ import annotations

import subprocess
import sys

KEYS = 10_000
VERSIONS = 10_000
DICT_VERSIONS = 200  # a dict copy per version: a few hundred suffice to see the cost of one

CHAIN = f"""
import gc, norva_core
state = norva_core.State(data={{f"k{{i}}": i for i in range({KEYS})}})
chain = [state]
gc.collect()
before = rss()
for n in range({VERSIONS}):
    state = state.update({{f"k{{n % {KEYS}}}": -n}})
    chain.append(state)
gc.collect()
print((rss() - before) / {VERSIONS})
"""

DICT_COPIES = f"""
import gc
d = {{f"k{{i}}": i for i in range({KEYS})}}
chain = [d]
gc.collect()
before = rss()
for n in range({DICT_VERSIONS}):
    d = dict(d)
    d[f"k{{n % {KEYS}}}"] = -n
    chain.append(d)
gc.collect()
print((rss() - before) / {DICT_VERSIONS})
"""

RSS = """
import os
def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
"""


def bytes_per_version(code: str) -> float:
    out = subprocess.run([sys.executable, "-c", RSS + code], check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1])


def main() -> None:
    chain = bytes_per_version(CHAIN)
    copies = bytes_per_version(DICT_COPIES)
    print(f"{'memory per version':58} {'norva':>10} {'peer':>10} {'ratio':>7}  goal")
    print(f"{f'State chain, {KEYS:,} keys, {VERSIONS:,} versions vs dict copies':58} "
          f"{chain / 1024:7.2f}KiB {copies / 1024:7.1f}KiB {chain / copies:7.4f}  <= 3 KiB per version")


if __name__ == "__main__":
    main()
