"""Whole-file helpers: `read_bytes`, `write_bytes`, `read_text`, `write_text`."""

from __future__ import annotations

import asyncio
import io
import os
from collections.abc import Buffer

import _velnor

from ._buffers import byte_view
from .futures import KernelFuture
from ._kernel import (INLINE_COPY_MAX, INLINE_STEP, PARALLEL_MIN, await_kernel, close_handle,
                      close_soon, read_to_end, wait_settled)
from ._pace import give_turn, turn_due
from ._paths import StrOrBytesPath, fs_path, with_filename
from ._errors import public_traceback

INLINE_MAX = PARALLEL_MIN
"""Files up to this size come back from the driver in one read; larger ones
are left open for a parallel fill."""


class _LargeFileFill:
    """The `on_handle` of one `read_bytes`: fills a file that the driver left
    open because it is large, then closes it and settles the future, in
    every outcome (success, failure, cancellation)."""

    __slots__ = ("aborted", "task")

    def __init__(self) -> None:
        self.aborted = False
        self.task: asyncio.Task[None] | None = None

    def on_handle(self, fut: KernelFuture, handle: int, fd: int) -> None:
        # Called by the drain on the loop thread. From here on the handle
        # belongs to the task; a task cancelled before its first step never
        # runs its body, so its done-callback closes the handle instead.
        try:
            task = fut.get_loop().create_task(self._fill(fut, handle, fd))
        except BaseException:
            close_soon(handle)
            raise
        task.add_done_callback(lambda done: self._unstarted(done, fut, handle))
        self.task = task

    def abort(self, fut: KernelFuture) -> None:
        """Stop the read: the driver's part if it is still running, the fill
        if it has started, or the fill before it starts."""
        self.aborted = True
        fut.request_abort()
        if self.task is not None:
            self.task.cancel()

    @staticmethod
    def _unstarted(task: asyncio.Task[None], fut: KernelFuture, handle: int) -> None:
        if task.cancelled():
            close_soon(handle)
            if not fut.done():
                fut.settle_cancelled()

    async def _fill(self, fut: KernelFuture, handle: int, fd: int) -> None:
        data: bytes | None = None
        error: BaseException | None = None
        try:
            if self.aborted:
                raise asyncio.CancelledError
            data = await read_to_end(handle, 0, os.fstat(fd).st_size)
        except BaseException as exc:  # every outcome must settle the future
            error = exc
        closing = _velnor.close(handle)
        # Not even a second cancellation may skip the close or the settling.
        await wait_settled(closing)
        if error is None and not closing.cancelled():
            error = closing.exception()
        if fut.done():
            return
        if isinstance(error, asyncio.CancelledError):
            fut.settle_cancelled()
        elif error is not None:
            fut.set_exception(error)
        else:
            fut.set_result(data)


async def read_bytes(path: StrOrBytesPath) -> bytes:
    """The whole content of the file at `path`, like ``Path.read_bytes``.

    A file whose pages are all cached is read at once on the calling
    thread, without blocking; any other is read by the driver thread, a
    large one as parallel chunks.
    """
    try:
        text, name = fs_path(path)
        if turn_due():
            await give_turn()  # before the read: a cancellation here loses nothing
        found = _velnor.try_read_file_max(text, INLINE_STEP)
        if type(found) is bytes:
            return found
        if found is not None:
            assert isinstance(found, int)
            data = await _read_in_steps(found)
            if data is not None:
                return data
            # Too large to copy on the loop thread, or not all cached: the
            # driver reads it (in parallel chunks) from the descriptor already open.
            return await _read_large(found)
        fill = _LargeFileFill()
        fut = _velnor.read_file(text, INLINE_MAX, fill.on_handle)
        try:
            result: bytes = await await_kernel(fut, on_cancel=lambda: fill.abort(fut))
        except OSError as error:
            raise with_filename(error, name) from None
        return result
    except Exception as error:
        public_traceback(error)
        raise


async def _read_in_steps(fd: int) -> bytes | None:
    """The whole file `fd` (open here, at its start), copied from the page
    cache on the loop thread a step at a time, with the loop's turns
    between steps; None, with `fd` still open, when it is larger than
    `INLINE_COPY_MAX` or a step missed. Cancelled, `fd` is closed."""
    try:
        size = os.fstat(fd).st_size
        if size > INLINE_COPY_MAX:
            return None
        steps = _velnor.StepRead(fd, 0, size)
        while (done := steps.step(INLINE_STEP)) is False:
            if turn_due():
                await give_turn()
        if done is None:
            return None
        data: bytes = steps.take()
    except BaseException:
        os.close(fd)
        raise
    os.close(fd)
    return data


async def _read_large(fd: int) -> bytes:
    try:
        adopting = _velnor.adopt(fd)
    except BaseException:
        os.close(fd)
        raise
    try:
        opened = await asyncio.shield(adopting)
    except asyncio.CancelledError:
        # The hand-over is never withdrawn: close what it hands over before
        # the cancellation reaches the caller.
        await wait_settled(adopting)
        if not adopting.cancelled() and adopting.exception() is None:
            await close_handle(adopting.result()[0])
        else:
            os.close(fd)
        raise
    except Exception:
        os.close(fd)  # the hand-over never ran: the descriptor is still ours
        raise
    handle: int = opened[0]
    try:
        return await read_to_end(handle, 0, os.fstat(fd).st_size)
    finally:
        await close_handle(handle)


async def write_bytes(path: StrOrBytesPath, data: Buffer) -> int:
    """Create or truncate the file at `path` and write `data` (any contiguous
    bytes-like object) into it, like ``Path.write_bytes``; returns the byte count."""
    try:
        source = byte_view(data)
        text, name = fs_path(path)
        try:
            written: int = await await_kernel(_velnor.write_file(text, source))
        except OSError as error:
            raise with_filename(error, name) from None
        return written
    except Exception as error:
        public_traceback(error)
        raise


async def read_text(path: StrOrBytesPath, encoding: str | None = "utf-8",
                    errors: str | None = "strict") -> str:
    """The file at `path` decoded as text, like ``Path.read_text``: universal
    newlines (``\\r\\n`` and ``\\r`` become ``\\n``); ``encoding=None`` means
    the locale's encoding."""
    try:
        data = await read_bytes(path)
        with io.TextIOWrapper(io.BytesIO(data), encoding=encoding, errors=errors) as decoder:
            return decoder.read()
    except Exception as error:
        public_traceback(error)
        raise


async def write_text(path: StrOrBytesPath, data: str, encoding: str | None = "utf-8",
                     errors: str | None = "strict", newline: str | None = None) -> int:
    """Encode `data` and write it to the file at `path`, like
    ``Path.write_text``: ``newline=None`` writes ``\\n`` as ``os.linesep``,
    any other value as for ``open()``. Returns the number of characters."""
    try:
        if not isinstance(data, str):
            raise TypeError(f"data must be str, not {type(data).__name__}")
        buffer = io.BytesIO()
        with io.TextIOWrapper(buffer, encoding=encoding, errors=errors, newline=newline) as encoder:
            encoder.write(data)
            encoder.flush()
            encoded = buffer.getvalue()
        await write_bytes(path, encoded)
        return len(data)
    except Exception as error:
        public_traceback(error)
        raise
