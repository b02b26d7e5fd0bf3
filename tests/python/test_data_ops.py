"""read, readinto, read_to_end, write, read_file, write_file and
read_parallel from asyncio: data lands in place, nothing is copied on the
submitting side, and every edge of a range behaves."""

from __future__ import annotations

import array
import asyncio
import ctypes
import gc
import os
import tracemalloc
from functools import partial
from pathlib import Path
from typing import Any

import _velnor
import pytest

from support.fds import fd_count, fd_count_returns_to
from support.files import write_fifo
from support.flags import RW, RW_CREATE
from support.loops import Runner
MiB = 1 << 20


async def open_rw(path: Path, create: bool = False) -> int:
    handle, _, _ = await _velnor.open(str(path), *(RW_CREATE if create else RW))
    return int(handle)


def test_reads_stop_at_end_of_file(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")

    async def main() -> None:
        h = await open_rw(path)
        assert await _velnor.read(h, 0, 10) == b"0123456789"
        assert await _velnor.read(h, 6, 10) == b"6789"
        assert await _velnor.read(h, 10, 10) == b""
        assert await _velnor.read(h, 99, 1) == b""
        assert await _velnor.read(h, 3, 0) == b""
        assert await _velnor.read_to_end(h, 4) == b"456789"
        assert await _velnor.read_to_end(h, 50) == b""
        await _velnor.close(h)

    run(main())


def test_full_reads_are_not_copied(run: Runner, tmp_path: Path) -> None:
    # The result of a full read is the very object the kernel filled: the
    # peak of traced memory stays at one copy of the data. A short read pays
    # one prefix copy, and only then.
    path = tmp_path / "big"
    data = os.urandom(32 * MiB)
    path.write_bytes(data)

    async def main() -> None:
        h = await open_rw(path)
        tracemalloc.start()
        try:
            got = await _velnor.read(h, 0, len(data))
            _, peak = tracemalloc.get_traced_memory()
            assert got == data
            assert peak < 1.25 * len(data), peak
            del got
            # asyncio's last ready handle keeps the settled future (and its
            # result) for one more loop iteration.
            await asyncio.sleep(0)
            await asyncio.sleep(0)
            tracemalloc.reset_peak()
            got = await _velnor.read_parallel(h, 0, len(data), 4 * MiB)
            _, peak = tracemalloc.get_traced_memory()
            assert got == data
            assert peak < 1.25 * len(data), peak
        finally:
            tracemalloc.stop()
        await _velnor.close(h)

    run(main())


def test_writes_take_the_callers_memory(run: Runner, tmp_path: Path) -> None:
    data = bytearray(os.urandom(16 * MiB))

    async def main() -> None:
        h = await open_rw(tmp_path / "w", create=True)
        tracemalloc.start()
        try:
            assert await _velnor.write(h, 0, memoryview(data), False) == (len(data), len(data))
            assert await _velnor.write_file(str(tmp_path / "whole"), data) == len(data)
            _, peak = tracemalloc.get_traced_memory()
            assert peak < MiB, peak
        finally:
            tracemalloc.stop()
        await _velnor.close(h)

    run(main())
    assert (tmp_path / "w").read_bytes() == data
    assert (tmp_path / "whole").read_bytes() == data


def test_readinto_fills_in_place(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"abcdefgh")

    async def main() -> None:
        h = await open_rw(path)
        buf = bytearray(b"-" * 16)
        assert await _velnor.readinto(h, 0, buf) == 8
        assert buf == b"abcdefgh--------"
        view = memoryview(buf)[10:14]
        assert await _velnor.readinto(h, 4, view) == 4
        assert buf == b"abcdefgh--efgh--"
        arr = array.array("B", bytes(3))
        assert await _velnor.readinto(h, 5, arr) == 3 and arr.tobytes() == b"fgh"
        assert await _velnor.readinto(h, 0, bytearray(0)) == 0
        await _velnor.close(h)

    run(main())


def test_a_pending_readinto_pins_its_buffer(run: Runner, tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    async def main() -> None:
        h = await open_rw(fifo)
        buf = bytearray(4)
        pending = _velnor.readinto(h, 0, buf)
        await _velnor.probe_nop()
        with pytest.raises(BufferError):
            buf.extend(b"more")
        write_fifo(fifo, b"WXYZ")
        assert await pending == 4
        buf.extend(b"!")  # released with the completion
        assert buf == b"WXYZ!"
        await _velnor.close(h)

    run(main())


def test_arguments_are_checked_before_submitting(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"x")

    async def main() -> None:
        h = await open_rw(path)
        cases: list[tuple[Any, type[BaseException], str | None]] = [
            (lambda: _velnor.readinto(h, 0, b"abc"), ValueError, "readinto needs a writable buffer"),
            (lambda: _velnor.readinto(h, 0, memoryview(bytearray(8))[::2]), ValueError,
             "buffer must be C-contiguous"),
            (lambda: _velnor.readinto(h, 0, array.array("i", [0])), BufferError,
             "buffer contents are not compatible with u8"),
            (lambda: _velnor.readinto(h, 0, memoryview(bytearray(4)).cast("B", (2, 2))[::-1]),
             ValueError, "buffer must be C-contiguous"),
            (lambda: _velnor.readinto(h, 0, 5), TypeError, None),
            (lambda: _velnor.write(h, 0, memoryview(b"abcdef")[::2], False), ValueError,
             "buffer must be C-contiguous"),
            (lambda: _velnor.write(h, 0, "text", False), TypeError, None),
            (lambda: _velnor.write(h, 0, 123, 1), TypeError,
             "argument 'append': 'int' object cannot be converted to 'PyBool'"),
            (lambda: _velnor.write_file(str(path), array.array("d", [1.0])), BufferError,
             "buffer contents are not compatible with u8"),
            (lambda: _velnor.read(h, 0, -1), OverflowError, None),
            (lambda: _velnor.read_parallel(h, 0, 10, 0), ValueError, "chunk must be positive"),
            # Formats other than one unsigned byte.
            *[(partial(_velnor.write, h, 0, refused, False), BufferError,
               "buffer contents are not compatible with u8")
              for refused in (array.array("b", [1]), array.array("h", [1]), array.array("d", [1.0]))],
            # ctypes exports no strides for its arrays.
            (lambda: _velnor.readinto(h, 0, (ctypes.c_ubyte * 4)()), BufferError, "strides is null"),
            # Allocations that cannot be made.
            (lambda: _velnor.read(h, 0, 2**64 - 1), MemoryError, None),
            (lambda: _velnor.read(h, 0, 2**62), MemoryError, None),
            (lambda: _velnor.read_parallel(h, 0, 2**63, 2**20), MemoryError, None),
        ]
        for make, exc, message in cases:
            with pytest.raises(exc) as info:
                make()
            if message is not None:
                assert str(info.value) == message
            if exc is TypeError and message is None:
                assert not str(info.value).startswith("argument ")
        # Nothing was submitted: the file is untouched and a read still works.
        assert await _velnor.read(h, 0, 1) == b"x"
        await _velnor.close(h)

    run(main())


def test_formats_that_are_one_unsigned_byte_are_accepted(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        h = await open_rw(tmp_path / "f", create=True)
        for data in (b"z", bytearray(b"z"), memoryview(b"z").cast("c"), array.array("B", [122])):
            assert await _velnor.write(h, 0, data, False) == (1, 1)
        await _velnor.close(h)

    run(main())


def test_writes_past_the_end_and_appends(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"abc")

    async def main() -> None:
        h = await open_rw(path)
        assert await _velnor.write(h, 6, b"Z", False) == (1, 7)
        assert await _velnor.write(h, 1, b"", False) == (0, 1)
        await _velnor.close(h)
        a, _, _ = await _velnor.open(str(path), False, False, True, False, False, False)
        lines = [bytes([65 + i]) * (50 + i) + b"\n" for i in range(40)]
        results = await asyncio.gather(*(_velnor.write(a, 0, line, True) for line in lines))
        total = 7 + sum(map(len, lines))
        assert max(end for _, end in results) == total
        assert [n for n, _ in results] == [len(line) for line in lines]
        await _velnor.close(a)

    run(main())
    content = path.read_bytes()
    assert content[:7] == b"abc\0\0\0Z"
    assert sorted(content[7:].splitlines(keepends=True)) == sorted(
        bytes([65 + i]) * (50 + i) + b"\n" for i in range(40))


def test_whole_file_operations(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"an old, longer content")

    async def main() -> None:
        assert await _velnor.write_file(path, b"12345") == 5  # truncates first
        assert await _velnor.read_file(str(path), 5) == b"12345"
        assert await _velnor.read_file(str(path), 5, None) == b"12345"
        handle, size, fd = await _velnor.read_file(str(path), 4)
        assert size == 5 and os.fstat(fd).st_size == 5
        assert await _velnor.read_parallel(handle, 0, size, 2) == b"12345"
        await _velnor.close(handle)
        assert await _velnor.write_file(str(path), b"") == 0
        assert await _velnor.read_file(str(path), 0) == b""
        with pytest.raises(FileNotFoundError):
            await _velnor.read_file(str(tmp_path / "missing"), 10)
        with pytest.raises(FileNotFoundError):
            await _velnor.write_file(str(tmp_path / "no" / "dir"), b"x")

    run(main())


def test_read_file_hands_large_files_to_on_handle(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"x" * 100)

    async def main() -> None:
        seen: list[tuple[int, int]] = []

        def on_handle(fut: asyncio.Future[Any], handle: int, fd: int) -> None:
            seen.append((handle, fd))

            async def fill() -> None:
                try:
                    fut.set_result(await _velnor.read_parallel(handle, 0, 100, 30))
                finally:
                    await _velnor.close(handle)

            asyncio.ensure_future(fill())

        assert await _velnor.read_file(str(path), 10, on_handle) == b"x" * 100
        assert len(seen) == 1
        # Small files never reach on_handle.
        assert await _velnor.read_file(str(path), 100, on_handle) == b"x" * 100
        assert len(seen) == 1

        def failing(fut: asyncio.Future[Any], handle: int, fd: int) -> None:
            os.close(os.dup(fd))
            seen.append((handle, fd))
            raise KeyError("from on_handle")

        fds = fd_count()
        with pytest.raises(KeyError):
            await _velnor.read_file(str(path), 10, failing)
        # Nobody else knows the handle: the drain closed it.
        with pytest.raises(OSError, match="^unknown or closed velnor handle$"):
            await _velnor.close(seen[-1][0])
        with pytest.raises(TypeError):
            await _velnor.read_file(str(path), 10, "not callable")
        await fd_count_returns_to(fds)  # the drain's close runs on the driver meanwhile

    run(main())


def test_read_parallel_gathers_chunks(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")
    short = tmp_path / "short"
    short.write_bytes(b"abcdef")

    async def main() -> None:
        h = await open_rw(path)
        fut = _velnor.read_parallel(h, 0, 10, 4)
        assert isinstance(fut.op_ids, list) and len(fut.op_ids) == 3
        assert fut.op_ids == sorted(fut.op_ids)
        assert await fut == b"0123456789"
        assert await _velnor.read_parallel(h, 2, 5, 100) == b"23456"
        empty = _velnor.read_parallel(h, 0, 0, 4)
        assert empty.op_ids == [] and await empty == b""
        s = await open_rw(short)
        assert await _velnor.read_parallel(s, 0, 10, 4) == b"abcdef"
        assert await _velnor.read_parallel(s, 0, 12, 3) == b"abcdef"
        await _velnor.close(s)
        await _velnor.close(h)
        with pytest.raises(OSError) as info:
            await _velnor.read_parallel(h, 0, 10, 4)
        assert str(info.value) == "unknown or closed velnor handle" and info.value.errno is None

    run(main())


@pytest.mark.timeout(300)
@pytest.mark.skipif(os.environ.get("VELNOR_SKIP_HUGE") == "1", reason="VELNOR_SKIP_HUGE=1")
def test_a_read_beyond_the_kernels_2gib_cap(tmp_path: Path) -> None:
    # One kernel read returns at most 2 GiB - 4 KiB; the driver loops over
    # the remainder. A sparse file keeps the disk out of it.
    path = tmp_path / "huge"
    size = (2 << 30) + 3 * 4096 + 11
    markers = {0: b"START", (2 << 30) - 4096 - 2: b"EDGE", size - 3: b"END"}
    with open(path, "wb") as f:
        f.truncate(size)
        for off, mark in markers.items():
            f.seek(off)
            f.write(mark)

    async def main() -> None:
        h = await open_rw(path)
        got = await _velnor.read(h, 0, size + 100)
        assert len(got) == size
        for off, mark in markers.items():
            assert got[off:off + len(mark)] == mark
        await _velnor.close(h)

    asyncio.run(main())
    gc.collect()
