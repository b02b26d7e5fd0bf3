"""The comparison: velnor and its peers doing the same work on the same files.

Every contestant is written the way its users write it: the standard library
synchronously on the loop thread, `asyncio.to_thread` around the same calls,
aiofiles and anyio through their file objects and path helpers with default
settings. Stream APIs (BinaryFile, aiofiles, anyio) read sequentially through a
file object; positional APIs (os.pread, _velnor.read) read the same offsets
directly. Each velnor figure is compared with each peer in the same run.
"""

from __future__ import annotations

import asyncio
import os
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import AsyncExitStack, asynccontextmanager
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any

import velnor_api as v
from fixtures import (CHUNK, COLD_SIZE, COLD_STRIDE, REGION_SIZE, REGIONS, SEQ_SIZE,
                      Fixtures, evict, is_cached)
from harness import Bench, ContestantFactory, NotAvailable
from ladder import MASK, POSITIONS, maybe_await, sequential_reads

VELNOR = "velnor"
VELNOR_RAW = "velnor-raw"
PEERS = ["sync", "to_thread", "aiofiles", "anyio"]
LABELS = {
    VELNOR: "velnor",
    VELNOR_RAW: "velnor raw (_velnor)",
    "sync": "stdlib sync",
    "to_thread": "to_thread",
    "aiofiles": "aiofiles",
    "anyio": "anyio",
}


def aiofiles_mod() -> Any:
    try:
        import aiofiles
    except ImportError as e:
        raise NotAvailable(f"aiofiles is not installed ({e})") from None
    return aiofiles


def anyio_mod() -> Any:
    try:
        import anyio
    except ImportError as e:
        raise NotAvailable(f"anyio is not installed ({e})") from None
    return anyio


@dataclass
class Contestant:
    key: str
    what: str  # the call measured, as a user would write it
    factory: ContestantFactory | None = None
    # Whole-file readers of the large-file case run in a child process by key.
    read_whole: Callable[[str], Awaitable[bytes]] | None = None


@dataclass
class Scenario:
    key: str
    title: str
    metric: str  # "latency" (us/op), "throughput" (reads/s), "bandwidth" (GB/s)
    kind: str  # "calibrated", "single" (prepare before each sample), "child" (subprocess)
    bytes_per_op: int
    contestants: list[Contestant] = field(default_factory=list)
    note: str = ""


# --- whole-file reads by path: shared by the 4 KiB and the 256 MiB cases ----------

async def _velnor_read_bytes(path: str) -> bytes:
    return await v.package("read_bytes")(path)


async def _velnor_raw_read_whole(path: str) -> bytes:
    return await v.raw_read_whole(path)


async def _sync_read_bytes(path: str) -> bytes:
    return Path(path).read_bytes()


async def _to_thread_read_bytes(path: str) -> bytes:
    return await asyncio.to_thread(Path(path).read_bytes)


async def _aiofiles_read_bytes(path: str) -> bytes:
    async with aiofiles_mod().open(path, "rb") as f:
        return await f.read()


async def _anyio_read_bytes(path: str) -> bytes:
    return await anyio_mod().Path(path).read_bytes()


READ_WHOLE: dict[str, tuple[str, Callable[[str], Awaitable[bytes]]]] = {
    VELNOR: ("await velnor.read_bytes(path)", _velnor_read_bytes),
    VELNOR_RAW: ("await _velnor.read_file(path, 1 MiB) [+ read_parallel]", _velnor_raw_read_whole),
    "sync": ("Path(path).read_bytes()", _sync_read_bytes),
    "to_thread": ("await asyncio.to_thread(Path(path).read_bytes)", _to_thread_read_bytes),
    "aiofiles": ("async with aiofiles.open(path, 'rb') as f: await f.read()", _aiofiles_read_bytes),
    "anyio": ("await anyio.Path(path).read_bytes()", _anyio_read_bytes),
}


def _check_whole(fn: Callable[[str], Awaitable[bytes]], path: str) -> ContestantFactory:
    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        size = os.path.getsize(path)
        if len(await fn(path)) != size:
            raise RuntimeError("whole-file read returned the wrong length")

        async def batch(n: int) -> None:
            for _ in range(n):
                await fn(path)

        yield Bench(batch)

    return factory


# --- stream and positional readers -------------------------------------------------

@asynccontextmanager
async def _stream_files(key: str, path: str, count: int) -> AsyncIterator[list[Any]]:
    """`count` file objects of the given library open on `path`; closed on exit."""
    async with AsyncExitStack() as stack:
        files: list[Any] = []
        for _ in range(count):
            if key == VELNOR:
                files.append(await stack.enter_async_context(v.open_binary(path, "rb")))
            elif key == "aiofiles":
                f = await aiofiles_mod().open(path, "rb")
                stack.push_async_callback(f.close)
                files.append(f)
            elif key == "anyio":
                f = await anyio_mod().open_file(path, "rb")
                stack.push_async_callback(f.aclose)
                files.append(f)
            else:
                raise AssertionError(key)
        yield files


@asynccontextmanager
async def _raw_fd(path: str) -> AsyncIterator[int]:
    fd = os.open(path, os.O_RDONLY)
    try:
        yield fd
    finally:
        os.close(fd)


def _read4k(key: str, fx: Fixtures) -> ContestantFactory:
    path = str(fx.seq)

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        i = 0
        if key in (VELNOR, "aiofiles", "anyio"):
            async with _stream_files(key, path, 1) as (f,):
                yield Bench(sequential_reads(f))
            return
        if key == VELNOR_RAW:
            rd = v.native("read")
            async with v.open_handle(path) as (h, _s, _fd):

                async def batch(n: int) -> None:
                    nonlocal i
                    for _ in range(n):
                        await rd(h, POSITIONS[i & MASK], CHUNK)
                        i += 1

                yield Bench(batch)
            return
        async with _raw_fd(path) as fd:
            pread = os.pread
            if key == "sync":

                async def batch(n: int) -> None:
                    nonlocal i
                    for _ in range(n):
                        pread(fd, CHUNK, POSITIONS[i & MASK])
                        i += 1
            else:
                to_thread = asyncio.to_thread

                async def batch(n: int) -> None:
                    nonlocal i
                    for _ in range(n):
                        await to_thread(pread, fd, CHUNK, POSITIONS[i & MASK])
                        i += 1

            yield Bench(batch)

    return factory


READS_PER_REGION = REGION_SIZE // CHUNK


def _concurrent64(key: str, fx: Fixtures) -> ContestantFactory:
    path = str(fx.regions)
    bases = [r * REGION_SIZE for r in range(REGIONS)]

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        gather = asyncio.gather
        k = 0
        if key in (VELNOR, "aiofiles", "anyio"):
            async with _stream_files(key, path, REGIONS) as files:
                for f, b in zip(files, bases):
                    await maybe_await(f.seek(b))
                reads = [f.read for f in files]

                async def batch(n: int) -> None:
                    nonlocal k
                    for _ in range(n):
                        if k and k % READS_PER_REGION == 0:
                            for f, b in zip(files, bases):
                                await maybe_await(f.seek(b))
                        await gather(*[rd(CHUNK) for rd in reads])
                        k += 1

                yield Bench(batch, ops_per_unit=REGIONS)
            return
        if key == VELNOR_RAW:
            rd = v.native("read")
            async with v.open_handle(path) as (h, _s, _fd):

                async def batch(n: int) -> None:
                    nonlocal k
                    for _ in range(n):
                        off = (k % READS_PER_REGION) * CHUNK
                        await gather(*[rd(h, b + off, CHUNK) for b in bases])
                        k += 1

                yield Bench(batch, ops_per_unit=REGIONS)
            return
        async with _raw_fd(path) as fd:
            pread = os.pread
            if key == "sync":

                async def batch(n: int) -> None:
                    nonlocal k
                    for _ in range(n):
                        off = (k % READS_PER_REGION) * CHUNK
                        for b in bases:
                            pread(fd, CHUNK, b + off)
                        k += 1
            else:
                to_thread = asyncio.to_thread

                async def batch(n: int) -> None:
                    nonlocal k
                    for _ in range(n):
                        off = (k % READS_PER_REGION) * CHUNK
                        await gather(*[to_thread(pread, fd, CHUNK, b + off) for b in bases])
                        k += 1

            yield Bench(batch, ops_per_unit=REGIONS)

    return factory


def _cold4k(key: str, fx: Fixtures) -> ContestantFactory:
    """One 4 KiB read at a fresh offset of a file evicted just before; the
    positioning of stream APIs happens before the clock starts."""
    path = str(fx.cold)
    offsets = list(range(0, COLD_SIZE, COLD_STRIDE))

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        state = {"i": -1, "off": 0}
        notes = {"evictions_verified": 0, "evictions_failed": 0}
        check_fd = os.open(path, os.O_RDONLY)
        try:
            async with AsyncExitStack() as stack:
                f: Any = None
                if key in (VELNOR, "aiofiles", "anyio"):
                    (f,) = await stack.enter_async_context(_stream_files(key, path, 1))
                    rd = f.read

                    async def batch(n: int) -> None:
                        await rd(CHUNK)
                elif key == VELNOR_RAW:
                    vread = v.native("read")
                    h, _s, _fd = await stack.enter_async_context(v.open_handle(path))

                    async def batch(n: int) -> None:
                        await vread(h, state["off"], CHUNK)
                else:
                    fd = os.open(path, os.O_RDONLY)
                    stack.callback(os.close, fd)
                    pread = os.pread
                    if key == "sync":

                        async def batch(n: int) -> None:
                            pread(fd, CHUNK, state["off"])
                    else:

                        async def batch(n: int) -> None:
                            await asyncio.to_thread(pread, fd, CHUNK, state["off"])

                async def prepare() -> None:
                    state["i"] += 1
                    state["off"] = offsets[state["i"] % len(offsets)]
                    if f is not None:
                        await maybe_await(f.seek(state["off"]))
                    evict(fx.cold)
                    cached = is_cached(check_fd, state["off"], CHUNK)
                    notes["evictions_failed" if cached else "evictions_verified"] += 1

                yield Bench(batch, prepare=prepare, notes=notes)
        finally:
            os.close(check_fd)

    return factory


def _write64m(key: str, fx: Fixtures) -> ContestantFactory:
    target = fx.write_target(key)
    data = fx.payload

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        p = str(target)
        if key == VELNOR:
            wb = v.package("write_bytes")

            async def batch(n: int) -> None:
                await wb(p, data)
        elif key == VELNOR_RAW:
            wf = v.native("write_file")

            async def batch(n: int) -> None:
                await wf(p, data)
        elif key == "sync":

            async def batch(n: int) -> None:
                target.write_bytes(data)
        elif key == "to_thread":

            async def batch(n: int) -> None:
                await asyncio.to_thread(target.write_bytes, data)
        elif key == "aiofiles":
            aiofiles = aiofiles_mod()

            async def batch(n: int) -> None:
                async with aiofiles.open(p, "wb") as f:
                    await f.write(data)
        else:
            apath = anyio_mod().Path(p)

            async def batch(n: int) -> None:
                await apath.write_bytes(data)

        # A fresh file each time: rewriting with O_TRUNC would make ext4 start
        # writeback at close (auto_da_alloc), which is not what is measured here.
        def prepare() -> None:
            target.unlink(missing_ok=True)

        bench = Bench(batch, prepare=prepare)
        yield bench
        if target.stat().st_size != len(data):
            raise RuntimeError("the write left a file of the wrong size")
        target.unlink(missing_ok=True)

    return factory


WHAT = {
    "read4k": {
        VELNOR: "await f.read(4096), f = velnor.open(path, 'rb')",
        VELNOR_RAW: "await _velnor.read(handle, pos, 4096)",
        "sync": "os.pread(fd, 4096, pos)",
        "to_thread": "await asyncio.to_thread(os.pread, fd, 4096, pos)",
        "aiofiles": "await f.read(4096), f = await aiofiles.open(path, 'rb')",
        "anyio": "await f.read(4096), f = await anyio.open_file(path, 'rb')",
    },
    "concurrent64": {
        VELNOR: "gather of f.read(4096) on 64 velnor files",
        VELNOR_RAW: "gather of 64 _velnor.read(handle, pos, 4096)",
        "sync": "64 x os.pread in a row (no concurrency)",
        "to_thread": "gather of 64 asyncio.to_thread(os.pread, ...)",
        "aiofiles": "gather of f.read(4096) on 64 aiofiles files",
        "anyio": "gather of f.read(4096) on 64 anyio files",
    },
    "cold4k": {
        VELNOR: "await f.read(4096) after f.seek(pos) (velnor)",
        VELNOR_RAW: "await _velnor.read(handle, pos, 4096)",
        "sync": "os.pread(fd, 4096, pos)",
        "to_thread": "await asyncio.to_thread(os.pread, fd, 4096, pos)",
        "aiofiles": "await f.read(4096) after await f.seek(pos)",
        "anyio": "await f.read(4096) after await f.seek(pos)",
    },
    "write64m": {
        VELNOR: "await velnor.write_bytes(path, data)",
        VELNOR_RAW: "await _velnor.write_file(path, data)",
        "sync": "Path(path).write_bytes(data)",
        "to_thread": "await asyncio.to_thread(Path(path).write_bytes, data)",
        "aiofiles": "async with aiofiles.open(path, 'wb') as f: await f.write(data)",
        "anyio": "await anyio.Path(path).write_bytes(data)",
    },
}

KEYS = [VELNOR, VELNOR_RAW, *PEERS]


def scenarios(fx: Fixtures) -> list[Scenario]:
    out = [
        Scenario("read4k", "one 4 KiB cached read at a time", "latency", "calibrated", CHUNK,
                 [Contestant(k, WHAT["read4k"][k], _read4k(k, fx)) for k in KEYS]),
        Scenario("concurrent64", "64 concurrent 4 KiB cached reads", "throughput", "calibrated",
                 CHUNK, [Contestant(k, WHAT["concurrent64"][k], _concurrent64(k, fx)) for k in KEYS],
                 note="stdlib sync reads the 64 in a row on the loop thread"),
        Scenario("file4k", "whole 4 KiB file read by path (cached)", "latency", "calibrated",
                 CHUNK, [Contestant(k, READ_WHOLE[k][0], _check_whole(READ_WHOLE[k][1], str(fx.small)))
                         for k in KEYS]),
        Scenario("big256m", "whole 256 MiB cached file read by path", "bandwidth", "child",
                 os.path.getsize(fx.big),
                 [Contestant(k, READ_WHOLE[k][0], read_whole=READ_WHOLE[k][1]) for k in KEYS],
                 note="a fresh process per contestant and loop; memory = peak RSS increase"),
        Scenario("write64m", "64 MiB write to a new file (no fsync)", "bandwidth", "single",
                 len(fx.payload), [Contestant(k, WHAT["write64m"][k], _write64m(k, fx)) for k in KEYS]),
        Scenario("cold4k", "4 KiB read of an evicted file (not cached)", "latency", "single", CHUNK,
                 [Contestant(k, WHAT["cold4k"][k], _cold4k(k, fx)) for k in KEYS],
                 note="pages evicted with fsync + POSIX_FADV_DONTNEED before every sample; "
                      "stdlib sync blocks the event loop for the whole disk read"),
    ]
    assert SEQ_SIZE // CHUNK == MASK + 1
    return out
