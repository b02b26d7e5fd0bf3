"""Descriptor counts that can be compared across loops, closes and runs."""

from __future__ import annotations

import asyncio
import gc
import os
import time
import weakref

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
    # Closes handed to the driver by earlier work may still be on their way:
    # the count is settled when two rounds agree. Rounds run no file
    # operation, so they cannot hide a leak.
    count = -1
    for _ in range(8):
        uvloop.run(sweep_bridges())
        # The last sweep's own loop is collected with its bridge: a count
        # never depends on whether some closed loop happens to be collected.
        loop = asyncio.new_event_loop()
        loop.run_until_complete(sweep_bridges())
        loop.close()
        gone = weakref.ref(loop)
        del loop
        while gone() is not None and gc.collect():
            pass
        # A bridge whose last reference went on the driver thread waits on
        # the pending-release list for the next call into the extension.
        _velnor.backend_name()
        count, previous = fd_count(), count
        if count == previous:
            break
    return count


def assert_no_fd_leak(before: int, rounds: int = 200) -> None:
    """Fails unless the settled count comes back to `before` (or below it:
    the doorbell of an earlier test's loop, which uvloop never frees, may be
    swept meanwhile; only growth is a leak). Closes handed to the driver
    without waiting may still be on their way, so the count is taken a
    bounded number of times."""
    after = settled_fd_count()
    for _ in range(rounds):
        if after <= before:
            return
        after = settled_fd_count()
    assert after <= before, f"descriptors: {before} before, {after} after"


async def fd_count_returns_to(expected: int, seconds: float = 1.0) -> None:
    """Fails unless the count comes back to `expected` within `seconds`,
    polled from inside a running loop, which keeps running (closes run on
    the driver meanwhile)."""
    end = time.monotonic() + seconds
    while fd_count() != expected and time.monotonic() < end:
        await asyncio.sleep(0.005)
    assert fd_count() == expected, f"descriptors: {expected} expected, {fd_count()} now"
