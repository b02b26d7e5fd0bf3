"""Files in the states the tests need: out of the page cache, full of
self-checking data, or FIFOs the test feeds."""

from __future__ import annotations

import asyncio
import os
import threading
import time
from collections.abc import Callable
from pathlib import Path

import _velnor
import pytest


def evict(path: Path | str, required: bool = True) -> None:
    """Drop the file's pages from the page cache, so the fast path misses
    and reads go to the driver. Where that cannot be done (a filesystem that
    keeps its pages) a test that `required` it is skipped; holes read as
    zeros without storage, so a file starting with one is never required.
    The check costs a no-wait read, which may start readahead: a test that
    looks at the cache right after evicting turns `required` off."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        # A page still under writeback or read ahead at the moment of the
        # drop stays; asking again a few times tells that from a filesystem
        # that never lets its pages go.
        for _ in range(5):
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
            if not required or not os.fstat(fd).st_size or _velnor.FastPath(fd).read(0, 1) is None:
                return
            time.sleep(0.001)
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


def write_fifo(path: Path | str, data: bytes) -> None:
    """Writes to a FIFO whose reader is already open, without waiting."""
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


class FifoFeeder:
    """Keeps a FIFO supplied from a thread so that every read on it completes
    eventually."""

    def __init__(self, path: Path | str) -> None:
        self.fd = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._feed, daemon=True)
        self.thread.start()

    def _feed(self) -> None:
        chunk = bytes(range(256)) * 4
        while not self.stop.is_set():
            try:
                os.write(self.fd, chunk)
            except BlockingIOError:
                time.sleep(0.001)

    def close(self) -> None:
        self.stop.set()
        self.thread.join()
        os.close(self.fd)
