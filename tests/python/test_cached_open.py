"""Files opened on the loop thread from the kernel's caches: the descriptor
reaches the driver only when an operation needs it, exactly once, and is
closed by whoever owns it at the end; the lock is skipped only when nobody
holds or waits for it; no inline copy is large."""

from __future__ import annotations

import asyncio
import gc
import os
import threading
import time
import warnings
from pathlib import Path
from collections.abc import Awaitable, Callable
from typing import Any

import _velnor
import pytest

import velnor
import velnor._buffered
import velnor._files
import velnor._kernel
import velnor._pace
import velnor.os
from support.fds import assert_no_fd_leak, fd_count, settled_fd_count
from support.files import evict, pattern
from support.loops import Runner, cancelled_after
from velnor._kernel import INLINE_COPY_MAX, PARALLEL_MIN


class Calls:
    """Counts the calls of one `_velnor` function, still calling it."""

    def __init__(self, monkeypatch: pytest.MonkeyPatch, name: str) -> None:
        self.args: list[tuple[Any, ...]] = []
        real = getattr(_velnor, name)

        def counting(*args: Any) -> Any:
            self.args.append(args)
            return real(*args)

        monkeypatch.setattr(_velnor, name, counting)


def test_open_cached_and_try_read_file_max(tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"abc")
    opened = _velnor.open_cached(path)
    assert opened is not None
    fd, blksize, size = opened
    try:
        # The descriptor is kept: it must block like any other, not carry
        # the O_NONBLOCK that made the open safe.
        assert os.get_blocking(fd) and os.pread(fd, 10, 0) == b"abc"
        assert (blksize, size) == (os.fstat(fd).st_blksize, 3)
    finally:
        os.close(fd)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    for refused in (tmp_path, fifo, tmp_path / "missing", "/dev/null", f"{path}\0x"):
        assert _velnor.open_cached(refused) is None
        assert _velnor.try_read_file_max(refused, 10) is None
    assert _velnor.try_read_file_max(path, 3) == b"abc"
    big = _velnor.try_read_file_max(path, 2)
    assert isinstance(big, int)
    try:
        assert os.pread(big, 10, 0) == b"abc"
    finally:
        os.close(big)
    plain = os.open(path, os.O_RDONLY)
    try:
        fp = _velnor.FastPath(plain)
        assert fp.read_all_max(0, 3) == b"abc" and fp.read_all_max(1, 2) == b"bc"
        assert fp.read_all_max(0, 2) is None
        # A size given is trusted only where the end really is.
        assert fp.read_all_max(0, 3, 3) == b"abc" and fp.read_all_max(1, 3, size=3) == b"bc"
        assert fp.read_all_max(0, 3, 2) is None and fp.read_all_max(0, 9, 4) is None
        assert fp.read_all_max(0, 3, None) == b"abc"
    finally:
        os.close(plain)
    with pytest.raises(TypeError, match="argument 'path'"):
        _velnor.open_cached(bytes(path))


def test_cached_file_never_reaches_the_driver(run: Runner, disk_dir: Path,
                                              monkeypatch: pytest.MonkeyPatch) -> None:
    path = disk_dir / "f"
    path.write_bytes(pattern(10_000))
    path.read_bytes()
    adopted = Calls(monkeypatch, "adopt")
    opened = Calls(monkeypatch, "open")
    closed = Calls(monkeypatch, "close")

    async def main() -> None:
        fds = fd_count()
        for _ in range(3):
            async with velnor.open(path, "rb", buffering=0) as f:
                assert await f.read(10) == pattern(10)
                assert await f.read() == pattern(10_000)[10:]
                assert await f.seek(5) == 5 and await f.pread(5, 0) == pattern(5)
                assert await f.size() == 10_000
            assert f.closed
            async with velnor.open(str(path), "rb") as g:
                assert await g.read(10) == pattern(10) and await g.read() == pattern(10_000)[10:]
            h = await velnor.open(os.fsencode(path), "rb")
            assert await h.read() == pattern(10_000)
            await h.close()
            assert g.closed and h.closed
        # Closed on the spot, not by the driver: nothing is left open.
        assert fd_count() == fds

    run(main())
    assert adopted.args == [] and opened.args == [] and closed.args == []


def test_driver_operations_adopt_the_descriptor_once(run: Runner, disk_dir: Path,
                                                     monkeypatch: pytest.MonkeyPatch) -> None:
    path = disk_dir / "f"
    data = pattern(3 * INLINE_COPY_MAX)
    path.write_bytes(data)
    path.read_bytes()
    before = settled_fd_count()
    adopted = Calls(monkeypatch, "adopt")

    async def main() -> None:
        # Closed on every way out: a skip from `evict` leaves no open file
        # for the collector to warn about in a later test.
        async with velnor.open(path, "rb", buffering=0) as f:
            evict(path)
            # Several tasks need the driver at once: one hand-over serves them all.
            got = await asyncio.gather(f.pread(100, 0), f.pread(100, 100), f.sync(), f.read(50))
            assert got == [data[:100], data[100:200], None, data[:50]]
            assert len(adopted.args) == 1
            # A read too large to copy on the loop thread goes to the driver.
            assert await f.read() == data[50:]
        assert len(adopted.args) == 1

    run(main())
    assert_no_fd_leak(before)


@pytest.mark.parametrize("buffering", [0, -1])
def test_an_uncached_file_opened_on_the_spot_is_read_in_one_trip(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch, buffering: int) -> None:
    # No hand-over and no driver close: one trip to the driver for the read.
    path = disk_dir / "f"
    data = pattern(50_000)
    path.write_bytes(data)
    path.read_bytes()
    before = settled_fd_count()
    adopted = Calls(monkeypatch, "adopt")
    closed = Calls(monkeypatch, "close")
    owned = Calls(monkeypatch, "read_owned_to_end")

    async def main() -> None:
        for start in (0, 1000, 50_000, 60_000):
            async with velnor.open(path, "rb", buffering=buffering) as f:
                evict(path)
                await f.seek(start)
                assert await f.read() == data[start:]
                assert f.tell() == max(start, 50_000)
                assert await f.read() == b""
        # A cancelled read moves nothing, and the file reads on.
        async with velnor.open(path, "rb", buffering=buffering) as f:
            evict(path)
            task = asyncio.ensure_future(f.read())
            await asyncio.sleep(0)
            task.cancel()
            try:
                assert await task == data  # the read had already finished
            except asyncio.CancelledError:
                assert f.tell() == 0
            evict(path)
            await f.seek(0)
            assert await f.read() == data
        # Closed while the read is in flight: the read still ends with the data.
        f = await velnor.open(path, "rb", buffering=0)
        evict(path)
        reading = asyncio.ensure_future(f.read())
        await asyncio.sleep(0)
        await f.close()
        assert f.closed and await reading == data

    run(main())
    assert adopted.args == [] and closed.args == []
    assert_no_fd_leak(before)
    if not owned.args:
        # A disk that answers inside the no-wait read that starts it leaves
        # nothing for the driver to read.
        pytest.skip("every read was served on the spot")


def test_a_read_whose_miss_started_the_disk_read_waits_for_the_data_itself(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # The page a miss started reading in comes sooner than a sleeping
    # driver would: the read looks for it between the loop's other tasks,
    # and goes to the driver only when it does not come in time.
    path = disk_dir / "f"
    data = pattern(64 * 1024)
    path.write_bytes(data)
    started: list[bool] = []
    real_in_flight = _velnor.miss_in_flight

    def in_flight() -> bool:
        started.append(real_in_flight())
        return started[-1]

    monkeypatch.setattr(_velnor, "miss_in_flight", in_flight)
    driver_reads = Calls(monkeypatch, "read")

    async def reads(f: velnor.BinaryFile) -> None:
        for pos in (0, 12_288, 40_000, 65_000):
            # Unchecked: the check is a miss of its own, after which a read
            # leaves a missing page to the driver without starting it.
            evict(path, required=False)
            await f.seek(pos)
            assert await f.read(4096) == data[pos:pos + 4096]
            assert f.tell() == min(pos + 4096, len(data))

    async def main() -> None:
        async with velnor.open(path, "rb", buffering=0) as f:
            await reads(f)
            assert driver_reads.args == []
            # A cancelled wait moves nothing, and the file reads on.
            evict(path, required=False)
            await f.seek(100)
            task = asyncio.ensure_future(f.read(10))
            await asyncio.sleep(0)
            await asyncio.sleep(0)
            task.cancel()
            try:
                assert await task == data[100:110]
            except asyncio.CancelledError:
                assert f.tell() == 100
            pos = f.tell()
            assert await f.read(10) == data[pos:pos + 10]
        # Closed while it waits, and the number taken by another file: the
        # read still ends with this file's data.
        other = disk_dir / "other"
        other.write_bytes(b"x" * len(data))
        for _ in range(3):
            f = await velnor.open(path, "rb", buffering=0)
            evict(path, required=False)
            reading = asyncio.ensure_future(f.read(4096))
            await asyncio.sleep(0)
            await f.close()
            with open(other, "rb") as taken:
                assert await reading == data[:4096], taken.fileno()
        async with velnor.open(path, "rb", buffering=0) as f:
            # Data that does not come in time is the driver's to read.
            monkeypatch.setattr(velnor._kernel, "ARRIVAL_WAIT", 0.0)
            await reads(f)

    # However slow the disk, the data comes within the wait.
    monkeypatch.setattr(velnor._kernel, "ARRIVAL_WAIT", 5.0)
    run(main())
    if True not in started:
        pytest.skip("every read was served on the spot")


def test_cancelled_hand_over_still_completes(run: Runner, disk_dir: Path) -> None:
    path = disk_dir / "f"
    path.write_bytes(pattern(100))
    path.read_bytes()
    before = settled_fd_count()

    async def main() -> None:
        for turns in range(4):
            f = await velnor.open(path, "rb", buffering=0)
            await cancelled_after(turns, f.sync())
            # The file still works and still closes, whatever the hand-over
            # was doing when its first user gave up.
            assert await f.pread(100, 0) == pattern(100)
            await f.close()
        f = await velnor.open(path, "rb", buffering=0)
        closing = asyncio.ensure_future(f.close())
        await asyncio.sleep(0)
        assert closing.done() and f.closed
        f = await velnor.open(path, "rb", buffering=0)
        syncing = asyncio.ensure_future(f.sync())
        await asyncio.sleep(0)
        closing = asyncio.ensure_future(f.close())
        await asyncio.sleep(0)
        closing.cancel()
        with pytest.raises(asyncio.CancelledError):
            await closing
        await syncing

    run(main())
    assert_no_fd_leak(before)


def test_unclosed_cached_file_is_closed_by_the_collector(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"x")

    async def main() -> None:
        fds = fd_count()
        f = await velnor.open(path, "rb", buffering=0)
        assert fd_count() == fds + 1
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del f
            gc.collect()
        assert [w.category for w in caught] == [ResourceWarning]
        assert fd_count() == fds

    run(main())


def test_lock_free_read_keeps_its_turn(run: Runner, disk_dir: Path) -> None:
    """A read that finds the lock held or waited for queues behind it, even
    when its own data is cached: otherwise it would read at a position that
    the earlier reads are about to move."""
    path = disk_dir / "f"
    data = pattern(1000)
    path.write_bytes(data)

    async def main() -> None:
        async with velnor.open(path, "rb", buffering=0) as f:
            evict(path)
            first = asyncio.ensure_future(f.read(400))  # goes to the driver
            await asyncio.sleep(0)
            second = asyncio.ensure_future(f.read(100))  # waits for the lock
            await asyncio.sleep(0)
            path.read_bytes()  # from here on every read would be served at once
            third = await f.read(100)
            assert await first == data[:400]
            assert await second == data[400:500]
            assert third == data[500:600] and f.tell() == 600

    run(main())


def test_large_whole_file_reads_go_to_the_driver(run: Runner, disk_dir: Path,
                                                 monkeypatch: pytest.MonkeyPatch) -> None:
    path = disk_dir / "f"
    small, large = pattern(INLINE_COPY_MAX), pattern(PARALLEL_MIN + 5)
    path.write_bytes(large)
    (disk_dir / "s").write_bytes(small)
    parallel = Calls(monkeypatch, "read_parallel")
    before = settled_fd_count()

    async def main() -> None:
        assert await velnor.read_bytes(disk_dir / "s") == small
        assert parallel.args == []
        for cold in (False, True):
            if cold:
                evict(path)
            else:
                path.read_bytes()
            assert await velnor.read_bytes(path) == large
        assert [a[2] for a in parallel.args] == [len(large)] * 2

    run(main())
    assert_no_fd_leak(before)


def test_a_fifo_is_never_opened_so_a_waiting_writer_keeps_waiting(tmp_path: Path) -> None:
    # Even a non-blocking open for reading lets a writer waiting in open(2)
    # go ahead, and it then writes to a pipe nobody reads.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    opened = threading.Event()

    def writer() -> None:
        fd = os.open(fifo, os.O_WRONLY)
        opened.set()
        os.close(fd)

    thread = threading.Thread(target=writer)
    thread.start()
    try:
        time.sleep(0.05)  # the writer is waiting in open(2)
        assert _velnor.open_cached(str(fifo)) is None
        assert not opened.wait(0.2)
    finally:
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        thread.join()
        os.close(reader)


def test_operations_served_on_the_spot_still_give_the_loop_its_turns(run: Runner, tmp_path: Path) -> None:
    # Each of these completes without suspending when its data is cached or
    # buffered: a task doing nothing else would keep every other task waiting.
    path = tmp_path / "f"
    path.write_bytes(b"line of text\n" * 100_000)
    out = tmp_path / "out"

    async def main() -> None:
        binary = await velnor.open(path, "rb", buffering=0)
        buffered = await velnor.open(path, "rb")
        text = await velnor.open(path, encoding="utf-8")
        # A buffer that never fills: the writes never reach the file.
        writer = await velnor.open(out, "wb", buffering=1 << 24)
        block = bytearray(4096)

        async def reread() -> None:
            await binary.seek(0)
            await binary.read(4096)

        async def open_read_close() -> None:
            async with velnor.open(path, "rb") as f:
                await f.read(100)

        async def open_close() -> None:
            async with velnor.open(str(path), "rb"):  # a str: the commonest call's own way
                pass

        async def text_open_close() -> None:
            async with velnor.open(str(path), encoding="utf-8"):
                pass

        stretches: list[tuple[str, Callable[[], Awaitable[Any]]]] = [
            ("read", reread),
            ("pread", lambda: binary.pread(4096, 0)),
            ("readinto", lambda: binary.readinto(block)),
            ("readline", binary.readline),
            ("buffered read", lambda: buffered.read(1)),
            ("buffered write", lambda: writer.write(b"x")),
            ("text read", lambda: text.read(1)),
            ("read_bytes", lambda: velnor.read_bytes(path)),
            ("open, read, close", open_read_close),
            ("open, close", open_close),
            ("text open, close", text_open_close),
            ("text readline", text.readline),
            ("stat", lambda: velnor.os.stat(str(path))),
            # A driver round trip that comes back within microseconds is
            # waited for on the spot: the same stretches hold it. Here the
            # waits may last long enough that nearly every one comes back
            # in time, as on a machine whose driver never misses a beat.
            ("driver round trip", _velnor.probe_nop),
        ]
        velnor._pace._turns.catch_completions(0.05)
        try:
            for name, op in stretches:
                # Warmed up first: what is waited for on the spot is so only
                # once completions have been seen to come that fast.
                for _ in range(200):
                    await op()
                await binary.seek(0)
                turns = 0
                done = False

                async def tick() -> None:
                    nonlocal turns
                    while not done:
                        await asyncio.sleep(0)
                        turns += 1

                ticker = asyncio.ensure_future(tick())
                await asyncio.sleep(0)
                turns = 0
                # Turns come every half millisecond of such work: two of
                # them soon, however slow the machine (a sanitizer, a
                # collection). Without them the ticker waits to the end.
                until = time.perf_counter() + 2
                ops = 0
                while turns < 2 and time.perf_counter() < until:
                    await op()
                    ops += 1
                done = True
                await ticker
                assert turns >= 2, (name, ops)
        finally:
            velnor._pace._turns.catch_completions(velnor._pace.CATCH)
            for f in (binary, buffered, text, writer):
                await f.close()

    run(main())


def test_a_file_that_changed_since_its_open_is_read_as_it_is_now(run: Runner, tmp_path: Path) -> None:
    # The open learnt the file's size, and its first read to the end trusts
    # it only as far as the end is really there.
    path = tmp_path / "f"

    async def main() -> None:
        for buffering in (0, -1):
            for change in (b"0123456789abcdef", b"0123", b"", b"0123456789"):
                path.write_bytes(b"0123456789")
                async with velnor.open(path, "rb", buffering=buffering) as f:
                    path.write_bytes(change)
                    assert await f.read() == change, (buffering, change)
                    assert await f.read() == b""
                async with velnor.open(path, "rb", buffering=buffering) as f:
                    assert await f.read(2) == change[:2]
                    with path.open("ab") as more:
                        more.write(b"XY")
                    assert await f.read() == change[2:] + b"XY", (buffering, change)

    run(main())


def test_a_turn_given_before_an_operation_loses_nothing_when_cancelled(
        run: Runner, tmp_path: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    # The turn comes before the read takes anything: cancelled there, the
    # data stays for the next read.
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")
    monkeypatch.setattr(velnor._files, "turn_due", lambda: True)
    monkeypatch.setattr(velnor._buffered, "turn_due", lambda: True)
    # The reads' own combined check says "not here" then, as it does when due.
    monkeypatch.setattr(velnor._files, "read_here", lambda *args: False)
    monkeypatch.setattr(velnor._buffered, "read_here", lambda *args: False)

    async def main() -> None:
        for buffering in (0, -1):
            async with velnor.open(path, "rb", buffering=buffering) as f:
                task = asyncio.ensure_future(f.read(4))
                await asyncio.sleep(0)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
                assert await f.read(4) == b"0123", buffering

    run(main())


def test_a_stretch_ends_with_the_loops_turn() -> None:
    # Only time spent without the loop turning counts: an operation after
    # a wait pays no extra turn, on this loop or on the next one.
    from velnor._pace import TURN, turn_due

    async def stretch() -> None:
        assert not turn_due()
        until = time.perf_counter() + 2 * TURN
        while time.perf_counter() < until:
            pass
        assert turn_due()

    async def main() -> None:
        await stretch()
        await asyncio.sleep(0)
        assert not turn_due()
        await asyncio.sleep(4 * TURN)
        assert not turn_due()
        await stretch()

    asyncio.run(main())
    asyncio.run(main())


def test_the_read_that_checks_loop_and_turn_reads_only_on_its_loop_and_in_time(disk_dir: Path) -> None:
    from velnor._pace import TURN, read_here, turn_due

    path = disk_dir / "f"
    data = pattern(8192)
    path.write_bytes(data)
    fd = os.open(path, os.O_RDONLY)
    fast = _velnor.FastPath(fd)

    async def main() -> None:
        loop = asyncio.get_running_loop()
        assert read_here(fast, 10, 100, loop) == data[10:110]
        other = asyncio.new_event_loop()
        try:
            assert read_here(fast, 0, 100, other) is False
        finally:
            other.close()
        until = time.perf_counter() + 2 * TURN
        while time.perf_counter() < until:
            pass
        assert read_here(fast, 0, 100, loop) is False
        assert turn_due()
        await asyncio.sleep(0)
        assert read_here(fast, 8000, 500, loop) == data[8000:]
        with pytest.raises(TypeError):
            read_here(object(), 0, 1, loop)
        with pytest.raises(TypeError):
            read_here(fast, 0, 1)  # type: ignore[call-arg]

    try:
        loop = asyncio.new_event_loop()
        loop.run_until_complete(main())
        assert read_here(fast, 0, 100, loop) is False  # no loop runs
        assert read_here(fast, 0, 100, None) is False
        loop.close()
    finally:
        os.close(fd)


def test_tasks_that_gave_the_loop_a_turn_go_on_a_few_at_a_time() -> None:
    # Tasks that all found the turn used up yield in one turn; were they all
    # to go on in the next, that turn would last as long as the one they
    # left. Each looks again, and goes on only while the turn has room.
    import collections

    from velnor._pace import TURN, give_turn, turn_due

    def hold() -> None:
        until = time.perf_counter() + 2 * TURN
        while time.perf_counter() < until:
            pass

    async def main() -> list[int]:
        loop = asyncio.get_running_loop()
        turn = 0

        def tick() -> None:
            nonlocal turn
            turn += 1
            loop.call_soon(tick)

        loop.call_soon(tick)
        went_on: list[int] = []

        async def task() -> None:
            await give_turn()
            went_on.append(turn)
            hold()

        assert not turn_due()
        hold()
        assert turn_due()
        await asyncio.gather(*(task() for _ in range(8)))
        return went_on

    went_on = asyncio.run(main())
    assert len(went_on) == 8
    assert max(collections.Counter(went_on).values()) <= 2, went_on


def test_tasks_waiting_for_a_turn_wake_once_each_and_many_to_a_turn() -> None:
    # Many tasks that found the turn used up: each is woken once, when it
    # goes on, not again and again to find the turn still used up; and when
    # their work is short, many go on in one turn rather than one a turn.
    from velnor._pace import TURN, give_turn, turn_due

    def hold(seconds: float) -> None:
        until = time.perf_counter() + seconds
        while time.perf_counter() < until:
            pass

    async def main(work: float) -> tuple[int, int]:
        loop = asyncio.get_running_loop()
        steps = 0
        real_call_soon = loop.call_soon

        def call_soon(callback: Any, *args: Any, **kwargs: Any) -> Any:
            nonlocal steps
            if isinstance(getattr(callback, "__self__", None), asyncio.Task) or "Task" in type(callback).__name__:
                steps += 1
            return real_call_soon(callback, *args, **kwargs)

        turns = 0

        def tick() -> None:
            nonlocal turns
            turns += 1
            real_call_soon(tick)

        real_call_soon(tick)

        async def task() -> None:
            for _ in range(3):
                if turn_due():
                    await give_turn()
                hold(work)

        tasks = [asyncio.ensure_future(task()) for _ in range(64)]
        loop.call_soon = call_soon  # type: ignore[method-assign]
        assert not turn_due()
        hold(2 * TURN)
        await asyncio.gather(*tasks)
        loop.call_soon = real_call_soon  # type: ignore[method-assign]
        return steps, turns

    steps, _ = asyncio.run(main(TURN / 8))
    # Each task: its first step, then at most one wake-up per turn it gave.
    assert steps <= 64 * 4, steps
    _, turns = asyncio.run(main(TURN / 1000))
    assert turns < 32, turns


def test_stretches_belong_to_their_thread_and_loop() -> None:
    # A stretch is one thread's: a loop elsewhere is not asked to turn.
    # A loop that stopped before its turn leaves its stretch behind; the
    # next loop starts its own, and the thread's end lets the old loop go.
    import weakref

    from velnor._pace import TURN, turn_due

    def hold() -> None:
        until = time.perf_counter() + 2 * TURN
        while time.perf_counter() < until:
            pass

    async def stopped_before_its_turn() -> None:
        assert not turn_due()
        hold()
        assert turn_due()
        raise SystemExit  # out of the loop at once: its turn never comes

    seen: list[Any] = []

    def elsewhere() -> None:
        loop = asyncio.new_event_loop()
        with pytest.raises(SystemExit):
            loop.run_until_complete(stopped_before_its_turn())
        loop.close()
        seen.append(weakref.ref(loop))
        del loop

        async def fresh() -> bool:
            return turn_due()

        seen.append(asyncio.run(fresh()))

    async def main() -> None:
        assert not turn_due()
        hold()
        worker = threading.Thread(target=elsewhere)
        worker.start()
        worker.join()
        assert turn_due()  # this thread's stretch is still due

    asyncio.run(main())
    gone, fresh_due = seen
    assert fresh_due is False
    gc.collect()
    assert gone() is None
    with pytest.raises(RuntimeError):
        turn_due()  # no running loop
    with pytest.raises(ValueError):
        _velnor.Turns(-1.0)
