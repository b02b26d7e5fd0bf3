"""Awaiting the extension's futures so that a cancelled await never leaves
kernel work behind it: the shared road of `BinaryFile` and the whole-file
helpers."""

from __future__ import annotations

import asyncio
import time
from collections.abc import Callable, Coroutine
from typing import Any, TypeVar

import _velnor

from ._errors import std_error
from .futures import KernelFuture

T = TypeVar("T")

PARALLEL_MIN = 4 * 1024 * 1024
"""Ranges at least this long are read as parallel chunks; shorter ones in one read."""

INLINE_COPY_MAX = 2 * 1024 * 1024
"""The most the fast path copies on the loop thread in one go: about half a
millisecond even on a slow copy, where a whole large file would keep the loop
from everything else for a hundred."""

INLINE_STEP = 512 * 1024
"""The most a whole-file read copies on the loop thread between two looks
at whether the loop is due a turn. Copied into fresh memory, a step's page
faults can cost more than the copy: several steps of a large file in one
go would keep the loop from other tasks for milliseconds."""

PARALLEL_CHUNK = 1024 * 1024
"""Bytes per chunk of a parallel read: large enough that a chunk's round trip
is dwarfed by its copy, small enough that several chunks run at once. The
threads that copy the chunks give way to a woken loop thread only between
two system calls where the kernel does not preempt (a file cached in 2 MiB
folios is copied a whole chunk at a time), so a chunk is also about the
longest the loop's thread waits for a CPU they all hold: about half a
millisecond of copying into fresh memory on a virtual machine (2 and 4 MiB
chunks kept the loop waiting 2 to 4 ms in some reads; 512 KiB ones were 5%
slower, a round trip for every 512 KiB)."""

ARRIVAL_WAIT = 300e-6
"""How long a read whose miss started the disk read looks for its data
itself, between the loop's other tasks, before it goes to the driver: about
what the trip to a sleeping driver thread and back costs on a virtual
machine, which the wait saves whenever the disk is as quick."""

ARRIVAL_MAX = 128 * 1024
"""The longest read that waits so: the kernel starts reading at least what a
missed read asked for, up to its usual readahead, so a longer one would wait
for pages nobody started to read."""


async def await_arrival(fast: _velnor.FastPath, pos: int, n: int) -> bytes | None:
    """`fast.read(pos, n)` once the disk read its miss started has brought
    the data in; None, after about `ARRIVAL_WAIT`, if it has not. Each look
    comes after the loop's next turn: other tasks run meanwhile."""
    until = time.perf_counter() + ARRIVAL_WAIT
    while True:
        await asyncio.sleep(0)
        data = fast.read(pos, n)
        if data is not None:
            return data
        if time.perf_counter() >= until:
            return None


async def wait_settled(fut: asyncio.Future[Any]) -> None:
    """Wait until `fut` is done, even when the waiting task is cancelled again
    meanwhile; the caller re-raises the cancellation it is already handling."""
    while not fut.done():
        try:
            await asyncio.wait((fut,))
        except asyncio.CancelledError:
            pass


_RUNNING_ON: set[asyncio.Future[Any]] = set()


async def run_to_end(work: Coroutine[Any, Any, T]) -> T:
    """`await work`, which runs to its end even when the awaiting task is
    cancelled meanwhile: the cancellation is raised once the work is done
    (the work's own error instead, where it failed). A second cancellation
    ends the wait, never the work, which then finishes on its own."""
    task = asyncio.ensure_future(work)
    try:
        return await asyncio.shield(task)
    except asyncio.CancelledError:
        if task.done():
            raise
        _RUNNING_ON.add(task)
        task.add_done_callback(_ran_to_end)
        await asyncio.shield(task)  # its error, or this task's second cancellation
        raise


def _ran_to_end(task: asyncio.Future[Any]) -> None:
    _RUNNING_ON.discard(task)
    if not task.cancelled():
        task.exception()  # retrieved: whoever waited has it, or gave up waiting


async def await_kernel(
    fut: KernelFuture,
    abandoned: Callable[[Any], None] | None = None,
    on_cancel: Callable[[], None] | None = None,
) -> Any:
    """The result of `fut`, with cancellation that waits for the kernel.

    A cancelled task resumes only once the future has settled, so no buffer
    lent to the operation is touched after this returns or raises: the
    future's own ``cancel()`` asks the driver to stop and defers the
    cancellation until the kernel has answered. A result the kernel produced
    anyway goes to `abandoned` (to close a handle nobody will receive, or to
    account for a write that happened), then the cancellation propagates.

    `on_cancel` replaces that request by the caller's own, for work that
    goes on beyond the future's operations (see `read_bytes`); the future is
    then shielded from the task's cancellation.
    """
    try:
        if on_cancel is None:
            return await fut
        return await asyncio.shield(fut)
    except OSError as error:
        # Worded as the standard library words it, for every caller.
        raise std_error(error) from None
    except asyncio.CancelledError:
        if not fut.done():
            if on_cancel is None:
                fut.request_abort()
            else:
                on_cancel()
            await wait_settled(fut)
        if not fut.cancelled() and fut.exception() is None and abandoned is not None:
            abandoned(fut.result())
        raise


async def read_range(handle: int, pos: int, length: int) -> bytes:
    """`length` bytes at `pos` (fewer only at end of file), in parallel
    chunks when the range is long."""
    if length >= PARALLEL_MIN:
        fut = _velnor.read_parallel(handle, pos, length, PARALLEL_CHUNK)
    else:
        fut = _velnor.read(handle, pos, length)
    data: bytes = await await_kernel(fut)
    return data


READ_ON_FIRST = 64 * 1024
"""First piece read past a size that turned out to understate the file."""


async def read_on(handle: int, pos: int, limit: int) -> bytes:
    """Up to `limit` bytes at `pos`, for a file longer than its size said:
    read in growing pieces, so that a file that does end there costs one
    small read rather than an allocation of `limit` bytes."""
    parts: list[bytes] = []
    got = 0
    piece = READ_ON_FIRST
    while got < limit:
        want = min(piece, limit - got)
        data: bytes = await await_kernel(_velnor.read(handle, pos + got, want))
        if not data:
            break
        parts.append(data)
        got += len(data)
        if len(data) < want:
            break
        piece = min(piece * 2, PARALLEL_CHUNK)
    return b"".join(parts)


async def read_to_end(handle: int, pos: int, size: int) -> bytes:
    """Everything from `pos` to end of file, `size` being a recent snapshot
    of the file's length that decides whether to read in parallel."""
    remaining = size - pos
    if remaining < PARALLEL_MIN:
        rest: bytes = await await_kernel(_velnor.read_to_end(handle, pos))
        return rest
    head = await read_range(handle, pos, remaining)
    if len(head) < remaining:
        return head
    # The file may have grown since the snapshot; read() means "to the end".
    tail: bytes = await await_kernel(_velnor.read_to_end(handle, pos + remaining))
    return head + tail if tail else head


def _consume(fut: asyncio.Future[Any]) -> None:
    if not fut.cancelled():
        fut.exception()


def close_soon(handle: int) -> None:
    """Close a handle without waiting; for handles whose owner is gone.

    The close is never cancelled: a close cancelled before the driver ran it
    would leave the descriptor open for good.
    """
    _velnor.close(handle).add_done_callback(_consume)


async def close_handle(handle: int) -> None:
    """Close a handle and wait for it; cancelling the wait does not stop the close."""
    try:
        await asyncio.shield(_velnor.close(handle))
    except OSError as error:
        raise std_error(error) from None
