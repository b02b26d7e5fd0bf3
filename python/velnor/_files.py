"""`BinaryFile`, the unbuffered file that ``velnor.open(p, "rb", buffering=0)`` returns."""

from __future__ import annotations

import asyncio
from asyncio import get_running_loop
import errno
import io
import operator
import os
import stat
import warnings
from collections.abc import Buffer, Iterable
from types import TracebackType
from typing import Any, Final

import _velnor

from ._answers import AwaitableBool, AwaitableInt, answer
from ._buffers import byte_view, writable_view
from ._kernel import (ARRIVAL_MAX, INLINE_COPY_MAX, PARALLEL_MIN, await_arrival, await_kernel,
                      close_handle, close_soon, read_on, read_range, read_to_end)
from ._lines import collect_lines
from ._pace import give_turn, read_here, turn_due
from ._modes import OpenMode
from .futures import KernelFuture
from ._paths import with_filename
from ._repr import file_repr
from ._errors import public_traceback

_S_IFMT: Final = 0o170000  # stat.S_IFMT is a function; the mask is fixed by POSIX

LINE_CHUNK: Final = 8192
"""Bytes an unbuffered `readline` reads at a time while looking for the line's end."""

MAX_OFFSET: Final = 2**63 - 1
"""The largest file position the kernel accepts (a signed 64-bit offset)."""


def limit_arg(size: int | None) -> int:
    """A size or limit argument that may be None (-1), refused as the
    built-in files refuse it."""
    if size is None:
        return -1
    try:
        return operator.index(size)
    except TypeError:
        raise TypeError(f"argument should be integer or None, not '{type(size).__name__}'") \
            from None


def _offset(value: Any, what: str) -> int:
    offset = operator.index(value)
    if offset < 0:
        raise ValueError(f"negative {what}: {offset}")
    if offset > MAX_OFFSET:
        raise OverflowError(f"{what} out of range: {offset}")
    return offset


class BinaryFile:
    """An open binary file whose I/O never blocks the event loop.

    Returned by `velnor.open`; not meant to be instantiated directly. The
    file keeps its own position: `read`, `readinto` and `write` use and
    advance it, `seek` and `tell` set and report it, and every read or write
    is a positional kernel operation at it. In append mode writes go to the
    end of the file and the position follows, as with the standard library.

    Concurrency: operations that use or change the position (`read`,
    `readinto`, `write`, `seek`, `truncate`) are serialised by a lock of the
    file, so tasks sharing one file see them in a well-defined order;
    `pread` and `pwrite` do not take it and may overlap anything. A file
    belongs to the event loop that opened it: every operation but `close`
    raises `RuntimeError` on any other loop.

    Reads first ask the file's fast path, which serves data already in the
    page cache on the calling thread without ever blocking; anything else
    goes to the driver thread.

    Cancelling a task that awaits an operation asks the kernel to stop it and
    resumes the task once the kernel is done with the operation's buffers; a
    read cancelled this way leaves the position unchanged, and a write that
    the kernel finished anyway advances it.
    """

    __slots__ = ("_handle", "_adopting", "_adopt_waiters", "_fd", "_name", "_mode", "_loop", "_lock", "_users",
                 "_pos", "_closed", "_fast", "_fast_probed", "_seekable", "_regular",
                 "_blksize", "_size_hint", "_shown", "_unread")

    # No constructor of its own, so help() shows only what users call: the
    # package's openers build files through _create. A BinaryFile() made by
    # hand has no descriptor and behaves as a closed file.
    @classmethod
    def _create(cls, *, handle: int | None, fd: int, size: int, name: str | bytes | int,
                mode: OpenMode, loop: asyncio.AbstractEventLoop, st_mode: int,
                pos: int | None = None, blksize: int = 0) -> BinaryFile:
        self = cls()
        self._setup(handle, fd, size, name, mode, loop, st_mode, pos, blksize)
        return self

    def _setup(self, handle: int | None, fd: int, size: int, name: str | bytes | int,
               mode: OpenMode, loop: asyncio.AbstractEventLoop, st_mode: int,
               pos: int | None, blksize: int = 0) -> None:
        # The st_blksize the open already learnt (0: not known), which sizes a buffer.
        self._blksize = blksize
        # The size an open on the spot learnt, for the first read to the end
        # (-1: none): it spares that read an fstat. It is only a guess: the
        # read confirms the end is there, or does without it.
        self._size_hint = -1
        self._fast: _velnor.FastPath | None = _velnor.FastPath(fd)
        self._fast_probed = False
        # None while the descriptor was opened here and no driver operation
        # has needed it yet; `_adopting` is the hand-over once one did.
        self._handle = handle
        self._adopting: KernelFuture | None = None
        self._adopt_waiters = 0
        self._shown: tuple[str, str, str | None] | None = None
        # What a stream's read took from the kernel after its task was
        # cancelled: gone from the stream, so the next read returns it first.
        self._unread = b""
        self._fd = fd
        self._name = name
        self._mode = mode
        self._loop = loop
        self._lock: asyncio.Lock | None = None  # made on first contention
        self._users = 0  # tasks holding or waiting for the lock
        self._pos = pos if pos is not None else size if mode.append else 0
        kind = st_mode & _S_IFMT
        self._seekable = kind != stat.S_IFIFO and kind != stat.S_IFSOCK and (
            kind != stat.S_IFCHR or _lseeks(fd))
        # Only a regular file's size says where its data ends.
        self._regular = kind == stat.S_IFREG
        self._closed = False  # last: __del__ closes only what was fully opened

    # -- state -------------------------------------------------------------

    @property
    def name(self) -> str | bytes | int:
        """The path the file was opened with, as ``str`` (or ``bytes`` if given
        so), or the descriptor it was opened from."""
        return self._name

    @property
    def mode(self) -> str:
        """The mode as the standard library reports it: ``"rb"``, ``"rb+"``
        (for ``r+`` and ``w+``), ``"wb"``, ``"ab"``, ``"ab+"``, ``"xb"``, ``"xb+"``."""
        return self._mode.text

    @property
    def closed(self) -> bool:
        """Whether `close` has been called."""
        return getattr(self, "_closed", True)

    def fileno(self) -> int:
        """The file's descriptor, valid until `close`; velnor owns it, do not close it."""
        try:
            self._check_open()
            return self._fd
        except Exception as error:
            public_traceback(error)
            raise

    def readable(self) -> AwaitableBool:
        """Whether the mode allows reading."""
        try:
            self._check_open()
            return answer(self._mode.readable)
        except Exception as error:
            public_traceback(error)
            raise

    def writable(self) -> AwaitableBool:
        """Whether the mode allows writing."""
        try:
            self._check_open()
            return answer(self._mode.writable)
        except Exception as error:
            public_traceback(error)
            raise

    def seekable(self) -> AwaitableBool:
        """Whether the file supports positioning (false for pipes and sockets)."""
        try:
            self._check_open()
            return answer(self._seekable)
        except Exception as error:
            public_traceback(error)
            raise

    def isatty(self) -> AwaitableBool:
        """Whether the file is a terminal."""
        try:
            self._check_open()
            # A regular file never is: no system call for the common case.
            return answer(not self._regular and os.isatty(self._fd))
        except Exception as error:
            public_traceback(error)
            raise

    def tell(self) -> AwaitableInt:
        """The current position."""
        try:
            self._check_open()
            if not self._seekable:
                raise _illegal_seek()
            return AwaitableInt(self._pos)
        except Exception as error:
            public_traceback(error)
            raise

    def __repr__(self) -> str:
        if not hasattr(self, "_name"):
            return "<velnor.BinaryFile [closed]>"
        return file_repr("BinaryFile", self.closed, self._name, self.mode)

    def _shown_as(self, kind: str, mode: str, encoding: str | None = None) -> None:
        """Name the file in warnings and errors as the object wrapped over it,
        which is what the user holds."""
        self._shown = (kind, mode, encoding)

    def _users_repr(self) -> str:
        if self._shown is None:
            return repr(self)
        kind, mode, encoding = self._shown
        return file_repr(kind, self.closed, self._name, mode, encoding)

    # -- reading -----------------------------------------------------------

    async def read(self, size: int | None = -1) -> bytes:
        """Up to `size` bytes from the position, or everything to the end of
        the file when `size` is -1 or None; fewer only at end of file."""
        try:
            fast = self._fast
            if (fast is not None and size.__class__ is int and 0 < size <= INLINE_COPY_MAX and not self._users
                    and self._mode.readable):
                # The commonest read, which every check below would let through.
                # Nobody holds or waits for the lock, and a read served at once
                # from the page cache cannot interleave with anything: no lock.
                # Written out here and in the buffered file's read, not shared:
                # a call would add a twentieth to the package's most frequent
                # operation.
                pos = self._pos
                data = read_here(fast, pos, size, self._loop)
                if data is not None and data is not False:
                    self._pos = pos + len(data)
                    return data
                if data is None:
                    return await self._read_missed(size, pos)
                # Another loop, or a turn due: the general way sorts both out.
            n = limit_arg(size)
            if n < -1:
                raise ValueError("read length must be non-negative or -1")
            self._check_usable(reading=True)
            if turn_due():
                # Before the read, so that a cancellation here loses no data.
                await give_turn()
                self._check_usable(reading=True)
            fast = self._fast
            if self._users or fast is None or not (n == -1 or 0 < n <= INLINE_COPY_MAX):
                return await self._read_missed(n, -1)
            pos = self._pos
            data = fast.read(pos, n) if n != -1 else self._read_all_on_the_spot(fast, pos)
            if data is not None:
                self._pos = pos + len(data)
                return data
            return await self._read_missed(n, pos)
        except Exception as error:
            public_traceback(error)
            raise

    async def _read_missed(self, n: int, missed_at: int) -> bytes:
        """`read(n)` the long way: under the lock, and through the driver
        when the page cache cannot serve it. `missed_at` is where the fast
        path has just missed (-1 if it was not tried), which it is not asked
        again while the position is still there."""
        if missed_at >= 0:
            self._fast_missed()
        await self._acquire()
        try:
            self._check_open()
            # Taking a free lock does not yield: a miss just now still holds.
            retry = missed_at < 0 or missed_at != self._pos
            pos = self._pos
            data = await (self._read_all(pos, retry) if n == -1 else self._read_at(pos, n, retry))
            self._pos = pos + len(data)
            return data
        finally:
            self._release()

    def _read_all_on_the_spot(self, fast: _velnor.FastPath, pos: int) -> bytes | None:
        """Everything from `pos` to the end when the page cache holds it and
        it is short enough to copy here; None otherwise."""
        hint = self._size_hint
        if hint < 0:
            return fast.read_all_max(pos, INLINE_COPY_MAX)
        self._size_hint = -1
        data = fast.read_all_max(pos, INLINE_COPY_MAX, hint)
        if data is None:  # the file changed since the open, or is not all cached
            data = fast.read_all_max(pos, INLINE_COPY_MAX)
        return data

    async def readall(self) -> bytes:
        """Everything from the position to the end of the file."""
        try:
            return await self.read(-1)
        except Exception as error:
            public_traceback(error)
            raise

    async def readline(self, size: int | None = -1) -> bytes:
        """One line, up to and including ``b"\\n"``, of at most `size` bytes
        when `size` is not negative; ``b""`` at end of file. The position
        ends right after the line: a seekable file is read a chunk at a time
        from the position, anything else a byte at a time."""
        try:
            limit = limit_arg(size)
            if limit == 0 and not self._mode.readable:
                # The built-in's files read nothing for an empty line, not even
                # to refuse, closed or not.
                return b""
            self._check_usable(reading=True)
            if turn_due():
                await give_turn()
            await self._acquire()
            try:
                self._check_open()
                pos = self._pos
                chunk = LINE_CHUNK if self._seekable else 1
                parts: list[bytes] = []
                taken = 0
                while limit < 0 or taken < limit:
                    want = chunk if limit < 0 else min(chunk, limit - taken)
                    data = await self._read_at(pos + taken, want)
                    if not data:
                        break
                    end = data.find(b"\n") + 1
                    if end:
                        data = data[:end]
                    parts.append(data)
                    taken += len(data)
                    if end:
                        break
                    if turn_due():  # a long line, read from the page cache
                        await give_turn()
                self._pos = pos + taken
                return b"".join(parts)
            finally:
                self._release()
        except Exception as error:
            public_traceback(error)
            raise

    async def readlines(self, hint: int | None = -1) -> list[bytes]:
        """The lines up to end of file, or while their total size stays
        within `hint` when it is positive (the line that crosses it included)."""
        try:
            limit = limit_arg(hint)
            self._check_usable(reading=True)
            return await collect_lines(self.readline, limit)
        except Exception as error:
            public_traceback(error)
            raise

    def __aiter__(self) -> BinaryFile:
        self._check_open()
        return self

    async def __anext__(self) -> bytes:
        try:
            line = await self.readline()
            if not line:
                raise StopAsyncIteration
            return line
        except Exception as error:
            public_traceback(error)
            raise

    async def readinto(self, buffer: Buffer) -> int:
        """Fill `buffer` (any writable, contiguous buffer) from the position;
        returns the byte count, less than the buffer's size only at end of file."""
        try:
            view = writable_view(buffer)
            self._check_usable(reading=True)
            if turn_due():
                await give_turn()
            await self._acquire()
            try:
                self._check_open()
                pos = self._pos
                if view.nbytes == 0:
                    return 0
                fast = self._fast
                n = (fast.readinto(pos, view)
                     if fast is not None and view.nbytes <= INLINE_COPY_MAX else None)
                if n is None and not self._regular:
                    n = await self._readinto_stream(view)
                elif n is None:
                    self._fast_missed()
                    handle = await self._driver_handle()
                    n = await await_kernel(_velnor.readinto(handle, pos, view))
                self._pos = pos + n
                return n
            finally:
                self._release()
        except Exception as error:
            public_traceback(error)
            raise

    async def pread(self, size: int, offset: int) -> bytes:
        """Up to `size` bytes at `offset`, without using or moving the position."""
        try:
            n = operator.index(size)
            if n < 0:
                raise ValueError(f"negative size: {n}")
            pos = _offset(offset, "offset")
            self._check_usable(reading=True)
            if turn_due():
                await give_turn()
                self._check_usable(reading=True)
            return await self._read_at(pos, n)
        except Exception as error:
            public_traceback(error)
            raise

    async def _read_at(self, pos: int, n: int, try_fast: bool = True) -> bytes:
        if n == 0:
            return b""
        if n >= PARALLEL_MIN and self._regular:
            # Never allocate for more than the file holds: read(2**40) on a
            # small file must not ask for a terabyte. But a size is only a
            # hint: /proc and /sys files report 0 or 4096 whatever they hold.
            size = min(n, max(await self._current_size() - pos, 0))
            head = await self._read_known(pos, size, try_fast) if size else b""
            if len(head) < size or size == n:
                return head
            handle = await self._driver_handle()
            return head + await read_on(handle, pos + len(head), n - len(head))
        return await self._read_known(pos, n, try_fast)

    async def _read_known(self, pos: int, n: int, try_fast: bool) -> bytes:
        # `n` bytes at most, where `n` is no guess of the file's size.
        fast = self._fast
        if fast is not None and n <= INLINE_COPY_MAX:
            if try_fast:
                data = fast.read(pos, n)
                if data is not None:
                    return data
                self._fast_missed()
            # The miss (just now, or the caller's) may have started the disk
            # read: then the data comes sooner than a sleeping driver would.
            if n <= ARRIVAL_MAX and self._regular and _velnor.miss_in_flight():
                data = await self._await_arrival(pos, n)
                if data is not None:
                    return data
        if not self._regular:
            return await self._read_stream(n)
        return await read_range(await self._driver_handle(), pos, n)

    async def _read_stream(self, n: int) -> bytes:
        """One read of a stream, which gives what the kernel has, as the
        built-in's does; never in parallel chunks, which would interleave
        its data. A read cancelled after the kernel took bytes from the
        stream leaves them for the next read: they are gone from the stream."""
        unread = self._unread
        if unread:
            self._unread = unread[n:]
            return unread[:n]
        handle = await self._driver_handle()
        streamed: bytes = await await_kernel(_velnor.read(handle, 0, n), self._keep_unread)
        return streamed

    def _keep_unread(self, data: bytes) -> None:
        self._unread += data

    async def _readinto_stream(self, view: memoryview) -> int:
        unread = self._unread
        if unread:
            n = min(len(unread), view.nbytes)
            view[:n] = unread[:n]
            self._unread = unread[n:]
            return n
        handle = await self._driver_handle()
        got: int = await await_kernel(_velnor.readinto(handle, 0, view),
                                      lambda taken: self._keep_unread(bytes(view[:taken])))
        return got

    async def _await_arrival(self, pos: int, n: int) -> bytes | None:
        """`await_arrival` through a descriptor of its own: a close while it
        waits closes the file's descriptor at once when the driver never saw
        it, and by the next look that number may be another file's."""
        own = os.dup(self._fd)
        try:
            data = await await_arrival(_velnor.FastPath(own), pos, n)
        finally:
            os.close(own)
        if data is None:
            # Closed meanwhile, and the data did not come in time: the
            # descriptor the driver would read from is gone.
            self._check_open()
        return data

    async def _read_all(self, pos: int, try_fast: bool = True) -> bytes:
        fast = self._fast
        if fast is not None and try_fast:
            data = self._read_all_on_the_spot(fast, pos)
            if data is not None:
                return data
            self._fast_missed()
        if not self._regular:
            return await self._read_stream_to_end()
        size = await self._current_size()
        if self._handle is None and self._adopting is None and self._regular and size - pos < PARALLEL_MIN:
            # A file the driver never saw: it reads this one through a
            # duplicate descriptor, in one trip, and the file can still be
            # closed right here.
            whole: bytes = await await_kernel(_velnor.read_owned_to_end(self._fd, pos))
            return whole
        return await read_to_end(await self._driver_handle(), pos, size)

    async def _read_stream_to_end(self) -> bytes:
        head, self._unread = self._unread, b""
        try:
            rest: bytes = await await_kernel(_velnor.read_to_end(await self._driver_handle(), 0),
                                             self._keep_unread)
        except BaseException:
            self._unread = head + self._unread
            raise
        return head + rest

    async def _current_size(self) -> int:
        fast = self._fast
        if fast is not None:
            size = fast.size()
            if size is not None:
                return size
        result: int = await await_kernel(_velnor.size(await self._driver_handle()))
        return result

    async def _driver_handle(self) -> int:
        """The file's driver handle, handing the descriptor over on first need."""
        handle = self._handle
        if handle is not None:
            return handle
        adopting = self._adopting
        if adopting is None:
            adopting = self._adopting = _velnor.adopt(self._fd)
            adopting.add_done_callback(self._adopted)
        # Shielded: the hand-over is never withdrawn, whoever gives up waiting.
        # Counted: a close waits until every waiter has submitted its operation.
        self._adopt_waiters += 1
        try:
            opened = await asyncio.shield(adopting)
        finally:
            self._adopt_waiters -= 1
        handle = opened[0]
        assert isinstance(handle, int)
        return handle

    def _adopted(self, adopting: KernelFuture) -> None:
        if not adopting.cancelled() and adopting.exception() is None:
            self._handle = adopting.result()[0]

    # -- the lock ----------------------------------------------------------

    async def _acquire(self) -> None:
        self._users += 1
        lock = self._lock
        if lock is None:
            lock = self._lock = asyncio.Lock()
        try:
            await lock.acquire()
        except BaseException:
            self._users -= 1
            raise

    def _release(self) -> None:
        self._users -= 1
        assert self._lock is not None
        self._lock.release()

    def _fast_missed(self) -> None:
        # A file that can never take the fast path pays one probe, not one per read.
        if not self._fast_probed and self._fast is not None:
            self._fast_probed = True
            if not self._fast.supported():
                self._fast = None

    # -- writing -----------------------------------------------------------

    async def write(self, data: Buffer) -> int:
        """Write all of `data` (any contiguous bytes-like object) at the
        position, or at the end of the file in append mode; returns its length."""
        try:
            return await self._write(byte_view(data))
        except Exception as error:
            public_traceback(error)
            raise

    async def _write(self, source: bytes | bytearray | memoryview, taken: list[int] | None = None) -> int:
        """`write`; ``taken[0]`` is set to the count the kernel reports, even
        when the task was cancelled after the kernel wrote anyway (it stays
        as it was when the kernel reported nothing)."""
        self._check_usable(writing=True)
        await self._acquire()
        try:
            self._check_open()
            if len(source) == 0:
                return 0

            def moved(result: tuple[int, int]) -> None:
                self._pos = result[1]
                if taken is not None:
                    taken[0] = result[0]

            append = self._mode.append
            handle = await self._driver_handle()
            fut = _velnor.write(handle, 0 if append else self._pos, source, append)
            n, end = await await_kernel(fut, abandoned=moved)
            self._pos = end
            written: int = n
            if taken is not None:
                taken[0] = written
            return written
        finally:
            self._release()

    async def writelines(self, lines: Iterable[Buffer]) -> None:
        """Write every bytes-like object of `lines`, in order."""
        try:
            self._check_open()
            for line in lines:
                await self.write(line)
        except Exception as error:
            public_traceback(error)
            raise

    async def pwrite(self, data: Buffer, offset: int) -> int:
        """Write all of `data` at `offset` without using or moving the
        position; returns its length. In append mode Linux places the data at
        the end of the file whatever `offset` says (as ``os.pwrite`` does)."""
        try:
            source = byte_view(data)
            pos = _offset(offset, "offset")
            self._check_usable(writing=True)
            handle = await self._driver_handle()
            n, _ = await await_kernel(_velnor.write(handle, pos, source, False))
            written: int = n
            return written
        except Exception as error:
            public_traceback(error)
            raise

    async def truncate(self, size: int | None = None) -> int:
        """Resize the file to `size` bytes (default: the position), extending
        it with zeros if needed; the position is unchanged. Returns the size."""
        try:
            target = None if size is None else operator.index(size)
            self._check_usable(writing=True)
            await self._acquire()
            try:
                self._check_open()
                if target is None:
                    if not self._seekable:
                        raise _illegal_seek()  # the position it would take has no meaning
                    target = self._pos
                if target < 0:
                    raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))  # as ftruncate
                await await_kernel(_velnor.set_len(await self._driver_handle(), target))
                return target
            finally:
                self._release()
        except Exception as error:
            public_traceback(error)
            raise

    async def flush(self) -> None:
        """Nothing to do: velnor buffers nothing. Use `sync` for durability."""
        try:
            self._check_open()
        except Exception as error:
            public_traceback(error)
            raise

    async def sync(self, data_only: bool = False) -> None:
        """Make the file's data (and, unless `data_only`, its metadata) durable,
        like ``os.fsync`` (``os.fdatasync`` with `data_only`)."""
        try:
            self._check_usable()
            await await_kernel(_velnor.sync(await self._driver_handle(), bool(data_only)))
        except Exception as error:
            public_traceback(error)
            raise

    # -- positioning -------------------------------------------------------

    async def seek(self, offset: int, whence: int = os.SEEK_SET) -> int:
        """Move the position to `offset` from the start (``SEEK_SET``), the
        current position (``SEEK_CUR``) or the end of the file (``SEEK_END``);
        returns the new position. A negative result raises `OSError` (EINVAL)."""
        try:
            offset = operator.index(offset)
            whence = operator.index(whence)
            if whence not in (os.SEEK_SET, os.SEEK_CUR, os.SEEK_END):
                raise ValueError(f"whence value {whence} unsupported")
            self._check_usable()
            if not self._seekable:
                raise _illegal_seek()  # lseek's answer, as the built-in's file gives it
            await self._acquire()
            try:
                self._check_open()
                if whence == os.SEEK_SET:
                    target = offset
                elif whence == os.SEEK_CUR:
                    target = self._pos + offset
                else:
                    target = await self._current_size() + offset
                if target < 0:
                    raise OSError(errno.EINVAL, os.strerror(errno.EINVAL))  # as lseek
                if target > MAX_OFFSET:
                    raise OverflowError(f"seek position out of range: {target}")
                self._pos = target
                return target
            finally:
                self._release()
        except Exception as error:
            public_traceback(error)
            raise

    async def size(self) -> int:
        """The file's current size in bytes."""
        try:
            self._check_usable()
            return await self._current_size()
        except Exception as error:
            public_traceback(error)
            raise

    # -- closing -----------------------------------------------------------

    async def aclose(self) -> None:
        """`close`, by the name anyio's and trio's files give it."""
        await self.close()

    async def close(self) -> None:
        """Close the file; closing twice is harmless. Works from any event
        loop, so a file can always be closed. Operations already in flight
        finish before the descriptor goes."""
        try:
            if self._closed:
                return
            if self._close_unseen():
                if turn_due():
                    await give_turn()  # closed already: a cancellation here costs nothing
                return
            self._closed = True
            # The fast path borrows the descriptor: drop it before the close.
            self._fast = None
            handle = self._handle
            adopting = self._adopting
            if handle is None or self._adopt_waiters:
                assert adopting is not None
                # Operations that were waiting for the hand-over are in flight
                # too: they go to the driver before the close does, even if this
                # task stops waiting.
                closing = asyncio.ensure_future(self._close_handed_over(adopting))
                _CLOSING.add(closing)
                closing.add_done_callback(_CLOSING.discard)
                await asyncio.shield(closing)
                return
            await close_handle(handle)
        except Exception as error:
            public_traceback(error)
            raise

    def _close_unseen(self) -> bool:
        """Close the file right here if the driver never saw its descriptor
        (nothing can be in flight on it then); False if it did."""
        if self._handle is not None or self._adopting is not None:
            return False
        self._closed = True
        self._fast = None  # it borrows the descriptor: dropped before the close
        os.close(self._fd)
        return True

    async def _close_handed_over(self, adopting: KernelFuture) -> None:
        try:
            opened = await asyncio.shield(adopting)
        except Exception:
            # The hand-over never ran (the driver is gone): still ours.
            os.close(self._fd)
            return
        while self._adopt_waiters:
            await asyncio.sleep(0)
        await close_handle(opened[0])

    async def __aenter__(self) -> BinaryFile:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        try:
            await self.close()
        except Exception as error:
            public_traceback(error)
            raise

    def __del__(self) -> None:
        if getattr(self, "_closed", True):  # closed, or never opened
            return
        # Described while still open: the warning names the file as it was.
        message = f"unclosed file {self._users_repr()}"
        self._closed = True
        self._fast = None
        # Close first: the warning below raises where warnings are errors.
        loop = self._loop
        handle, adopting = self._handle, self._adopting
        if handle is None and adopting is None:
            try:
                os.close(self._fd)  # the driver never saw it
            except OSError:
                pass
        else:
            try:
                if handle is not None:
                    loop.call_soon_threadsafe(close_soon, handle)
                elif adopting is not None:
                    loop.call_soon_threadsafe(adopting.add_done_callback, _close_adopted)
            except RuntimeError:
                pass  # the loop is closed; nothing can run the close any more
        warnings.warn(message, ResourceWarning, stacklevel=2, source=self)

    # -- checks ------------------------------------------------------------

    def _check_open(self) -> None:
        if self.closed:
            raise ValueError("I/O operation on closed file.")

    def _check_usable(self, *, reading: bool = False, writing: bool = False) -> None:
        self._check_open()
        if asyncio.get_running_loop() is not self._loop:
            raise RuntimeError(
                f"{self._users_repr()} was opened on another event loop; use it only on the loop "
                "that opened it")
        if reading and not self._mode.readable:
            raise io.UnsupportedOperation("File not open for reading")
        if writing and not self._mode.writable:
            raise io.UnsupportedOperation("File not open for writing")


_CLOSING: set[asyncio.Task[None]] = set()
"""Closes waiting for a hand-over (the loop keeps only weak references to tasks)."""


def _lseeks(fd: int) -> bool:
    # A device says itself whether it has positions (a terminal has none,
    # /dev/zero has), as the built-in's file learns it: by asking.
    try:
        os.lseek(fd, 0, os.SEEK_CUR)
    except OSError:
        return False
    return True


def _illegal_seek() -> OSError:
    return OSError(errno.ESPIPE, os.strerror(errno.ESPIPE))


def _close_adopted(adopting: KernelFuture) -> None:
    if not adopting.cancelled() and adopting.exception() is None:
        close_soon(adopting.result()[0])


def open_on_the_spot(path: str, name: str | bytes, mode: OpenMode) -> BinaryFile | None:
    """The file at `path` opened right here, when its mode allows and the
    kernel resolves the path from its caches; None otherwise. The driver
    gets the descriptor only if an operation ever needs it. The caller has
    given the loop its turn if it was due."""
    opened = _velnor.open_cached(path)
    if opened is None:
        return None
    fd, blksize, size = opened
    try:
        file = BinaryFile()
        file._setup(None, fd, 0, name, mode, get_running_loop(), stat.S_IFREG, None, blksize)
        file._size_hint = size
        return file
    except BaseException:
        os.close(fd)
        raise


async def _open(path: str, name: str | bytes, mode: OpenMode) -> BinaryFile:
    loop = asyncio.get_running_loop()
    if mode.cached_open:
        if turn_due():
            await give_turn()  # before the open: nothing to leak if cancelled
        file = open_on_the_spot(path, name, mode)
        if file is not None:
            return file
    try:
        handle, size, fd = await await_kernel(
            _velnor.open(path, *mode.flags), abandoned=lambda opened: close_soon(opened[0]))
    except OSError as error:
        raise with_filename(error, name) from None
    try:
        kind = os.fstat(fd).st_mode
        if stat.S_ISDIR(kind):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
        return BinaryFile._create(handle=handle, fd=fd, size=size, name=name, mode=mode, loop=loop,
                          st_mode=kind)
    except BaseException:
        await close_handle(handle)
        raise
