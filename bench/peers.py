"""The comparison: velnor and its peers doing the same work on the same files.

Every contestant is written the way its users write it: the standard library
synchronously on the loop thread, `asyncio.to_thread` around the same calls,
aiofiles and anyio through their file objects and path helpers with default
settings. Each library is one adapter (`adapters.py`); each case below is
written once against the adapters and runs for all of them, and each velnor
figure is compared with each peer in the same run.

Adding a case: write a function `(adapter, fixtures) -> ContestantFactory`
using the adapters' calls (adding a call to `adapters.Adapter` first if the
case needs one every library offers in its own way), and append a `Case` to
`CASES`. See bench/README.md.
"""

from __future__ import annotations

import os
from collections.abc import AsyncIterator, Callable
from contextlib import asynccontextmanager
from dataclasses import dataclass, field

from adapters import ADAPTERS, Adapter
from fixtures import (CHUNK, COLD_SIZE, COLD_STRIDE, REGION_SIZE, REGIONS, SEQ_SIZE, Fixtures,
                      evict)
from harness import Bench, ContestantFactory, Settings


@dataclass
class Contestant:
    key: str
    what: str  # the call measured, as a user would write it
    factory: ContestantFactory | None = None  # None for cases run in a child process


@dataclass
class Scenario:
    key: str
    title: str
    metric: str  # "latency" (us/op), "throughput" (reads/s), "bandwidth" (GB/s)
    kind: str  # "calibrated", "single" (prepare before each sample), "child" (subprocess)
    bytes_per_op: int
    contestants: list[Contestant] = field(default_factory=list)
    note: str = ""
    samples: Callable[[Settings], int] = lambda s: s.single_samples  # for "single" cases


# --- the cases: each takes one adapter and the data files -----------------------------

def read4k(a: Adapter, fx: Fixtures) -> ContestantFactory:
    """One 4 KiB read at a time, walking a cached file and wrapping."""

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        async with a.reads(str(fx.seq), 1) as reads:
            yield Bench(reads.walk([0], CHUNK, SEQ_SIZE // CHUNK))

    return factory


def concurrent64(a: Adapter, fx: Fixtures) -> ContestantFactory:
    """64 concurrent 4 KiB reads, one per region of a cached file."""
    bases = [r * REGION_SIZE for r in range(REGIONS)]

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        async with a.reads(str(fx.regions), REGIONS) as reads:
            yield Bench(reads.walk(bases, CHUNK, REGION_SIZE // CHUNK), ops_per_unit=REGIONS)

    return factory


def cold4k(a: Adapter, fx: Fixtures) -> ContestantFactory:
    """One 4 KiB read at a fresh offset of a file evicted just before; the
    positioning of stream APIs happens before the clock starts."""
    offsets = list(range(0, COLD_SIZE, COLD_STRIDE))

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        notes = {"evictions_verified": 0, "evictions_failed": 0}
        i = -1
        async with a.reads(str(fx.cold), 1) as reads:

            async def prepare() -> None:
                nonlocal i
                i += 1
                off = offsets[i % len(offsets)]
                await reads.place(off)
                took = evict(fx.cold, off, CHUNK)
                notes["evictions_verified" if took else "evictions_failed"] += 1

            yield Bench(reads.once(CHUNK), prepare=prepare, notes=notes)

    return factory


def read_whole(path: Callable[[Fixtures], os.PathLike[str]]) -> Callable[[Adapter, Fixtures],
                                                                       ContestantFactory]:
    """Whole-file reads by path of the file `path` picks, checked for length once."""

    def case(a: Adapter, fx: Fixtures) -> ContestantFactory:
        p = str(path(fx))

        @asynccontextmanager
        async def factory() -> AsyncIterator[Bench]:
            if len(await a.read_whole(p)) != os.path.getsize(p):
                raise RuntimeError("whole-file read returned the wrong length")

            async def batch(n: int) -> None:
                for _ in range(n):
                    await a.read_whole(p)

            yield Bench(batch)

        return factory

    return case


def write64m(a: Adapter, fx: Fixtures) -> ContestantFactory:
    """The 64 MiB payload written as a new file."""
    target = fx.write_target(a.key)
    data = fx.payload

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        p = str(target)
        write = a.write_whole

        async def batch(n: int) -> None:
            await write(p, data)

        # A fresh file each time: rewriting with O_TRUNC would make ext4 start
        # writeback at close (auto_da_alloc), which is not what is measured here.
        def prepare() -> None:
            target.unlink(missing_ok=True)

        yield Bench(batch, prepare=prepare)
        if target.stat().st_size != len(data):
            raise RuntimeError("the write left a file of the wrong size")
        target.unlink(missing_ok=True)

    return factory


@dataclass(frozen=True)
class Case:
    """A comparison: `make(adapter, fixtures)` gives each library's contestant
    (None for "child" cases, which `bigread_child.py` runs by adapter key), and
    `what` names the entry of `Adapter.what` that describes its call."""

    key: str
    title: str
    metric: str
    kind: str
    bytes_per_op: Callable[[Fixtures], int]
    what: str
    make: Callable[[Adapter, Fixtures], ContestantFactory] | None
    note: str = ""
    samples: Callable[[Settings], int] = lambda s: s.single_samples


CASES = [
    Case("read4k", "one 4 KiB cached read at a time", "latency", "calibrated",
         lambda fx: CHUNK, "read4k", read4k),
    Case("concurrent64", "64 concurrent 4 KiB cached reads", "throughput", "calibrated",
         lambda fx: CHUNK, "concurrent64", concurrent64,
         note="stdlib sync reads the 64 in a row on the loop thread"),
    Case("file4k", "whole 4 KiB file read by path (cached)", "latency", "calibrated",
         lambda fx: CHUNK, "read_whole", read_whole(lambda fx: fx.small)),
    Case("big256m", "whole 256 MiB cached file read by path", "bandwidth", "child",
         lambda fx: os.path.getsize(fx.big), "read_whole", None,
         note="a fresh process per contestant and loop; memory = peak RSS increase"),
    Case("write64m", "64 MiB write to a new file (no fsync)", "bandwidth", "single",
         lambda fx: len(fx.payload), "write_whole", write64m, samples=lambda s: s.write_samples),
    Case("cold4k", "4 KiB read of an evicted file (not cached)", "latency", "single",
         lambda fx: CHUNK, "cold4k", cold4k,
         note="pages evicted with fsync + POSIX_FADV_DONTNEED before every sample; "
              "stdlib sync blocks the event loop for the whole disk read"),
]


def scenarios(fx: Fixtures) -> list[Scenario]:
    return [
        Scenario(c.key, c.title, c.metric, c.kind, c.bytes_per_op(fx),
                 [Contestant(a.key, a.what[c.what], c.make(a, fx) if c.make else None)
                  for a in ADAPTERS],
                 note=c.note, samples=c.samples)
        for c in CASES
    ]
