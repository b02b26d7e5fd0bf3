"""Helpers of the package's file tests: descriptor counts, cold files on a
real disk, and waiting for a loop to reach a given point."""

from __future__ import annotations

import asyncio
import os
import shutil
import tempfile
from collections.abc import Callable, Iterator
from pathlib import Path

import _velnor
import pytest
import uvloop


def open_fds() -> int:
    return len(os.listdir("/proc/self/fd"))


def settled_fd_count() -> int:
    """The process's descriptor count once the driver has finished what was
    handed to it: a round trip on a fresh loop also sweeps the bridges (and
    doorbell pipes) of loops that have closed, so two counts taken this way
    differ only by descriptors somebody still holds. uvloop keeps a pipe of
    its own from its first loop on, so the round trip runs on it too."""

    async def round_trip() -> None:
        await _velnor.probe_nop()

    uvloop.run(round_trip())
    asyncio.run(round_trip())
    return open_fds()


def assert_no_fd_leak(before: int) -> None:
    """Fails unless the descriptor count comes back to `before`. Closes
    handed to the driver without waiting may still be on their way, so the
    count is taken a bounded number of times."""
    after = settled_fd_count()
    for _ in range(200):
        if after == before:
            return
        after = settled_fd_count()
    assert after == before, f"descriptors: {before} before, {after} after"


@pytest.fixture
def disk_dir() -> Iterator[Path]:
    """A directory on a real disk, where a file's cached pages can be dropped
    (tmpfs pages cannot, and pytest's tmp_path may live on tmpfs)."""
    path = Path(tempfile.mkdtemp(prefix="velnor-files-", dir="/var/tmp"))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def evict(path: Path, required: bool = True) -> None:
    """Drop the file's pages from the page cache, so the fast path misses
    and reads go to the driver. Where that cannot be done (a filesystem that
    keeps its pages) a test that `required` it is skipped; holes read as
    zeros without storage, so a file starting with one is never required."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        if required and os.fstat(fd).st_size and _velnor.FastPath(fd).read(0, 1) is not None:
            pytest.skip("this filesystem keeps pages that were asked to go")
    finally:
        os.close(fd)


def pattern(size: int, seed: int = 0) -> bytes:
    """`size` bytes in which every 4-byte word differs from its neighbours,
    so a chunk landing at the wrong offset shows."""
    words = (size + 3) // 4
    return b"".join(((i * 2654435761 + seed) & 0xFFFFFFFF).to_bytes(4, "little")
                    for i in range(words))[:size]


async def wait_for_state(predicate: Callable[[], bool], rounds: int = 20_000) -> None:
    """Let the loop run until `predicate()` holds (fails after `rounds` polls)."""
    for _ in range(rounds):
        if predicate():
            return
        await asyncio.sleep(0.001)
    raise AssertionError("the awaited state never came")
