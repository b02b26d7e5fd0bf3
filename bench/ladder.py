"""The latency ladder: one rung per layer, from entering the extension to a user's read.

Neighbouring rungs differ by one layer, so their difference is that layer's cost:
probe_resolved_future - probe_ffi is an asyncio future, probe_nop - that is the
bridge round trip through the driver thread, read - probe_nop is the kernel read
on the driver, probe_inline_read is the same read without the thread hop, and
probe_pread_nowait / FastPath.read are the fast path without io_uring at all.
"""

from __future__ import annotations

import os
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import AbstractAsyncContextManager, asynccontextmanager
from typing import Any

import velnor_api as v
from fixtures import CHUNK, SEQ_SIZE, Fixtures
from harness import Bench, ContestantFactory

POSITIONS = [i * CHUNK for i in range(SEQ_SIZE // CHUNK)]
MASK = len(POSITIONS) - 1  # a power of two: the walk wraps with a mask


async def maybe_await(x: Any) -> Any:
    return await x if hasattr(x, "__await__") else x


def sequential_reads(f: Any) -> Callable[[int], Awaitable[None]]:
    """A batch of CHUNK-sized reads walking a file object from the start,
    rewinding every MASK + 1 reads so the walk stays on cached data."""
    rd = f.read
    i = 0

    async def batch(n: int) -> None:
        nonlocal i
        for _ in range(n):
            if i & MASK == 0:
                await maybe_await(f.seek(0))
            await rd(CHUNK)
            i += 1

    return batch


@asynccontextmanager
async def _fd(fx: Fixtures) -> AsyncIterator[int]:
    fd = os.open(fx.seq, os.O_RDONLY)
    try:
        yield fd
    finally:
        os.close(fd)


def rungs(fx: Fixtures) -> list[tuple[str, str, ContestantFactory]]:
    """(name, what it measures, factory) in ladder order."""

    @asynccontextmanager
    async def ffi() -> AsyncIterator[Bench]:
        f = v.native("probe_ffi")

        async def batch(n: int) -> None:
            for _ in range(n):
                f()

        yield Bench(batch)

    @asynccontextmanager
    async def resolved_future() -> AsyncIterator[Bench]:
        f = v.native("probe_resolved_future")

        async def batch(n: int) -> None:
            for _ in range(n):
                await f()

        yield Bench(batch)

    @asynccontextmanager
    async def nop() -> AsyncIterator[Bench]:
        f = v.native("probe_nop")

        async def batch(n: int) -> None:
            for _ in range(n):
                await f()

        yield Bench(batch)

    @asynccontextmanager
    async def read() -> AsyncIterator[Bench]:
        rd = v.native("read")
        async with v.open_handle(str(fx.seq)) as (h, _size, _fd):
            i = 0

            async def batch(n: int) -> None:
                nonlocal i
                for _ in range(n):
                    await rd(h, POSITIONS[i & MASK], CHUNK)
                    i += 1

            yield Bench(batch)

    def fd_probe(name: str) -> Callable[[], AbstractAsyncContextManager[Bench]]:
        @asynccontextmanager
        async def probe() -> AsyncIterator[Bench]:
            f = v.native(name)
            async with _fd(fx) as fd:

                async def batch(n: int) -> None:
                    for _ in range(n):
                        f(fd, CHUNK)

                yield Bench(batch)

        return probe

    inline_read = fd_probe("probe_inline_read")
    pread_nowait = fd_probe("probe_pread_nowait")

    @asynccontextmanager
    async def fast_path() -> AsyncIterator[Bench]:
        cls = v.native("FastPath")
        async with _fd(fx) as fd:
            fp = cls(fd)
            rd = fp.read
            if rd(0, CHUNK) is None:
                raise RuntimeError("FastPath.read answered None on a cached file")
            i = 0

            async def batch(n: int) -> None:
                nonlocal i
                for _ in range(n):
                    rd(POSITIONS[i & MASK], CHUNK)
                    i += 1

            yield Bench(batch)

    @asynccontextmanager
    async def binary_file() -> AsyncIterator[Bench]:
        async with v.open_binary(str(fx.seq), "rb") as f:
            yield Bench(sequential_reads(f))

    @asynccontextmanager
    async def os_pread() -> AsyncIterator[Bench]:
        async with _fd(fx) as fd:
            pread = os.pread
            i = 0

            async def batch(n: int) -> None:
                nonlocal i
                for _ in range(n):
                    pread(fd, CHUNK, POSITIONS[i & MASK])
                    i += 1

            yield Bench(batch)

    return [
        ("probe_ffi", "enter the extension and return", ffi),
        ("probe_resolved_future", "+ an asyncio future, resolved on the spot", resolved_future),
        ("probe_nop", "+ submit, driver thread, doorbell, drain; no kernel work", nop),
        ("read 4 KiB (driver)", "_velnor.read of a cached 4 KiB: + the io_uring read", read),
        ("probe_inline_read", "io_uring read on the calling thread, no hop", inline_read),
        ("probe_pread_nowait", "preadv2(RWF_NOWAIT) on the calling thread", pread_nowait),
        ("FastPath.read", "the per-file fast path, cached 4 KiB", fast_path),
        ("BinaryFile.read", "the package's file object, cached 4 KiB", binary_file),
        ("os.pread (reference)", "the standard library's blocking read", os_pread),
    ]
