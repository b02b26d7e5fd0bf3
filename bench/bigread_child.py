"""One contestant's whole-file read(s) of the large file, in a process of its own.

A fresh process per contestant makes the peak resident set a clean measure:
`ru_maxrss` only ever grows, so in a shared process the first large read would
set the bar for everyone after it. The library is warmed with a small file
first (threads, driver, loop bridge), so the increase is the read's alone.
The loop's stalls and the threads' CPU are watched as in the other cases.

Usage: bigread_child.py KEY LOOP BIG_PATH SMALL_PATH READS  -> one JSON line.
"""

from __future__ import annotations

import asyncio
import gc
import json
import os
import resource
import sys
import time

from harness import LOOP_FACTORIES, NotAvailable, Watch
from adapters import BY_KEY


def _rss_kib() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def _maxrss_kib() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


async def body(key: str, big: str, small: str, reads: int) -> dict[str, object]:
    fn = BY_KEY[key].read_whole
    size = os.path.getsize(big)
    for _ in range(3):
        await fn(small)
    gc.collect()
    rss0, max0 = _rss_kib(), _maxrss_kib()
    times: list[float] = []
    peak_after_first = 0
    watch = Watch()
    for i in range(reads):
        watch.start()
        t0 = time.perf_counter_ns()
        data = await fn(big)
        t1 = time.perf_counter_ns()
        watch.stop()
        if len(data) != size:
            raise RuntimeError(f"read returned {len(data)} bytes of {size}")
        del data
        times.append((t1 - t0) / 1e9)
        if i == 0:
            peak_after_first = _maxrss_kib()
    return {
        "samples_s": times,
        "rss_before_kib": rss0,
        "maxrss_before_kib": max0,
        "maxrss_after_first_kib": peak_after_first,
        "maxrss_after_kib": _maxrss_kib(),
        # Against the resident set just before the read, not the earlier peak: a
        # start-up spike above it would hide part of the read's own peak.
        "peak_increase_kib": max(0, peak_after_first - rss0),
        **watch.to_json(),
    }


def main(argv: list[str]) -> int:
    key, loop, big, small, reads = argv[0], argv[1], argv[2], argv[3], int(argv[4])
    try:
        with asyncio.Runner(loop_factory=LOOP_FACTORIES[loop]) as r:
            out = r.run(body(key, big, small, reads))
    except NotAvailable as e:
        out = {"error": f"not available: {e}"}
    except Exception as e:
        out = {"error": f"error: {type(e).__name__}: {e}"}
    print(json.dumps(out))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
