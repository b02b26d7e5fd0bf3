"""The latency ladder: one rung per layer, from entering the extension to a user's read.

Neighbouring rungs differ by one layer, so their difference is that layer's cost:
probe_resolved_future - probe_ffi is an asyncio future, probe_nop - that is the
bridge round trip through the driver thread, read - probe_nop is the kernel read
on the driver, probe_inline_read is the same read without the thread hop, and
probe_pread_nowait / FastPath.read are the fast path without io_uring at all.
"""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import asynccontextmanager
from typing import Any

import _velnor

from adapters import BY_KEY, VELNOR, VELNOR_RAW, cycling, raw_fd
from fixtures import CHUNK, SEQ_SIZE, Fixtures
from harness import Bench, ContestantFactory

WALK = ([0], CHUNK, SEQ_SIZE // CHUNK)
"""Every read rung walks the cached 1 MiB file in 4 KiB steps and wraps."""


def _calls(fn: Callable[[], Any]) -> ContestantFactory:
    """A rung calling `fn()` on the loop thread, nothing awaited."""

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        async def batch(n: int) -> None:
            for _ in range(n):
                fn()

        yield Bench(batch)

    return factory


def _awaits(fn: Callable[[], Awaitable[Any]]) -> ContestantFactory:
    """A rung awaiting what `fn()` returns."""

    @asynccontextmanager
    async def factory() -> AsyncIterator[Bench]:
        async def batch(n: int) -> None:
            for _ in range(n):
                await fn()

        yield Bench(batch)

    return factory


def rungs(fx: Fixtures) -> list[tuple[str, str, ContestantFactory]]:
    """(name, what it measures, factory) in ladder order."""
    seq = str(fx.seq)

    def walk_of(key: str) -> ContestantFactory:
        @asynccontextmanager
        async def factory() -> AsyncIterator[Bench]:
            async with BY_KEY[key].reads(seq, 1) as reads:
                yield Bench(reads.walk(*WALK))

        return factory

    def fd_probe(name: str) -> ContestantFactory:
        probe = getattr(_velnor, name)

        @asynccontextmanager
        async def factory() -> AsyncIterator[Bench]:
            async with raw_fd(seq) as fd:

                async def batch(n: int) -> None:
                    for _ in range(n):
                        probe(fd, CHUNK)

                yield Bench(batch)

        return factory

    @asynccontextmanager
    async def fast_path() -> AsyncIterator[Bench]:
        async with raw_fd(seq) as fd:
            rd = _velnor.FastPath(fd).read
            if rd(0, CHUNK) is None:
                raise RuntimeError("FastPath.read answered None on a cached file")
            _, chunk, period = WALK
            at = cycling([j * chunk for j in range(period)])

            async def batch(n: int) -> None:
                for _ in range(n):
                    rd(at(), chunk)

            yield Bench(batch)

    return [
        ("probe_ffi", "enter the extension and return", _calls(_velnor.probe_ffi)),
        ("probe_resolved_future", "+ an asyncio future, resolved on the spot",
         _awaits(_velnor.probe_resolved_future)),
        ("probe_nop", "+ submit, driver thread, doorbell, drain; no kernel work",
         _awaits(_velnor.probe_nop)),
        ("read 4 KiB (driver)", "_velnor.read of a cached 4 KiB: + the io_uring read",
         walk_of(VELNOR_RAW)),
        ("probe_inline_read", "io_uring read on the calling thread, no hop",
         fd_probe("probe_inline_read")),
        ("probe_pread_nowait", "preadv2(RWF_NOWAIT) on the calling thread",
         fd_probe("probe_pread_nowait")),
        ("FastPath.read", "the per-file fast path, cached 4 KiB", fast_path),
        ("BinaryFile.read", "the package's file object, cached 4 KiB", walk_of(VELNOR)),
        ("os.pread (reference)", "the standard library's blocking read", walk_of("sync")),
    ]
