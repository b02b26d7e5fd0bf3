"""One adapter per library: how that library's users read and write files.

A case of the comparison (see `peers.py`) is written once against `Adapter`
and runs for every library. An adapter gives its library's own calls, used the
way its documentation shows, and says in `what` which call each case measures.
What a library cannot do raises `NotAvailable`, and its row says so.

Reading parts of a file has two shapes, and `Reads` hides them from the cases:
stream APIs (velnor's `BinaryFile`, aiofiles, anyio) read through a file
object's position, so they seek and then read; positional APIs (`_velnor`,
`os.pread`, `asyncio.to_thread(os.pread)`) read at an offset. Both read the
same offsets. The timed loops call each library directly, with no wrapper of
ours between the clock and the call.
"""

from __future__ import annotations

import asyncio
import itertools
import os
from collections.abc import AsyncIterator, Awaitable, Callable, Sequence
from contextlib import AbstractAsyncContextManager, AsyncExitStack, asynccontextmanager
from functools import partial
from pathlib import Path
from typing import Any, ClassVar

import _velnor
import velnor
import velnor.os

from harness import NotAvailable

Batch = Callable[[int], Awaitable[None]]
"""A timed batch: `batch(n)` does n units of work."""

# The raw road's whole-file read: what it asks the driver to return inline
# rather than as an open handle, and the chunk of its parallel fill. The raw
# road's own choice, independent of the package's thresholds.
RAW_INLINE_MAX = 1 << 20
RAW_FILL_CHUNK = 1 << 20  # larger chunks hold a CPU the loop's thread waits for


async def maybe_await(x: Any) -> Any:
    return await x if hasattr(x, "__await__") else x


# --- reading parts of an open file ------------------------------------------------

def cycling(values: Sequence[int]) -> Callable[[], int]:
    """A function returning `values` one by one, round and round: the next
    offset of a walk at the cost of one C call inside the clock."""
    return itertools.cycle(values).__next__


class Reads:
    """Reads of parts of one file through a library, for the timed loops.

    `walk(bases, chunk, period)`: unit k reads `chunk` bytes at
    ``base + (k % period) * chunk`` for every base, concurrently when there are
    several: a walk along each region that wraps back to its start.
    `place(pos)` (untimed) and `once(chunk)`: one read of `chunk` bytes at a
    position set before the sample.
    """

    pos = 0

    def walk(self, bases: Sequence[int], chunk: int, period: int) -> Batch:
        raise NotImplementedError

    async def place(self, pos: int) -> None:
        self.pos = pos

    def once(self, chunk: int) -> Batch:
        raise NotImplementedError


class StreamReads(Reads):
    """File objects read through their position: one file per base, each
    sought back to its base whenever its walk wraps."""

    def __init__(self, files: list[Any]) -> None:
        self.files = files

    def walk(self, bases: Sequence[int], chunk: int, period: int) -> Batch:
        files = self.files[: len(bases)]
        wraps = cycling([True] + [False] * (period - 1))
        if len(files) == 1:
            f, base = files[0], bases[0]
            rd = f.read

            async def one(n: int) -> None:
                for _ in range(n):
                    if wraps():
                        await maybe_await(f.seek(base))
                    await rd(chunk)

            return one
        reads = [f.read for f in files]
        gather = asyncio.gather

        async def many(n: int) -> None:
            for _ in range(n):
                if wraps():
                    for f, b in zip(files, bases):
                        await maybe_await(f.seek(b))
                await gather(*[rd(chunk) for rd in reads])

        return many

    async def place(self, pos: int) -> None:
        await maybe_await(self.files[0].seek(pos))

    def once(self, chunk: int) -> Batch:
        rd = self.files[0].read

        async def batch(n: int) -> None:
            await rd(chunk)

        return batch


class AwaitedReads(Reads):
    """An awaitable positional read, `await call(target, pos, length)`."""

    def __init__(self, call: Callable[[Any, int, int], Awaitable[Any]], target: Any) -> None:
        self.call = call
        self.target = target

    def walk(self, bases: Sequence[int], chunk: int, period: int) -> Batch:
        call, target = self.call, self.target
        if len(bases) == 1:
            at = cycling([bases[0] + j * chunk for j in range(period)])

            async def one(n: int) -> None:
                for _ in range(n):
                    await call(target, at(), chunk)

            return one
        step = cycling([j * chunk for j in range(period)])
        gather = asyncio.gather

        async def many(n: int) -> None:
            for _ in range(n):
                off = step()
                await gather(*[call(target, b + off, chunk) for b in bases])

        return many

    def once(self, chunk: int) -> Batch:
        call, target = self.call, self.target

        async def batch(n: int) -> None:
            await call(target, self.pos, chunk)

        return batch


class BlockingReads(Reads):
    """`os.pread` on the loop thread: concurrency cannot help a call that
    blocks, so several bases are read one after another."""

    def __init__(self, fd: int) -> None:
        self.fd = fd

    def walk(self, bases: Sequence[int], chunk: int, period: int) -> Batch:
        fd, pread = self.fd, os.pread
        if len(bases) == 1:
            at = cycling([bases[0] + j * chunk for j in range(period)])

            async def one(n: int) -> None:
                for _ in range(n):
                    pread(fd, chunk, at())

            return one
        step = cycling([j * chunk for j in range(period)])

        async def many(n: int) -> None:
            for _ in range(n):
                off = step()
                for b in bases:
                    pread(fd, chunk, b + off)

        return many

    def once(self, chunk: int) -> Batch:
        fd, pread = self.fd, os.pread

        async def batch(n: int) -> None:
            pread(fd, chunk, self.pos)

        return batch


@asynccontextmanager
async def raw_fd(path: str) -> AsyncIterator[int]:
    """A plain descriptor open for reading, closed on exit."""
    fd = os.open(path, os.O_RDONLY)
    try:
        yield fd
    finally:
        os.close(fd)


@asynccontextmanager
async def open_handle(path: str) -> AsyncIterator[tuple[int, int, int]]:
    """A raw `_velnor` handle opened for reading, closed on exit."""
    h = await _velnor.open(path, True, False, False, False, False, False)
    try:
        yield h
    finally:
        await _velnor.close(h[0])


def _pread_at(fd: int, pos: int, length: int) -> bytes:
    # `os.pread` with the offset before the length, the order of the other
    # positional reads; runs in the worker thread, off the measured loop.
    return os.pread(fd, length, pos)


def _open_read_close(path: str) -> bytes:
    with open(path, "rb") as f:
        return f.read()


# --- the adapters -----------------------------------------------------------------

def _count_lines(path: str) -> int:
    n = 0
    with open(path, encoding="utf-8") as f:
        for _ in f:
            n += 1
    return n


class Adapter:
    """A library as its users call it. Subclasses set `key`, `label` and
    `what`, and implement what their library offers."""

    key: ClassVar[str]
    label: ClassVar[str]
    # Case key -> the call that case measures, as the library's users write it.
    what: ClassVar[dict[str, str]]

    def reads(self, path: str, files: int) -> AbstractAsyncContextManager[Reads]:
        """Reads of parts of `path`; stream APIs open `files` file objects."""
        raise NotAvailable(f"{self.label} has no partial reads here")

    async def read_whole(self, path: str) -> bytes:
        """The whole file at `path`."""
        raise NotAvailable(f"{self.label} has no whole-file read here")

    async def write_whole(self, path: str, data: bytes) -> None:
        """`data` as the whole content of the file at `path` (created or truncated)."""
        raise NotAvailable(f"{self.label} has no whole-file write here")

    async def count_lines(self, path: str) -> int:
        """The lines of the text file at `path`, iterated one by one."""
        raise NotAvailable(f"{self.label} has no text files")

    async def open_read_close(self, path: str) -> bytes:
        """Open the file at `path`, read all of it and close it, as a program
        going through many small files does."""
        raise NotAvailable(f"{self.label} has no file objects here")

    async def stat(self, path: str) -> object:
        """The status of `path` (following symlinks)."""
        raise NotAvailable(f"{self.label} has no stat here")

    async def listdir(self, path: str) -> list[str]:
        """The names in the folder `path`."""
        raise NotAvailable(f"{self.label} has no listdir here")

    async def scandir(self, path: str) -> int:
        """The entries of the folder `path`, each asked whether it is a
        folder, as a walk does; the number of folders."""
        raise NotAvailable(f"{self.label} has no scandir here")


class StreamAdapter(Adapter):
    """A library whose files are objects with a position: `open_file` is all
    it needs for partial reads."""

    async def open_file(self, path: str) -> Any:
        """A file object open for reading."""
        raise NotImplementedError

    async def close_file(self, f: Any) -> None:
        await f.close()

    @asynccontextmanager
    async def reads(self, path: str, files: int) -> AsyncIterator[Reads]:
        async with AsyncExitStack() as stack:
            opened = []
            for _ in range(files):
                f = await self.open_file(path)
                stack.push_async_callback(self.close_file, f)
                opened.append(f)
            yield StreamReads(opened)


class Velnor(StreamAdapter):
    key = "velnor"
    label = "velnor"
    what = {
        "read4k": "await f.read(4096), f = velnor.open(path, 'rb') (buffered, the default)",
        "concurrent64": "gather of f.read(4096) on 64 velnor files",
        "lines": "async with velnor.open(path) as f: async for line in f",
        "cold4k": "await f.read(4096) after f.seek(pos) (velnor)",
        "read_whole": "await velnor.read_bytes(path)",
        "write_whole": "await velnor.write_bytes(path, data)",
        "open_read_close": "async with velnor.open(path, 'rb') as f: await f.read()",
        "stat": "await velnor.os.stat(path)",
        "listdir": "await velnor.os.listdir(path)",
        "scandir": "async for e in velnor.os.scandir(path): e.is_dir()",
    }

    async def open_file(self, path: str) -> Any:
        return await velnor.open(path, "rb")

    async def stat(self, path: str) -> object:
        return await velnor.os.stat(path)

    async def listdir(self, path: str) -> list[str]:
        return await velnor.os.listdir(path)

    async def scandir(self, path: str) -> int:
        return sum([e.is_dir() async for e in velnor.os.scandir(path)])

    async def open_read_close(self, path: str) -> bytes:
        async with velnor.open(path, "rb") as f:
            return await f.read()

    async def read_whole(self, path: str) -> bytes:
        return await velnor.read_bytes(path)

    async def count_lines(self, path: str) -> int:
        n = 0
        async with velnor.open(path, encoding="utf-8") as f:
            async for _ in f:
                n += 1
        return n

    async def write_whole(self, path: str, data: bytes) -> None:
        await velnor.write_bytes(path, data)


class VelnorRaw(Adapter):
    """The extension's functions through the driver thread, without the package."""

    key = "velnor-raw"
    label = "velnor raw (_velnor)"
    what = {
        "read4k": "await _velnor.read(handle, pos, 4096)",
        "concurrent64": "gather of 64 _velnor.read(handle, pos, 4096)",
        "cold4k": "await _velnor.read(handle, pos, 4096)",
        "lines": "(the extension has no text files)",
        "read_whole": "await _velnor.read_file(path, 1 MiB) [+ read_parallel]",
        "write_whole": "await _velnor.write_file(path, data)",
        "open_read_close": "await _velnor.open(...); await _velnor.read_to_end(h, 0); "
                           "await _velnor.close(h)",
        "stat": "await _velnor.stat(path, AT_FDCWD, 0) (raw struct statx)",
        "listdir": "await _velnor.listdir(path, AT_FDCWD) (packed listing)",
        "scandir": "(the package's scandir is the road)",
    }

    async def stat(self, path: str) -> object:
        return await _velnor.stat(path, -100, 0)

    async def listdir(self, path: str) -> list[str]:
        # The packed listing as it comes: the raw road's cost, no conversion
        # of the extension's result (the check of the names count skips it).
        raw: Any = await _velnor.listdir(path, -100)
        return [raw]

    async def open_read_close(self, path: str) -> bytes:
        handle, _size, _fd = await _velnor.open(path, True, False, False, False, False, False)
        try:
            data: bytes = await _velnor.read_to_end(handle, 0)
            return data
        finally:
            await _velnor.close(handle)

    @asynccontextmanager
    async def reads(self, path: str, files: int) -> AsyncIterator[Reads]:
        async with open_handle(path) as (h, _size, _fd):
            yield AwaitedReads(_velnor.read, h)

    async def read_whole(self, path: str) -> bytes:
        # Inline bytes for a small file; otherwise the driver hands over an
        # open handle, filled here with parallel chunk reads and closed.
        r = await _velnor.read_file(path, RAW_INLINE_MAX)
        if isinstance(r, bytes):
            return r
        handle, size, _fd = r
        try:
            data: bytes = await _velnor.read_parallel(handle, 0, size, RAW_FILL_CHUNK)
            return data
        finally:
            await _velnor.close(handle)

    async def write_whole(self, path: str, data: bytes) -> None:
        await _velnor.write_file(path, data)


class Sync(Adapter):
    """The standard library, blocking the loop thread."""

    key = "sync"
    label = "stdlib sync"
    what = {
        "read4k": "os.pread(fd, 4096, pos)",
        "concurrent64": "64 x os.pread in a row (no concurrency)",
        "lines": "with open(path) as f: for line in f (on the loop thread)",
        "cold4k": "os.pread(fd, 4096, pos)",
        "read_whole": "Path(path).read_bytes()",
        "write_whole": "Path(path).write_bytes(data)",
        "open_read_close": "with open(path, 'rb') as f: f.read()",
        "stat": "os.stat(path)",
        "listdir": "os.listdir(path)",
        "scandir": "for e in os.scandir(path): e.is_dir()",
    }

    async def stat(self, path: str) -> object:
        return os.stat(path)

    async def listdir(self, path: str) -> list[str]:
        return os.listdir(path)

    async def scandir(self, path: str) -> int:
        with os.scandir(path) as it:
            return sum(e.is_dir() for e in it)

    async def open_read_close(self, path: str) -> bytes:
        return _open_read_close(path)

    @asynccontextmanager
    async def reads(self, path: str, files: int) -> AsyncIterator[Reads]:
        async with raw_fd(path) as fd:
            yield BlockingReads(fd)

    async def read_whole(self, path: str) -> bytes:
        return Path(path).read_bytes()

    async def count_lines(self, path: str) -> int:
        return _count_lines(path)

    async def write_whole(self, path: str, data: bytes) -> None:
        Path(path).write_bytes(data)


class ToThread(Adapter):
    """The standard library's calls, each in the default executor's threads."""

    key = "to_thread"
    label = "to_thread"
    what = {
        "read4k": "await asyncio.to_thread(os.pread, fd, 4096, pos)",
        "concurrent64": "gather of 64 asyncio.to_thread(os.pread, ...)",
        "cold4k": "await asyncio.to_thread(os.pread, fd, 4096, pos)",
        "lines": "await asyncio.to_thread(the stdlib loop over the whole file)",
        "read_whole": "await asyncio.to_thread(Path(path).read_bytes)",
        "write_whole": "await asyncio.to_thread(Path(path).write_bytes, data)",
        "open_read_close": "await loop.run_in_executor(None, read_file, path)",
        "stat": "await asyncio.to_thread(os.stat, path)",
        "listdir": "await asyncio.to_thread(os.listdir, path)",
        "scandir": "await asyncio.to_thread(scan, path), scan = list + is_dir()",
    }

    async def stat(self, path: str) -> object:
        return await asyncio.to_thread(os.stat, path)

    async def listdir(self, path: str) -> list[str]:
        return await asyncio.to_thread(os.listdir, path)

    async def scandir(self, path: str) -> int:
        def scan() -> int:
            with os.scandir(path) as it:
                return sum(e.is_dir() for e in it)
        return await asyncio.to_thread(scan)

    async def open_read_close(self, path: str) -> bytes:
        return await asyncio.get_running_loop().run_in_executor(None, _open_read_close, path)

    @asynccontextmanager
    async def reads(self, path: str, files: int) -> AsyncIterator[Reads]:
        async with raw_fd(path) as fd:
            yield AwaitedReads(partial(asyncio.to_thread, _pread_at), fd)

    async def read_whole(self, path: str) -> bytes:
        return await asyncio.to_thread(Path(path).read_bytes)

    async def count_lines(self, path: str) -> int:
        return await asyncio.to_thread(_count_lines, path)

    async def write_whole(self, path: str, data: bytes) -> None:
        await asyncio.to_thread(Path(path).write_bytes, data)


def _optional(name: str) -> Any:
    try:
        return __import__(name)
    except ImportError as e:
        raise NotAvailable(f"{name} is not installed ({e})") from None


class Aiofiles(StreamAdapter):
    key = "aiofiles"
    label = "aiofiles"
    what = {
        "read4k": "await f.read(4096), f = await aiofiles.open(path, 'rb')",
        "concurrent64": "gather of f.read(4096) on 64 aiofiles files",
        "lines": "async with aiofiles.open(path) as f: async for line in f",
        "cold4k": "await f.read(4096) after await f.seek(pos)",
        "read_whole": "async with aiofiles.open(path, 'rb') as f: await f.read()",
        "write_whole": "async with aiofiles.open(path, 'wb') as f: await f.write(data)",
        "open_read_close": "async with aiofiles.open(path, 'rb') as f: await f.read()",
        "stat": "await aiofiles.os.stat(path)",
        "listdir": "await aiofiles.os.listdir(path)",
        "scandir": "for e in await aiofiles.os.scandir(path): e.is_dir()",
    }

    async def stat(self, path: str) -> object:
        return await _optional("aiofiles.os").os.stat(path)

    async def listdir(self, path: str) -> list[str]:
        names: list[str] = await _optional("aiofiles.os").os.listdir(path)
        return names

    async def scandir(self, path: str) -> int:
        it = await _optional("aiofiles.os").os.scandir(path)
        with it:
            return sum(e.is_dir() for e in it)

    async def open_read_close(self, path: str) -> bytes:
        async with _optional("aiofiles").open(path, "rb") as f:
            data: bytes = await f.read()
            return data

    async def open_file(self, path: str) -> Any:
        return await _optional("aiofiles").open(path, "rb")

    async def count_lines(self, path: str) -> int:
        n = 0
        async with _optional("aiofiles").open(path, encoding="utf-8") as f:
            async for _ in f:
                n += 1
        return n

    async def read_whole(self, path: str) -> bytes:
        async with _optional("aiofiles").open(path, "rb") as f:
            data: bytes = await f.read()
            return data

    async def write_whole(self, path: str, data: bytes) -> None:
        async with _optional("aiofiles").open(path, "wb") as f:
            await f.write(data)


class Anyio(StreamAdapter):
    key = "anyio"
    label = "anyio"
    what = {
        "read4k": "await f.read(4096), f = await anyio.open_file(path, 'rb')",
        "concurrent64": "gather of f.read(4096) on 64 anyio files",
        "lines": "async with await anyio.open_file(path) as f: async for line in f",
        "cold4k": "await f.read(4096) after await f.seek(pos)",
        "read_whole": "await anyio.Path(path).read_bytes()",
        "write_whole": "await anyio.Path(path).write_bytes(data)",
        "open_read_close": "async with await anyio.open_file(path, 'rb') as f: await f.read()",
        "stat": "await anyio.Path(path).stat()",
        "listdir": "[p async for p in anyio.Path(path).iterdir()]",
        "scandir": "(no scandir in anyio)",
    }

    async def stat(self, path: str) -> object:
        return await _optional("anyio").Path(path).stat()

    async def listdir(self, path: str) -> list[str]:
        return [p.name async for p in _optional("anyio").Path(path).iterdir()]

    async def open_read_close(self, path: str) -> bytes:
        async with await _optional("anyio").open_file(path, "rb") as f:
            data: bytes = await f.read()
            return data

    async def open_file(self, path: str) -> Any:
        return await _optional("anyio").open_file(path, "rb")

    async def count_lines(self, path: str) -> int:
        n = 0
        async with await _optional("anyio").open_file(path, encoding="utf-8") as f:
            async for _ in f:
                n += 1
        return n

    async def close_file(self, f: Any) -> None:
        await f.aclose()

    async def read_whole(self, path: str) -> bytes:
        data: bytes = await _optional("anyio").Path(path).read_bytes()
        return data

    async def write_whole(self, path: str, data: bytes) -> None:
        await _optional("anyio").Path(path).write_bytes(data)


ADAPTERS: list[Adapter] = [Velnor(), VelnorRaw(), Sync(), ToThread(), Aiofiles(), Anyio()]
"""Every contestant, in the order of the table: velnor's two roads, then its peers."""

BY_KEY = {a.key: a for a in ADAPTERS}
VELNOR = Velnor.key
VELNOR_RAW = VelnorRaw.key
VELNOR_ROADS = [VELNOR, VELNOR_RAW]
PEERS = [a.key for a in ADAPTERS if a.key not in VELNOR_ROADS]
LABELS = {a.key: a.label for a in ADAPTERS}


def backend_name() -> str:
    """The backend the driver runs on, for the report's header."""
    return str(_velnor.backend_name())
