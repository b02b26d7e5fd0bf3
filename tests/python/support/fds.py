"""Descriptor counts that can be compared across loops, closes and runs."""

from __future__ import annotations

import asyncio
import gc
import os
import time

import _velnor
import uvloop


def fd_count() -> int:
    """Descriptors this process has open right now."""
    return len(os.listdir("/proc/self/fd"))


def uring_fds() -> int:
    """Descriptors of this process that are io_uring instances."""
    count = 0
    for name in os.listdir("/proc/self/fd"):
        try:
            count += os.readlink(f"/proc/self/fd/{name}") == "anon_inode:[io_uring]"
        except FileNotFoundError:
            pass  # closed while we looked
    return count


async def sweep_bridges() -> None:
    """One submission from a fresh loop: building its bridge drops the bridges
    of loops that have closed, so descriptor counts become comparable."""
    await _velnor.probe_nop()


def _warm_process_wide_descriptors() -> None:
    # This thread's kernel-probe ring lives as long as the thread; made once
    # here, it is in every count rather than in the first test that probes.
    fd = os.open("/proc/self/stat", os.O_RDONLY)
    try:
        _velnor.probe_inline_read(fd, 1)
    except OSError:
        pass  # no io_uring here, so no ring either
    finally:
        os.close(fd)


def settled_fd_count() -> int:
    """The descriptor count once the driver has finished what was handed to
    it: a round trip on a fresh loop of each kind sweeps the bridges (and
    doorbell pipes) of loops that have closed, so two counts taken this way
    differ only by descriptors somebody still holds. uvloop keeps a pipe of
    its own from its first loop on, and this thread's probe ring stays too;
    both exist before the first count."""
    _warm_process_wide_descriptors()
    uvloop.run(sweep_bridges())
    asyncio.run(sweep_bridges())
    gc.collect()
    return fd_count()


def assert_no_fd_leak(before: int, rounds: int = 200) -> None:
    """Fails unless the settled count comes back to `before`. Closes handed
    to the driver without waiting may still be on their way, so the count
    is taken a bounded number of times."""
    after = settled_fd_count()
    for _ in range(rounds):
        if after == before:
            return
        after = settled_fd_count()
    assert after == before, f"descriptors: {before} before, {after} after"


def wait_for_fd_count(expected: int, seconds: float = 1.0) -> None:
    """Fails unless the count, polled from a thread with no loop running,
    comes back to `expected` within `seconds` (closes run on the driver)."""
    end = time.monotonic() + seconds
    while fd_count() != expected and time.monotonic() < end:
        time.sleep(0.005)
    assert fd_count() == expected, f"descriptors: {expected} expected, {fd_count()} now"


async def fd_count_returns_to(expected: int, seconds: float = 1.0) -> None:
    """`wait_for_fd_count` from inside a running loop, which keeps running."""
    end = time.monotonic() + seconds
    while fd_count() != expected and time.monotonic() < end:
        await asyncio.sleep(0.005)
    assert fd_count() == expected, f"descriptors: {expected} expected, {fd_count()} now"
