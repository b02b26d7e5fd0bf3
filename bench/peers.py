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

import asyncio
import os
from collections.abc import AsyncIterator, Callable
from contextlib import asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path

from adapters import ADAPTERS, Adapter
from fixtures import (CHUNK, COLD_SIZE, COLD_STRIDE, FOLDER_ENTRIES, LINES, REGION_SIZE,
                      REGIONS, SEQ_SIZE, Fixtures, evict, warm)
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


SMALL_BATCH = 64
"""Files per unit of the small-files cases, one at a time or all at once."""


def small_files(together: bool, cold: bool) -> Callable[[Adapter, Fixtures], ContestantFactory]:
    """Open, read whole and close 4 KiB files, each a different file: one
    after another or 64 at a time; cached, or with every file's pages evicted
    before the sample (the names stay in the kernel's caches)."""

    def case(a: Adapter, fx: Fixtures) -> ContestantFactory:
        paths = [str(p) for p in fx.many]
        call = a.open_read_close

        @asynccontextmanager
        async def factory() -> AsyncIterator[Bench]:
            if len(await call(paths[0])) != CHUNK:
                raise RuntimeError("open + read returned the wrong length")
            k = 0

            def next_group() -> list[str]:
                nonlocal k
                group = [paths[(k + i) % len(paths)] for i in range(SMALL_BATCH)]
                k = (k + SMALL_BATCH) % len(paths)
                return group

            async def batch(n: int) -> None:
                for _ in range(n):
                    group = next_group()
                    if together:
                        await asyncio.gather(*(call(p) for p in group))
                    else:
                        for p in group:
                            await call(p)

            if not cold:
                yield Bench(batch, ops_per_unit=SMALL_BATCH)
                return
            notes = {"evictions_verified": 0, "evictions_failed": 0}
            ahead: list[str] = []

            def prepare() -> None:
                nonlocal k
                start = k
                ahead[:] = next_group()
                k = start  # the batch reads the group just evicted
                for p in ahead:
                    took = evict(Path(p), 0, CHUNK)
                    notes["evictions_verified" if took else "evictions_failed"] += 1

            yield Bench(batch, ops_per_unit=SMALL_BATCH, prepare=prepare, notes=notes)

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


def lines200k(a: Adapter, fx: Fixtures) -> ContestantFactory:
    """Every line of a cached text file, one at a time, as `for line in f` reads it."""
    p = str(fx.lines)

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        async def batch(n: int) -> None:
            for _ in range(n):
                if await a.count_lines(p) != LINES:
                    raise RuntimeError("line iteration returned the wrong number of lines")

        # These machines page out what was not touched for a minute.
        yield Bench(batch, prepare=lambda: warm(fx.lines))

    return factory


def stat_each(a: Adapter, fx: Fixtures) -> ContestantFactory:
    """`stat` of the folder's files, one after another, each a different file."""
    names = sorted(os.listdir(fx.folder))
    paths = [str(fx.folder / n) for n in names]

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        await a.stat(paths[0])
        stat = a.stat
        k = 0

        async def batch(n: int) -> None:
            nonlocal k
            for _ in range(n):
                await stat(paths[k])
                k = (k + 1) % len(paths)

        yield Bench(batch)

    return factory


def list_folder(scan: bool) -> Callable[[Adapter, Fixtures], ContestantFactory]:
    """The whole 10,000-entry folder listed: names only, or entries asked
    whether they are folders."""

    def case(a: Adapter, fx: Fixtures) -> ContestantFactory:
        p = str(fx.folder)

        @asynccontextmanager
        async def factory() -> AsyncIterator[Bench]:
            call = a.scandir if scan else a.listdir
            first = await call(p)
            if scan and first != FOLDER_ENTRIES // 1000:
                raise RuntimeError("scandir found the wrong number of folders")
            if not scan and a.key != "velnor-raw" and len(first) != FOLDER_ENTRIES:  # type: ignore[arg-type]
                raise RuntimeError("listdir returned the wrong number of names")

            async def batch(n: int) -> None:
                for _ in range(n):
                    await call(p)

            yield Bench(batch)

        return factory

    return case


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
    Case("small1", "open + read + close of 4 KiB files, one at a time (cached)", "latency",
         "calibrated", lambda fx: CHUNK, "open_read_close", small_files(False, False)),
    Case("small64", "open + read + close of 4 KiB files, 64 at a time (cached)", "throughput",
         "calibrated", lambda fx: CHUNK, "open_read_close", small_files(True, False),
         note="stdlib sync opens and reads the 64 in a row on the loop thread"),
    Case("small1cold", "open + read + close of evicted 4 KiB files, one at a time", "latency",
         "single", lambda fx: CHUNK, "open_read_close", small_files(False, True),
         note="data pages evicted before every sample (names stay cached); "
              "the virtual disk is cached by the host, so a miss costs ~12 us, not a device's latency"),
    Case("small64cold", "open + read + close of evicted 4 KiB files, 64 at a time", "throughput",
         "single", lambda fx: CHUNK, "open_read_close", small_files(True, True),
         note="as above; stdlib sync reads them in a row on the loop thread"),
    Case("stat1", "stat of 10,000 files, one at a time (cached)", "latency", "calibrated",
         lambda fx: 0, "stat", stat_each),
    Case("listdir10k", "listdir of a 10,000-entry folder (cached)", "latency", "calibrated",
         lambda fx: 0, "listdir", list_folder(False)),
    Case("scandir10k", "scandir of a 10,000-entry folder, is_dir() on every entry", "latency",
         "calibrated", lambda fx: 0, "scandir", list_folder(True)),
    Case("cold4k", "4 KiB read of an evicted file (not cached)", "latency", "single",
         lambda fx: CHUNK, "cold4k", cold4k,
         note="pages evicted with fsync + POSIX_FADV_DONTNEED before every sample; "
              "stdlib sync blocks the event loop for the whole disk read"),
    Case("lines200k", "line iteration of a cached 200,000-line text file", "latency", "single",
         lambda fx: os.path.getsize(fx.lines), "lines", lines200k,
         note="the file is warmed before every sample; aiofiles and anyio take seconds per "
              "sample, so few samples are taken",
         samples=lambda s: 1 if s.quick else 3),
    Case("file1m", "whole 1 MiB file read by path (cached)", "latency", "calibrated",
         lambda fx: SEQ_SIZE, "read_whole", read_whole(lambda fx: fx.seq)),
]


def scenarios(fx: Fixtures) -> list[Scenario]:
    return [
        Scenario(c.key, c.title, c.metric, c.kind, c.bytes_per_op(fx),
                 [Contestant(a.key, a.what[c.what], c.make(a, fx) if c.make else None)
                  for a in ADAPTERS],
                 note=c.note, samples=c.samples)
        for c in CASES
    ]
