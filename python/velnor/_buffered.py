"""`BufferedFile`: the buffered binary file that ``velnor.open(p, "rb")`` returns."""

from __future__ import annotations

import asyncio
from asyncio import get_running_loop
import io
import operator
import os
import sys
from collections.abc import AsyncIterator, Buffer, Iterable
from types import TracebackType
from typing import Any, Final

from _velnor import split_lines

from ._buffers import byte_view, writable_view
from ._answers import FALSE, TRUE, AwaitableBool, AwaitableInt, answer
from ._lines import LINES_MAX, SPLIT_MAX, SplitLines, collect_lines
from ._files import BinaryFile, limit_arg
from ._kernel import INLINE_COPY_MAX, run_to_end
from ._pace import give_turn, read_here, turn_due
from ._repr import file_repr
from ._errors import public_traceback

DEFAULT_BUFFER_SIZE = io.DEFAULT_BUFFER_SIZE

# The built-in writes data of a whole buffer or more straight through from
# 3.13 on; before, only data larger than a buffer.
_DIRECT_EXTRA: Final = 0 if sys.version_info >= (3, 13) else 1
ITER_FILL: Final = 64 * 1024
"""Bytes read at a time while lines are iterated, so that each refill
gives many lines to split at once."""


class _FileLock(asyncio.Lock):
    """The buffered file's lock, used with ``async with``, which counts the
    tasks holding it or waiting for it. What may skip the lock looks at that
    count, not at `locked()`: between a release and the turn of the task it
    wakes, the lock is free but that task is still ahead of anything asked
    later."""

    users = 0  # made an instance attribute at the first use

    if asyncio.Lock().__dict__ == {"_waiters": None, "_locked": False}:
        # A file makes one at every open: its state starts as these class
        # defaults, which the lock's own code replaces as it did the
        # instance's (checked above against this Python's lock).
        _waiters = None
        _locked = False

        def __init__(self) -> None:
            pass

    async def __aenter__(self) -> None:
        self.users += 1
        try:
            await self.acquire()
        except BaseException:
            self.users -= 1
            raise

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        self.users -= 1
        self.release()


def _size_arg(size: int | None) -> int:
    n = limit_arg(size)
    if n < -1:
        raise ValueError("read length must be non-negative or -1")
    return n


class BufferedFile(SplitLines[bytes]):
    """A binary file with a buffer in front of its `BinaryFile`, as the
    built-in ``open`` returns for ``"rb"``, ``"wb"``, ``"r+b"`` and the rest.

    Behaves as ``io.BufferedReader``, ``io.BufferedWriter`` and
    ``io.BufferedRandom`` do, with every method that may touch the file a
    coroutine: small reads and line reads are served from the buffer, which
    is refilled first from the page cache on the calling thread and through
    the driver thread only on a miss; writes collect in the buffer until it
    is full, `flush`, `seek`, `truncate`, `close` or the end of an
    ``async with`` block. `tell` is synchronous, as the buffer knows the
    position. ``async for line in f`` reads lines ending in ``b"\\n"``.

    Operations that wait for the file hold a lock of the file, so tasks
    sharing it see whole operations in turn.
    """

    __slots__ = ("_raw", "_buffer_size", "_rbuf", "_rpos", "_wbuf", "_lock", "__weakref__")

    def __init__(self, raw: BinaryFile, buffer_size: int = DEFAULT_BUFFER_SIZE) -> None:
        try:
            if buffer_size <= 0:
                raise ValueError("buffer size must be strictly positive")
            self._raw = raw
            raw._shown_as("BufferedFile", raw.mode)
            self._buffer_size = buffer_size
            # Read-ahead: `_rbuf[_rpos:]` lies just before the raw position. At
            # most one of it and the write buffer holds data at any time.
            self._rbuf = b""
            self._rpos = 0
            self._wbuf = bytearray()
            self._lock = _FileLock()
            self._no_lines()  # lines split from the read buffer for iteration
        except Exception as error:
            public_traceback(error)
            raise

    # -- state -------------------------------------------------------------

    @property
    def raw(self) -> BinaryFile:
        """The unbuffered file underneath."""
        return self._raw

    @property
    def name(self) -> str | bytes | int:
        """The path (or descriptor) the file was opened with."""
        return self._raw.name

    @property
    def mode(self) -> str:
        """The mode as the standard library's binary files report it (``"rb"``, ``"rb+"``...)."""
        return self._raw.mode

    @property
    def closed(self) -> bool:
        """Whether `close` has been called."""
        return self._raw.closed

    def fileno(self) -> int:
        """The file's descriptor."""
        try:
            self._check_open_plain()
            return self._raw.fileno()
        except Exception as error:
            public_traceback(error)
            raise

    def readable(self) -> AwaitableBool:
        """Whether the mode allows reading."""
        # As the built-in's writer, a write-only file says no even once
        # closed; only a file that reads asks its (closed) raw file.
        try:
            if not self._reads():
                return FALSE
            self._check_open_plain()
            return TRUE
        except Exception as error:
            public_traceback(error)
            raise

    def writable(self) -> AwaitableBool:
        """Whether the mode allows writing."""
        try:
            if not self._writes():
                return FALSE  # the built-in's reader, even once closed
            self._check_open_plain()
            return TRUE
        except Exception as error:
            public_traceback(error)
            raise

    def seekable(self) -> AwaitableBool:
        """Whether the file supports positioning."""
        try:
            self._check_open_plain()
            return self._raw.seekable()
        except Exception as error:
            public_traceback(error)
            raise

    def isatty(self) -> AwaitableBool:
        """Whether the file is a terminal."""
        try:
            self._check_open_plain()
            return answer(os.isatty(self._raw.fileno()))
        except Exception as error:
            public_traceback(error)
            raise

    def tell(self) -> AwaitableInt:
        """The position: the raw file's, less what is read ahead, plus what
        waits to be written."""
        try:
            self._check_open_plain()
            pos = self._raw.tell() - (len(self._rbuf) - self._rpos) + len(self._wbuf)
            return AwaitableInt(max(pos, 0))
        except Exception as error:
            public_traceback(error)
            raise

    def _tell_flushed(self) -> int:
        """The position once what waits is written out: in append mode the
        kernel writes it at the end of the file, wherever the position was."""
        if self._wbuf and "a" in self._raw.mode:
            return os.fstat(self._raw.fileno()).st_size + len(self._wbuf)
        return self.tell()

    def __repr__(self) -> str:
        return file_repr("BufferedFile", self.closed, self.name, self.mode)

    # -- reading -----------------------------------------------------------

    async def read(self, size: int | None = -1) -> bytes:
        """Up to `size` bytes, or everything to the end of the file when
        `size` is -1 or None; fewer only at end of file."""
        try:
            raw = self._raw
            fast = raw._fast  # None once closed, and for what has no fast path
            if (fast is not None and size.__class__ is int
                    and (size == -1 or self._buffer_size <= size <= INLINE_COPY_MAX)
                    and self._rpos == len(self._rbuf) and self._lines is None and not self._wbuf
                    and not raw._users and not self._lock.users and raw._mode.readable):
                # Nothing buffered and nobody else at the file: the one read that
                # the checks below would end in, served at once from the page
                # cache (or, on a miss, by the raw file as it always is), as the
                # raw file's own read serves it.
                pos = raw._pos
                if size != -1:
                    data = read_here(fast, pos, size, raw._loop)
                    if data is not None and data is not False:
                        raw._pos = pos + len(data)
                        return data
                    if data is None:
                        return await self._read_missed(size, pos)
                elif get_running_loop() is raw._loop and not turn_due():
                    data = raw._read_all_on_the_spot(fast, pos)
                    if data is not None:
                        raw._pos = pos + len(data)
                        return data
                    return await self._read_missed(size, pos)
            if not self._reads():
                # As the built-in's writer: whatever integer `size` is.
                operator.index(-1 if size is None else size)
                raise io.UnsupportedOperation("read")
            n = _size_arg(size)
            self._check_reading("read of closed file")
            if turn_due():
                # Before the buffer is touched: a cancellation here loses nothing.
                await give_turn()
                self._check_reading("read of closed file")
            rbuf, rpos = self._rbuf, self._rpos
            if not self._lock.users:
                if 0 <= n <= len(rbuf) - rpos:
                    self._rpos = rpos + n
                    return rbuf[rpos:rpos + n]
                if (n == -1 or n >= self._buffer_size) and rpos == len(rbuf) and not self._wbuf:
                    # Nothing buffered either way: one read straight from the
                    # file, the lock held (see _read_missed).
                    async with self._lock:
                        return await self._raw.read(n)
            async with self._lock:
                await self._prepare_read()
                # What came into the buffer while this read waited may be more
                # than it asked for.
                parts = [self._take(n)]
                try:
                    if n == -1:
                        parts.append(await self._raw.read(-1))
                        return b"".join(parts)
                    missing = n - len(parts[0])
                    while missing > 0:
                        if missing >= self._buffer_size:
                            chunk = await self._raw.read(missing)
                            parts.append(chunk)
                        else:
                            await self._fill()
                            chunk = self._take(missing)
                            parts.append(chunk)
                        if not chunk:
                            break
                        missing -= len(chunk)
                except BaseException as stop:
                    if not isinstance(stop, Exception):  # errors lose it, as the built-in's do
                        self._give_back(b"".join(parts))
                    raise
                return b"".join(parts)
        except Exception as error:
            public_traceback(error)
            raise

    async def _read_missed(self, n: int, missed_at: int) -> bytes:
        """The read the page cache could not serve at `missed_at` (where
        the raw file does not try it again), the long way. The lock is held
        meanwhile, free as it was found: whatever is asked for later (a
        seek, a truncate, another read) waits for the position it leaves."""
        async with self._lock:
            return await self._raw._read_missed(n, missed_at)

    async def readall(self) -> bytes:
        """Everything from the position to the end of the file."""
        try:
            return await self.read(-1)
        except Exception as error:
            public_traceback(error)
            raise

    async def read1(self, size: int | None = -1) -> bytes:
        """Up to `size` bytes (default: the buffer's size) with at most one
        read of the file: what is buffered if anything is, else one raw read."""
        try:
            if not self._reads():
                operator.index(-1 if size is None else size)
                raise io.UnsupportedOperation("read1")
            n = limit_arg(size)
            self._check_reading("read of closed file", "read1")
            if n < 0:
                n = self._buffer_size
            if n == 0:
                return b""
            if self._rpos < len(self._rbuf) and not self._lock.users:
                return self._take(n)
            async with self._lock:
                await self._prepare_read()
                if self._rpos < len(self._rbuf):
                    return self._take(n)
                self._drop_buffer()
                return await self._raw.read(n)
        except Exception as error:
            public_traceback(error)
            raise

    async def peek(self, size: int = 0) -> bytes:
        """The buffered bytes at the position, without moving it; reads the
        file once if nothing is buffered. May return more or fewer than `size`."""
        try:
            operator.index(size)
            self._check_reading("peek of closed file", "peek")
            async with self._lock:
                await self._prepare_read()
                if self._rpos == len(self._rbuf):
                    await self._fill()
                return self._rbuf[self._rpos:]
        except Exception as error:
            public_traceback(error)
            raise

    async def readinto(self, buffer: Buffer) -> int:
        """Fill `buffer` from the position; fewer bytes only at end of file."""
        try:
            return await self._readinto(buffer, once=False)
        except Exception as error:
            public_traceback(error)
            raise

    async def readinto1(self, buffer: Buffer) -> int:
        """Fill `buffer` with at most one read of the file."""
        try:
            return await self._readinto(buffer, once=True)
        except Exception as error:
            public_traceback(error)
            raise

    async def _readinto(self, buffer: Buffer, *, once: bool) -> int:
        view = writable_view(buffer)
        self._check_reading("readinto of closed file", "read1" if once else "read")
        async with self._lock:
            await self._prepare_read()
            total = view.nbytes
            head = self._take(total)
            view[:len(head)] = head
            done = len(head)
            try:
                while done < total and not (once and done):
                    missing = total - done
                    if missing >= self._buffer_size:
                        got = await self._raw.readinto(view[done:])
                    else:
                        await self._fill()
                        chunk = self._take(missing)
                        got = len(chunk)
                        view[done:done + got] = chunk
                    if got == 0:
                        break
                    done += got
                    if once:
                        break
            except BaseException as stop:
                if not isinstance(stop, Exception):  # errors lose it, as the built-in's do
                    self._give_back(bytes(view[:done]))
                raise
            return done

    async def readline(self, size: int | None = -1) -> bytes:
        """One line, up to and including ``b"\\n"``, of at most `size` bytes
        when `size` is not negative; ``b""`` at end of file."""
        try:
            limit = limit_arg(size)
            if limit == 0 and not self._reads():
                # The built-in's writer reads nothing for an empty line, not even
                # to refuse, closed or not.
                return b""
            self._check_reading("readline of closed file")
            line = self._buffered_line(limit)
            if line is not None:
                return line
            return await self._readline(limit)
        except Exception as error:
            public_traceback(error)
            raise

    def _buffered_line(self, limit: int) -> bytes | None:
        # A whole line already in the buffer needs no lock and no await.
        if self._lock.users:
            return None
        rbuf, rpos = self._rbuf, self._rpos
        end = len(rbuf) if limit < 0 else min(len(rbuf), rpos + limit)
        i = rbuf.find(b"\n", rpos, end)
        if i < 0:
            if limit >= 0 and end - rpos == limit:
                self._rpos = end
                return rbuf[rpos:end]
            return None
        self._rpos = i + 1
        return rbuf[rpos:i + 1]

    async def _readline(self, limit: int, fill: int = 0) -> bytes:
        async with self._lock:
            await self._prepare_read()
            parts: list[bytes] = []
            taken = 0
            try:
                while limit < 0 or taken < limit:
                    rbuf, rpos = self._rbuf, self._rpos
                    end = len(rbuf) if limit < 0 else min(len(rbuf), rpos + limit - taken)
                    i = rbuf.find(b"\n", rpos, end)
                    stop = end if i < 0 else i + 1
                    parts.append(rbuf[rpos:stop])
                    taken += stop - rpos
                    self._rpos = stop
                    if i >= 0:
                        break
                    if (limit < 0 or taken < limit) and not await self._fill(fill):
                        break
                    if (pace := self._paced()).due():  # a long line, refilled from the page cache
                        await pace.pause()
            except BaseException as stop:
                if not isinstance(stop, Exception):  # errors lose it, as the built-in's do
                    self._give_back(b"".join(parts))
                raise
            return b"".join(parts)

    async def readlines(self, hint: int | None = -1) -> list[bytes]:
        """The lines up to end of file, or while their total size stays
        within `hint` when it is positive (the line that crosses it included)."""
        try:
            limit = limit_arg(hint)
            self._check_open("I/O operation on closed file.")  # before it looks at the mode
            self._check_reading("I/O operation on closed file.")
            return await collect_lines(self.readline, limit)
        except Exception as error:
            public_traceback(error)
            raise

    def __aiter__(self) -> AsyncIterator[bytes]:
        self._check_open("I/O operation on closed file.")
        self._check_reading("I/O operation on closed file.")
        return self._iterate()

    async def _next_line(self) -> bytes:
        self._check_reading("readline of closed file")
        self._drop_lines()
        # Lines served from the page cache never suspend, and the loop must
        # still get to run other tasks.
        if (pace := self._paced()).due():
            await pace.pause()
        if not self._lock.users:
            # The complete lines of the buffer's next stretch at once.
            rpos = self._rpos
            lines, end = split_lines(self._rbuf, rpos, rpos + SPLIT_MAX, LINES_MAX)
            if lines:
                return self._start_lines(lines, rpos, end)
        return await self._readline(-1, ITER_FILL)

    def _drop_lines(self) -> None:
        """Fold the lines iteration handed out back into the buffer's
        position; every other operation starts with this."""
        offset = self._take_back_lines()
        if offset is not None:
            self._rpos = offset

    def _take(self, n: int) -> bytes:
        """Up to `n` buffered bytes (all of them when `n` is -1), consumed."""
        rbuf, rpos = self._rbuf, self._rpos
        end = len(rbuf) if n < 0 else min(len(rbuf), rpos + n)
        self._rpos = end
        return rbuf[rpos:end]

    async def _fill(self, size: int = 0) -> bool:
        """Replace the drained buffer by one read of the file (of the
        buffer's size, or `size` if larger); False at end of file."""
        data = await self._raw.read(max(size, self._buffer_size))
        self._rbuf = data
        self._rpos = 0
        return bool(data)

    def _give_back(self, taken: bytes) -> None:
        """Put bytes taken by a read that was cancelled (or interrupted)
        while it waited for more back in front of the buffer: the next read
        returns them. They lie just before what is buffered, and that just
        before the raw position, so the order holds."""
        if taken:
            self._rbuf = taken + self._rbuf[self._rpos:]
            self._rpos = 0

    def _drop_buffer(self) -> None:
        self._rbuf = b""
        self._rpos = 0

    async def _prepare_read(self) -> None:
        if self._wbuf:
            await self._flush_writes()

    # -- writing -----------------------------------------------------------

    async def write(self, data: Buffer) -> int:
        """Buffer `data` (any contiguous bytes-like object) for writing at
        the position, writing the buffer out when it is full; returns its length."""
        try:
            self._check_writable("write")
            self._check_open("write to closed file")
            source = byte_view(data)
            if turn_due():
                await give_turn()
                self._check_open("write to closed file")
            n = len(source)
            # Data this large goes straight from the caller's memory.
            direct = self._buffer_size + _DIRECT_EXTRA
            if self._rpos == len(self._rbuf) and not self._lock.users \
                    and len(self._wbuf) + n <= self._buffer_size and n < direct:
                self._rbuf, self._rpos = b"", 0
                self._wbuf += source
                return n
            async with self._lock:
                await self._unread()
                if len(self._wbuf) + n <= self._buffer_size and n < direct:
                    self._wbuf += source
                    return n
                # As the built-in: what does not fit is written out with the
                # buffer before it; large data follows at once (in append mode
                # that moves the position to the end), the rest waits.
                await self._flush_writes()
                if n >= direct:
                    await self._raw.write(source)
                else:
                    self._wbuf += source
                return n
        except Exception as error:
            public_traceback(error)
            raise

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        """Write every bytes-like object of `lines`, in order."""
        try:
            self._check_open("I/O operation on closed file.")
            for line in lines:
                await self.write(line)
        except Exception as error:
            public_traceback(error)
            raise

    async def flush(self) -> None:
        """Write out the buffered writes."""
        try:
            self._check_open("flush of closed file" if self._writes()
                             else "I/O operation on closed file.")
            async with self._lock:
                await self._flush_writes()
        except Exception as error:
            public_traceback(error)
            raise

    async def _flush_writes(self) -> None:
        if not self._wbuf:
            return
        # The kernel reads the buffer until the write completes: hand it over
        # and start a new one rather than let later writes change it.
        pending, self._wbuf = self._wbuf, bytearray()
        taken = [0]
        try:
            await self._raw._write(pending, taken)
        except BaseException:
            # Written already, as far as the caller knows: what the kernel did
            # not take (the write failed, or a cancelled task stopped it) goes
            # out with the next write-out, ahead of what came since, as the
            # built-in keeps it. A positional write that stopped part way
            # took some of it at the same place, where writing it again puts
            # the same bytes; on a stream that would repeat them, so there it
            # is dropped as before.
            if taken[0] < len(pending) and self._raw._seekable:
                self._wbuf[:0] = pending[taken[0]:]
            raise

    async def _unread(self) -> None:
        """Move the raw position back over what was read ahead but not used,
        so that a write lands where the reader stopped."""
        ahead = len(self._rbuf) - self._rpos
        self._drop_buffer()
        if ahead:
            await self._raw.seek(-ahead, os.SEEK_CUR)

    async def truncate(self, size: int | None = None) -> int:
        """Write out the buffer, then resize the file to `size` bytes
        (default: the position); the position is unchanged."""
        try:
            target = None if size is None else operator.index(size)
            self._check_open("truncate of closed file")
            self._check_writable("truncate")
            async with self._lock:
                await self._flush_writes()
                await self._unread()
                if target is None:
                    target = self._raw.tell()
                return await self._raw.truncate(target)
        except Exception as error:
            public_traceback(error)
            raise

    async def sync(self, data_only: bool = False) -> None:
        """Write out the buffer, then make the file durable (see `BinaryFile.sync`)."""
        try:
            await self.flush()
            await self._raw.sync(data_only)
        except Exception as error:
            public_traceback(error)
            raise

    # -- positioning -------------------------------------------------------

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Move the position as ``io.BufferedRandom.seek`` does; a move that
        stays inside the read buffer keeps the buffer."""
        try:
            offset = operator.index(offset)
            whence = operator.index(whence)
            if whence not in (os.SEEK_SET, os.SEEK_CUR, os.SEEK_END):
                raise ValueError(f"whence value {whence} unsupported")
            self._check_open("seek of closed file")
            if not self._raw.seekable():
                raise io.UnsupportedOperation("File or stream is not seekable.")
            if whence != os.SEEK_END and not self._wbuf and not self._lock.users:
                moved = self._seek_in_buffer(offset, whence)
                if moved is not None:
                    return moved
            async with self._lock:
                await self._flush_writes()
                # After a wait too: a move inside what the task ahead left in the
                # buffer keeps it, as it would have had this seek not waited.
                if whence != os.SEEK_END:
                    moved = self._seek_in_buffer(offset, whence)
                    if moved is not None:
                        return moved
                if whence == os.SEEK_CUR:
                    offset -= len(self._rbuf) - self._rpos
                # A refused move raises here and keeps the buffer, and so the position.
                position = await self._raw.seek(offset, whence)
                self._drop_buffer()
                return position
        except Exception as error:
            public_traceback(error)
            raise

    def _seek_in_buffer(self, offset: int, whence: int) -> int | None:
        """The position after a move (``SEEK_SET`` or ``SEEK_CUR``) that stays
        inside the read buffer, made there; None for any other move, and
        while an operation of the raw file underneath is in flight (it moves
        the raw position when it ends)."""
        raw = self._raw
        if raw._users:
            return None
        raw_pos = raw.tell()
        start = raw_pos - len(self._rbuf)
        target = offset if whence == os.SEEK_SET else start + self._rpos + offset
        if start <= target <= raw_pos:
            self._rpos = target - start
            return target
        return None

    # -- closing -----------------------------------------------------------

    async def aclose(self) -> None:
        """`close`, by the name anyio's and trio's files give it."""
        await self.close()

    async def close(self) -> None:
        """Write out the buffer and close the file; closing twice is harmless.
        The file is closed even when the last write fails, whose error is raised."""
        try:
            raw = self._raw
            if raw.closed:
                return
            if self._lines is not None:
                self._drop_lines()
            if self._wbuf or self._lock.users:
                # Nothing interrupts the built-in's close: a cancelled one that
                # dropped the buffer would lose what the caller was told was
                # written. The write-out and the close finish first.
                await run_to_end(self._write_out_and_close())
            else:
                await self._write_out_and_close()
        except Exception as error:
            public_traceback(error)
            raise

    async def _write_out_and_close(self) -> None:
        raw = self._raw
        try:
            if self._wbuf or self._lock.users:
                async with self._lock:
                    await self._flush_writes()
        finally:
            self._drop_buffer()
            if raw.closed or not raw._close_unseen():
                await raw.close()
            elif turn_due():
                await give_turn()

    def _close_here(self) -> bool:
        """`close` done right here when it has nothing to wait for: nothing
        to write out, nobody else at the file, a descriptor the driver never
        saw, and the loop's turn not due. False, with nothing done, otherwise."""
        raw = self._raw
        if raw._closed:
            return True
        if (self._wbuf or self._lock.users or self._lines is not None or raw._handle is not None
                or raw._adopting is not None or turn_due()):
            return False
        self._drop_buffer()
        return raw._close_unseen()

    async def __aenter__(self) -> BufferedFile:
        return self

    def __del__(self, _write: Any = os.write, _pwrite: Any = os.pwrite) -> None:
        # A file dropped without close writes out what it holds, as the
        # built-in's buffered writer does; its raw file then closes, with
        # its warning. On the spot: nothing can be awaited here, and it is a
        # buffer's worth at most. Nothing is in flight on a file nobody
        # holds any more. (The functions are bound at the definition: at the
        # interpreter's exit the module's names may be gone first.)
        raw: BinaryFile | None = getattr(self, "_raw", None)
        pending: bytearray | None = getattr(self, "_wbuf", None)
        if not pending or raw is None or getattr(raw, "_closed", True):
            return
        view = memoryview(pending)
        try:
            while view:
                if raw._mode.append:
                    n = _write(raw._fd, view)  # the descriptor appends, as the driver's writes
                else:
                    n = _pwrite(raw._fd, view, raw._pos)
                    raw._pos += n
                if n <= 0:
                    break
                view = view[n:]
        except OSError:
            pass  # as the built-in's, lost with the error; nothing can be raised here

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        try:
            await self.close()
        except Exception as error:
            public_traceback(error)
            raise

    # -- checks ------------------------------------------------------------

    def _check_open(self, message: str) -> None:
        if self._lines is not None:
            self._drop_lines()
        if self._raw.closed:
            raise ValueError(message)

    def _check_open_plain(self) -> None:
        self._check_open("I/O operation on closed file")

    def _check_reading(self, message: str, what: str = "read") -> None:
        # The built-in's writer refuses to read before it looks whether it is closed.
        if not self._reads():
            raise io.UnsupportedOperation(what)
        self._check_open(message)

    def _check_writable(self, what: str) -> None:
        if not self._writes():
            raise io.UnsupportedOperation(what)

    def _reads(self) -> bool:
        mode = self._raw.mode  # known even once closed
        return "r" in mode or "+" in mode

    def _writes(self) -> bool:
        return self._raw.mode != "rb"

