"""BinaryFile operations: generated sequences against the standard library,
cold and large reads, cancellation, concurrency on one file, and several
threads with a loop each."""

from __future__ import annotations

import asyncio
import builtins
import errno
import io
import itertools
import os
import threading
from pathlib import Path
from typing import Any

import _velnor
import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import velnor
from support.fds import assert_no_fd_leak, settled_fd_count
from support.files import evict, pattern
from support.loops import Runner, hold_pacing_off, run_on
from support.side_by_side import (Failed, assert_same_files, async_outcome, file_pair, outcome,
                                  outcomes_together)
from velnor._kernel import INLINE_COPY_MAX, PARALLEL_MIN

MODES = ["rb", "rb+", "wb", "wb+", "ab", "ab+", "xb", "xb+"]

OPS = st.one_of(
    st.tuples(st.just("write"), st.binary(max_size=48)),
    st.tuples(st.just("read"), st.integers(-1, 64)),
    st.tuples(st.just("readinto"), st.integers(0, 64)),
    st.tuples(st.just("seek"), st.integers(-80, 160), st.sampled_from([0, 1, 2])),
    st.tuples(st.just("tell")),
    st.tuples(st.just("truncate"), st.none() | st.integers(0, 120)),
    st.tuples(st.just("pread"), st.integers(0, 64), st.integers(0, 120)),
    st.tuples(st.just("pwrite"), st.binary(max_size=32), st.integers(0, 120)),
)


def apply_stdlib(f: Any, readable: bool, op: tuple[Any, ...]) -> Any:
    """One operation on a raw standard-library file; pread/pwrite through os."""
    name, *args = op
    if name == "readinto":
        buf = bytearray(args[0])
        return f.readinto(buf), bytes(buf)
    if name in ("pread", "pwrite") and not (readable if name == "pread" else f.writable()):
        raise io.UnsupportedOperation(name)
    if name == "pread":
        return os.pread(f.fileno(), *args)
    if name == "pwrite":
        return os.pwrite(f.fileno(), *args)
    return getattr(f, name)(*args)


async def apply_velnor(f: velnor.BinaryFile, op: tuple[Any, ...]) -> Any:
    name, *args = op
    if name == "readinto":
        buf = bytearray(args[0])
        return await f.readinto(buf), bytes(buf)
    if name == "tell":
        return f.tell()
    return await getattr(f, name)(*args)


@settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(mode=st.sampled_from(MODES), initial=st.none() | st.binary(max_size=100),
       ops=st.lists(OPS, max_size=25), cold=st.booleans())
def test_operation_sequences_match_the_standard_library(
        run: Runner, disk_dir: Path, mode: str, initial: bytes | None,
        ops: list[tuple[Any, ...]], cold: bool) -> None:
    ours, theirs = file_pair(disk_dir, initial)

    async def main() -> None:
        # Failures compare by type: the messages of the raw file differ.
        ref = outcome(lambda: builtins.open(theirs, mode, buffering=0), message=False)
        f = await async_outcome(lambda: velnor.open(ours, mode, buffering=0), message=False)
        if isinstance(ref, Failed):
            assert f == ref
            return
        assert isinstance(f, velnor.BinaryFile)
        async with f:
            with ref:
                for op in ops:
                    if cold:
                        evict(ours, required=False)  # reads then miss the fast path
                    expected = outcome(lambda: apply_stdlib(ref, f.readable(), op), message=False)
                    got = await async_outcome(lambda: apply_velnor(f, op), message=False)
                    assert got == expected, op
                    assert f.tell() == ref.tell(), op

    run(main())
    assert_same_files(ours, theirs)


@pytest.mark.parametrize("size", [0, 1, PARALLEL_MIN - 1, PARALLEL_MIN, 3 * PARALLEL_MIN + 12345])
@pytest.mark.parametrize("cold", [False, True], ids=["cached", "cold"])
def test_whole_file_and_large_reads(run: Runner, disk_dir: Path, size: int, cold: bool,
                                    monkeypatch: pytest.MonkeyPatch) -> None:
    data = pattern(size)
    path = disk_dir / "f"
    path.write_bytes(data)
    parallel: list[int] = []
    real_read_parallel = _velnor.read_parallel

    def counting_read_parallel(handle: int, pos: int, length: int, chunk: int) -> Any:
        parallel.append(length)
        return real_read_parallel(handle, pos, length, chunk)

    monkeypatch.setattr(_velnor, "read_parallel", counting_read_parallel)

    async def main() -> None:
        async with velnor.open(path, "rb", buffering=0) as f:
            if cold:
                evict(path)
            assert await f.read() == data and f.tell() == size
            # A large read is split into chunks on the driver, cached or not:
            # copied on the loop thread it would stall every other task.
            assert parallel == ([size] if size >= PARALLEL_MIN else [])
            assert await f.read() == b""
            await f.seek(size // 3)
            if cold:
                evict(path)
            assert await f.read(size) == data[size // 3:]
            # A huge request on a small file asks for no more than the file holds.
            assert await f.pread(2**40, 0) == data
            if cold:
                evict(path)
            buf = bytearray(size + 7)
            await f.seek(0)
            assert await f.readinto(buf) == size and buf[:size] == data
            assert await f.size() == size

    run(main())


def test_appends_land_at_the_end_and_a_read_all_sees_them(run: Runner, disk_dir: Path) -> None:
    grown, path = disk_dir / "grown", disk_dir / "f"
    grown.write_bytes(pattern(PARALLEL_MIN))
    path.write_bytes(b"0123")

    async def main() -> None:
        async with velnor.open(grown, "rb", buffering=0) as f, velnor.open(grown, "ab", buffering=0) as g:
            evict(grown)
            await g.write(b"tail")
            assert await f.read() == pattern(PARALLEL_MIN) + b"tail"
        # The appending file's position follows the end.
        async with velnor.open(path, "ab+", buffering=0) as f, velnor.open(path, "ab", buffering=0) as other:
            assert f.tell() == 4
            await f.seek(1)
            assert await f.read(2) == b"12"
            assert await f.write(b"AB") == 2 and f.tell() == 6
            await other.write(b"xyz")  # another appender moves the end
            await f.seek(0)
            assert await f.write(b"C") == 1 and f.tell() == 10
            assert await f.write(b"") == 0 and f.tell() == 10
            assert await f.pread(100, 0) == b"0123ABxyzC"

    run(main())


def test_operations_on_one_file_from_many_tasks_are_serialised(run: Runner,
                                                               disk_dir: Path) -> None:
    path = disk_dir / "f"
    pieces = [bytes([65 + i]) * (i + 1) for i in range(24)]

    async def main() -> None:
        async with velnor.open(path, "wb+", buffering=0) as f:
            assert await asyncio.gather(*(f.write(p) for p in pieces)) == [len(p) for p in pieces]
            assert f.tell() == sum(map(len, pieces))
            await f.seek(0)
            evict(path)  # cached reads finish inline; these must wait for the driver
            # Each read takes the position the previous one left.
            got = await asyncio.gather(*(f.read(len(p)) for p in pieces))
            assert got == pieces
            await f.seek(0)
            seeks = await asyncio.gather(*(f.seek(1, os.SEEK_CUR) for _ in range(10)))
            assert seeks == list(range(1, 11))

    run(main())
    assert path.read_bytes() == b"".join(pieces)


@pytest.mark.parametrize("buffering", [0, -1])
def test_a_seek_asked_for_during_a_read_waits_for_it_and_goes_before_the_next(
        run: Runner, disk_dir: Path, buffering: int) -> None:
    # One task reads past what is copied on the spot (the driver does it,
    # the file held meanwhile) and reads again as soon as it has let go.
    # Another task's seek asked for meanwhile ends after the first read and
    # before the second, though both reads could skip the lock.
    path = disk_dir / "f"
    size = INLINE_COPY_MAX + 4096
    data = pattern(size)
    path.write_bytes(data)

    async def main() -> None:
        async with velnor.open(path, "rb", buffering=buffering) as f:
            async def holder() -> bytes:
                assert await f.read(size - 10) == data[:-10]
                return await f.read(2)

            first = asyncio.ensure_future(holder())
            await asyncio.sleep(0)
            assert not first.done()
            queued = asyncio.ensure_future(f.seek(0))
            await asyncio.sleep(0)
            assert not queued.done()
            assert await first == data[:2]
            assert await queued == 0
            assert f.tell() == 2

    run(main())


TOGETHER_SIZE = 20_000
TOGETHER_DATA = b"".join(b"%05d\n" % i for i in range(TOGETHER_SIZE // 6))
TOGETHER_OPS = st.one_of(
    # Reads of more than a buffer skip it; on cold pages reads go to the
    # driver, the file held meanwhile.
    st.tuples(st.just("read"), st.integers(-1, TOGETHER_SIZE)),
    st.tuples(st.just("read1"), st.integers(-1, 9000)),
    st.tuples(st.just("readinto"), st.integers(0, TOGETHER_SIZE)),
    st.tuples(st.just("readline"), st.integers(-1, 300)),
    st.tuples(st.just("peek"), st.integers(0, 100)),
    st.tuples(st.just("write"), st.binary(min_size=1, max_size=40)),
    st.tuples(st.just("seek"), st.integers(0, TOGETHER_SIZE), st.sampled_from([0, 1, 2])),
    st.tuples(st.just("flush")),
    st.tuples(st.just("truncate"), st.none() | st.integers(0, TOGETHER_SIZE)),
)


async def file_outcomes(path: Path, mode: str, buffering: int, ops: list[tuple[Any, ...]], *,
                        cold: bool = False, together: bool = False, cancel: list[bool] | None = None,
                        turns: int = 0) -> tuple[list[Any], Any, bytes]:
    """What `ops` give on a file of TOGETHER_DATA (one after another, or as
    tasks started together, see `outcomes_together`), the position they
    leave and the file's bytes once closed."""
    path.write_bytes(TOGETHER_DATA)
    async with velnor.open(path, mode, buffering=buffering) as f:
        if cold:
            evict(path, required=False)
        calls = [lambda op=op: apply_any(f, op) for op in ops]
        if together:
            got = await outcomes_together(calls, cancel, turns)
        else:
            got = [await async_outcome(call) for call in calls]
        end = outcome(f.tell)
    return got, end, path.read_bytes()


async def apply_any(f: Any, op: tuple[Any, ...]) -> Any:
    name, *args = op
    if name == "readinto":
        buf = bytearray(args[0])
        return await f.readinto(buf), bytes(buf)
    if name == "seek" and args[1] != os.SEEK_SET:
        args[0] -= TOGETHER_SIZE // 2  # both ways from where it is, or from the end
    return await getattr(f, name)(*args)


@settings(max_examples=int(os.environ.get("VELNOR_EXAMPLES", "60")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(mode=st.sampled_from(["rb+", "ab+"]), buffering=st.sampled_from([-1, 0, 7]),
       ops=st.lists(TOGETHER_OPS, min_size=2, max_size=12), cold=st.booleans())
# A read that waited for the lock took the whole buffer, however little it asked for.
@example(mode="rb+", buffering=-1, ops=[("read", 1), ("read", 0)], cold=True)
# A read from the driver that skipped the buffer held only the raw file: the
# truncate asked for after it took the position from before it.
@example(mode="rb+", buffering=-1, ops=[("read", -1), ("truncate", None)], cold=True)
# A seek that waited dropped the buffer a seek made at once keeps.
@example(mode="rb+", buffering=-1, ops=[("read", 1), ("seek", 1, 0), ("peek", 0)], cold=True)
def test_operations_started_together_end_as_they_would_one_after_another(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch, mode: str, buffering: int,
        ops: list[tuple[Any, ...]], cold: bool) -> None:
    # Tasks started in order that share one file see its operations in that
    # order, whatever each one waits for: the reads that the page cache or
    # the buffer serve at once, those the driver serves with the file held,
    # and the ones that skip the buffer. (A turn given to the loop before an
    # operation starts lets later tasks go first, as any await before the
    # call would: the loop's pacing is held off.)
    hold_pacing_off(monkeypatch)

    async def main() -> None:
        one_by_one = await file_outcomes(disk_dir / "a", mode, buffering, ops, cold=cold)
        assert await file_outcomes(disk_dir / "b", mode, buffering, ops, cold=cold, together=True) == one_by_one

    run(main())


CANCELLABLE = ("read", "read1", "readinto", "readline", "peek", "seek", "flush")


@settings(max_examples=int(os.environ.get("VELNOR_EXAMPLES", "60")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(buffering=st.sampled_from([-1, 0, 7]), ops=st.lists(TOGETHER_OPS, min_size=2, max_size=10),
       cancelled=st.lists(st.booleans(), min_size=10, max_size=10), turns=st.integers(0, 3),
       cold=st.booleans())
# The read wrote out the buffer first and was cancelled meanwhile: the
# written bytes were gone.
@example(buffering=-1, ops=[("write", b"\x00"), ("read", 1)], cancelled=[False, True] + [False] * 8,
         turns=1, cold=False)
def test_reads_seeks_and_flushes_cancelled_among_operations_started_together_leave_no_trace(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch, buffering: int,
        ops: list[tuple[Any, ...]], cancelled: list[bool], turns: int, cold: bool) -> None:
    # Reads, seeks and flushes cancelled while they wait (for the lock, the
    # driver, the buffer to fill or be written out): the others end as the
    # same operations without them would, one after another. (A flush
    # cancelled leaves its bytes to the next write-out.)
    hold_pacing_off(monkeypatch)
    cancel = [stop and op[0] in CANCELLABLE for op, stop in zip(ops, cancelled)]

    async def main() -> None:
        got, end, data = await file_outcomes(disk_dir / "together", "rb+", buffering, ops, cold=cold,
                                             together=True, cancel=cancel, turns=turns)
        kept = [i for i, one in enumerate(got) if not isinstance(one, asyncio.CancelledError)]
        assert ([got[i] for i in kept], end, data) == \
            await file_outcomes(disk_dir / "one_by_one", "rb+", buffering, [ops[i] for i in kept])

    run(main())


def test_tasks_waiting_for_a_buffered_file_get_their_turn_and_what_they_asked_for(
        run: Runner, disk_dir: Path) -> None:
    path = disk_dir / "f"
    path.write_bytes(b"0123456789")

    async def main() -> None:
        async with velnor.open(path, "rb") as f:
            f.raw._fast = None  # the buffer fills through the driver, the lock held
            # A read that waited took the whole buffer, however little it asked for.
            got = await asyncio.gather(f.read(3), f.read(2), f.read(0), f.read(1))
            assert got == [b"012", b"34", b"", b"5"]
            assert f.tell() == 6
            await f.seek(0)
            await f.seek(0, os.SEEK_END)  # drops the buffer: the next read fills it again

            # Right after the lock is released the task it woke has not run
            # yet; a read that the buffer could serve at once still waits
            # its turn (with locked() alone, it took the bytes after the old
            # position).
            async def holder() -> tuple[bytes, bytes]:
                await f.seek(0)
                first = await f.read(3)
                return first, await f.read(2)

            task = asyncio.ensure_future(holder())
            await asyncio.sleep(0)
            assert not task.done()
            queued = asyncio.ensure_future(f.seek(0))
            await asyncio.sleep(0)
            assert not queued.done()
            assert await task == (b"012", b"01")
            assert await queued == 0

    run(main())


def test_what_a_failed_write_out_did_not_write_stays_buffered_as_with_the_built_in(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = disk_dir / "f"
    path.write_bytes(b"0123456789")
    real_write = _velnor.write
    failures = [OSError(errno.ENOSPC, "No space left on device")]

    def write(*args: Any) -> Any:
        if failures:
            raise failures.pop()
        return real_write(*args)

    async def main() -> None:
        async with velnor.open(path, "rb+") as f:
            assert await f.write(b"AB") == 2
            monkeypatch.setattr(velnor._files._velnor, "write", write)
            with pytest.raises(OSError) as caught:
                await f.flush()
            assert caught.value.errno == errno.ENOSPC
            assert f.tell() == 2
            await f.seek(4)  # writes it out first, this time with room
            assert await f.read(2) == b"45"
            # A read that writes the buffer out first is cancelled before the
            # kernel took anything: the bytes stay for the next write-out.
            assert await f.write(b"XY") == 2
            stalled = asyncio.get_running_loop().create_future()

            async def stopped_write(self: Any, source: Any, taken: Any = None) -> int:
                await stalled
                raise AssertionError("never ends")

            monkeypatch.setattr(velnor._files.BinaryFile, "_write", stopped_write)
            reader = asyncio.ensure_future(f.read(1))
            await asyncio.sleep(0)
            reader.cancel()
            with pytest.raises(asyncio.CancelledError):
                await reader
            monkeypatch.undo()
    run(main())
    assert path.read_bytes() == b"AB2345XY89"


def test_a_file_without_a_fast_path_drops_it_and_reads_through_the_driver(
        run: Runner, tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    def writer() -> None:
        with builtins.open(fifo, "wb") as w:
            w.write(b"through the pipe")

    async def main() -> None:
        thread = threading.Thread(target=writer)
        thread.start()
        try:
            async with velnor.open(fifo, "rb", buffering=0) as f:
                assert not f.seekable()
                assert await f.read(7) == b"through"
                assert f._fast is None  # supported() said no once: never asked again
                # Sized like a large read, which on a regular file would be read in chunks.
                assert await f.read(PARALLEL_MIN) == b" the pipe"
                assert await f.read() == b""
        finally:
            await asyncio.to_thread(thread.join)

    run(main())
