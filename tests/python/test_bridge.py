"""The loop bridge: doorbell coalescing, the call_soon_threadsafe fallback,
shutdown, and the futures it settles."""

from __future__ import annotations

import asyncio
import fcntl
import gc
import os
import struct
import termios
import threading
import weakref
from typing import Any

import _velnor
import pytest

from support.files import write_fifo
from support.flags import READ_ONLY, RW, RW_CREATE
from support.loops import Runner, base_loop_class, run_on
from support.processes import run_script
from velnor.futures import KernelFuture


def pending_bytes(fd: int) -> int:
    return int(struct.unpack("i", fcntl.ioctl(fd, termios.FIONREAD, b"\0\0\0\0"))[0])


def counting_loop_class(kind: str) -> Any:
    """A loop that records, for each drain call, how many doorbell bytes
    were waiting in the pipe."""
    class CountingLoop(base_loop_class(kind)):  # type: ignore[misc,valid-type]
        def __init__(self) -> None:
            super().__init__()
            self.doorbells: list[int] = []

        def add_reader(self, fd: Any, callback: Any, *args: Any) -> Any:
            if type(callback).__name__ != "DrainHandle":
                return super().add_reader(fd, callback, *args)

            def counted(*a: Any) -> None:
                self.doorbells.append(pending_bytes(fd))
                callback(*a)
            return super().add_reader(fd, counted, *args)
    return CountingLoop


async def one_nop() -> None:
    await _velnor.probe_nop()


def test_burst_is_settled_without_a_ring_per_operation(run: Runner, loop_kind: str) -> None:
    # The loop that submitted them looks for their completions itself (or
    # one ring wakes it, and one drain takes them all).
    async def main() -> list[int]:
        loop: Any = asyncio.get_running_loop()
        await _velnor.probe_nop()  # the bridge exists and is quiet again
        loop.doorbells.clear()
        futures = [_velnor.probe_nop() for _ in range(1000)]
        # The driver runs operations in the order it receives them, so once
        # a nop submitted later from another loop has come back, all 1000
        # are queued on this loop's bridge. This loop does not run meanwhile.
        helper = threading.Thread(target=asyncio.run, args=(one_nop(),))
        helper.start()
        helper.join()
        assert not any(f.done() for f in futures)
        results = await asyncio.gather(*futures)
        assert results == [None] * 1000
        return list(loop.doorbells)

    assert run(main(), counting_loop_class(loop_kind)) in ([], [1])


def test_the_loop_stops_looking_once_nothing_is_in_flight(run: Runner, loop_kind: str) -> None:
    # While an operation is in flight the loop looks for its completion each
    # turn; once it has come there is nothing left to find, and looking on
    # would only cost every turn a call until the look's time ran out.
    class Looking(base_loop_class(loop_kind)):  # type: ignore[misc,valid-type]
        def __init__(self) -> None:
            super().__init__()
            self.log: list[str] = []

        def call_soon(self, callback: Any, *args: Any, **kw: Any) -> Any:
            if type(callback).__name__ == "DrainHandle":
                self.log.append("look")
            return super().call_soon(callback, *args, **kw)

    async def main() -> None:
        loop: Any = asyncio.get_running_loop()
        await _velnor.probe_nop()
        for _ in range(50):
            loop.log.append("submit")
            await _velnor.probe_nop()
            loop.log.append("settled")
            for _ in range(3):
                await asyncio.sleep(0)
        # Every look comes between a submission and the settling of its result.
        codes = {"submit": "u", "settled": "e", "look": "l"}
        rounds = "".join(codes[m] for m in loop.log).split("u")
        assert not [r for r in rounds if "l" in r.partition("e")[2]], rounds

    run(main(), Looking)


def reader_recording_loop(kind: str, readers: list[tuple[Any, Any]]) -> type[asyncio.AbstractEventLoop]:
    """A loop of `kind` that notes the (descriptor, callback) of every add_reader."""

    class Recording(base_loop_class(kind)):  # type: ignore[misc,valid-type]
        def add_reader(self, fd: Any, callback: Any, *args: Any) -> Any:
            readers.append((fd, callback))
            return super().add_reader(fd, callback, *args)

    return Recording


def test_one_bridge_per_loop_and_its_drain_handle(run: Runner, loop_kind: str) -> None:
    readers: list[tuple[Any, Any]] = []

    async def main() -> None:
        await _velnor.probe_nop()
        ((_, drain),) = readers
        cls = type(drain)
        assert (cls.__name__, cls.__module__, cls.__doc__) == ("DrainHandle", "builtins", "")
        assert cls.__bases__ == (object,)
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError, match=r"takes 0 positional arguments but 1 was given"):
            drain(1)
        assert drain() is None  # an extra call finds nothing to do
        # Later submissions reuse the bridge built by the first.
        for _ in range(5):
            await _velnor.probe_nop()
        await asyncio.gather(*(_velnor.probe_nop() for _ in range(50)))

    run(main(), reader_recording_loop(loop_kind, readers))
    assert len(readers) == 1


def no_readers_loop(kind: str, log: list[str]) -> type[asyncio.AbstractEventLoop]:
    """A loop of `kind` without add_reader, so the driver thread rings by
    call_soon_threadsafe; `log` gets each callback's type name and the
    message of each refusal (not the exception: its frames hold the loop)."""

    class NoReaders(base_loop_class(kind)):  # type: ignore[misc,valid-type]
        def add_reader(self, *args: Any) -> Any:
            raise NotImplementedError

        def call_soon_threadsafe(self, callback: Any, *args: Any, **kw: Any) -> Any:
            log.append(type(callback).__name__)
            try:
                return super().call_soon_threadsafe(callback, *args, **kw)
            except RuntimeError as e:
                log.append(str(e))
                raise

    return NoReaders


def test_loop_without_add_reader_is_woken_by_call_soon(run: Runner, loop_kind: str,
                                                        tmp_path: Any) -> None:
    scheduled: list[str] = []

    async def main() -> None:
        assert await _velnor.probe_nop() is None
        h, _, _ = await _velnor.open(tmp_path / "f", *RW_CREATE)
        assert await _velnor.size(h) == 0
        await _velnor.close(h)
        assert await asyncio.gather(*(_velnor.probe_nop() for _ in range(100))) == [None] * 100

    run(main(), no_readers_loop(loop_kind, scheduled))
    assert scheduled and set(scheduled) == {"DrainHandle"}


def test_resolved_future_probe(run: Runner) -> None:
    async def main() -> None:
        fut = _velnor.probe_resolved_future()
        assert type(fut) is not KernelFuture and isinstance(fut, asyncio.Future)
        assert fut.done() and fut.result() is None
        assert await fut is None

    run(main())


def test_a_bridge_that_cannot_make_futures_is_not_built() -> None:
    # The first bridge of a loop gets the futures' class, even when only
    # the probe asks for it; without velnor.futures there is no bridge, and
    # one is built once the module is back.
    proc = run_script("""
        import asyncio, sys
        import _velnor

        async def main():
            sys.modules["velnor.futures"] = None
            try:
                _velnor.probe_resolved_future()
            except ImportError:
                print("refused")
            del sys.modules["velnor.futures"]
            await _velnor.probe_resolved_future()
            await _velnor.probe_nop()
            print("built")

        asyncio.run(main())
    """)
    assert proc.stdout.split() == ["refused", "built"]


def test_op_ids_are_increasing_one_tuples(run: Runner) -> None:
    async def main() -> None:
        futures = [_velnor.probe_nop() for _ in range(3)]
        ids = [f.op_ids for f in futures]
        assert all(type(i) is tuple and len(i) == 1 and type(i[0]) is int for i in ids)
        assert [i[0] for i in ids] == list(range(ids[0][0], ids[0][0] + 3))
        await asyncio.gather(*futures)

    run(main())


def test_late_results_of_cancelled_futures_are_absorbed(run: Runner, tmp_path: Any) -> None:
    # A cancel request leaves the future to settle truthfully: cancelled if
    # the driver noticed it, else with the operation's own outcome. An error
    # arriving then must not be reported as never retrieved (the runner fails
    # on any report), and nothing may raise in the drain.
    async def main() -> None:
        ok = _velnor.probe_nop()
        failing = _velnor.open(str(tmp_path / "missing"), *READ_ONLY)
        assert not ok.cancel() and not failing.cancel()
        assert not ok.done() and not failing.done()
        await asyncio.wait([ok, failing])
        assert ok.cancelled() or ok.result() is None
        assert failing.cancelled() or isinstance(failing.exception(), FileNotFoundError)
        # The user settling a future first: the drain's late result is absorbed.
        late = _velnor.probe_nop()
        late.set_result("mine")
        await _velnor.probe_nop()
        assert late.result() == "mine"
        del ok, failing, late
        gc.collect()

    run(main())


def test_settle_cancelled(run: Runner) -> None:
    async def main() -> None:
        loop = asyncio.get_running_loop()
        fut = KernelFuture(loop=loop)
        assert fut.op_ids == ()
        fut.settle_cancelled()
        assert fut.cancelled()
        fut.settle_cancelled()  # settling twice is harmless
        done = KernelFuture(loop=loop)
        done.set_result(5)
        done.settle_cancelled()
        assert done.result() == 5
        with pytest.raises(asyncio.CancelledError):
            await fut

    run(main())


def test_submission_outside_a_loop_still_starts_the_driver() -> None:
    run_script("""
        import _velnor
        from support.processes import driver_threads
        assert driver_threads() == 0
        try:
            _velnor.probe_nop()
        except RuntimeError as e:
            assert "no running event loop" in str(e)
        else:
            raise AssertionError("no error")
        assert driver_threads() == 1
    """)


def test_after_shutdown_futures_wait_for_an_explicit_drain() -> None:
    run_script("""
        import asyncio, _velnor

        drains = []

        class Loop(asyncio.SelectorEventLoop):
            def add_reader(self, fd, callback, *args):
                drains.append(callback)
                return super().add_reader(fd, callback, *args)

        async def main():
            await _velnor.probe_nop()
            _velnor.shutdown()
            assert _velnor.backend_name().startswith("compio-")
            fut = _velnor.probe_nop()
            for _ in range(2000):
                await asyncio.sleep(0.005)
                assert not fut.done()   # no doorbell rings any more
                drains[0]()             # an explicit drain still settles
                if fut.done():
                    break
            assert fut.done() and fut.result() is None

        with asyncio.Runner(loop_factory=Loop) as r:
            r.run(main())
    """)


def test_cancel_forwards_the_op_ids_once(run: Runner, monkeypatch: pytest.MonkeyPatch) -> None:
    sent: list[object] = []
    monkeypatch.setattr(_velnor, "cancel_ops", sent.append)

    async def main() -> None:
        fut = _velnor.probe_nop()
        assert not fut.cancel() and not fut.cancel()
        assert sent == [fut.op_ids] and fut.abort_requested
        assert await fut is None  # the patched cancel_ops sent nothing: the nop completes
        bare = KernelFuture(loop=asyncio.get_running_loop())
        assert bare.cancel() and bare.cancelled()  # no ops: cancelled at once, nothing sent
        assert sent == [fut.op_ids]

    run(main())


def test_cancelling_a_pending_read(run: Runner, tmp_path: Any) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)

    async def main() -> None:
        h, _, _ = await _velnor.open(fifo, *RW)
        blocked = _velnor.read(h, 0, 5)
        await _velnor.probe_nop()  # the read has reached the driver
        assert not blocked.cancel()
        # The read waiting for a writer is withdrawn from the kernel, and the
        # drain settles the future cancelled without any data arriving.
        with pytest.raises(asyncio.CancelledError):
            await blocked
        reader = _velnor.read(h, 0, 6)
        write_fifo(fifo, b"second")
        assert await reader == b"second"
        await _velnor.close(h)

    run(main())


async def read_left_in_flight(fifo: Any, state: dict[str, Any]) -> None:
    """Opens the FIFO and leaves a read waiting on it when the loop ends."""
    state["loop"] = weakref.ref(asyncio.get_running_loop())
    state["handle"], _, _ = await _velnor.open(fifo, *RW)
    _velnor.read(state["handle"], 0, 5)


async def until_loop_released(state: dict[str, Any]) -> None:
    for _ in range(1000):
        await asyncio.sleep(0.01)
        _velnor.probe_ffi()  # a module entry releases what was deferred
        gc.collect()
        if state["loop"]() is None:
            break
    assert state["loop"]() is None


def test_bridge_outliving_its_loop_is_released_under_the_lock(loop_kind: str,
                                                             tmp_path: Any) -> None:
    # A read still in flight when its loop closes keeps that loop's bridge
    # alive through its completion callback. Once another loop's submission
    # sweeps the closed loop out of the map, the callback holds the last
    # reference and drops it on the driver thread: the bridge (with the
    # loop and the read's future) must wait for the next module entry and
    # be released there, never on the driver thread.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    state: dict[str, Any] = {}

    async def second() -> None:
        await _velnor.probe_nop()  # a new bridge: the closed loop's is swept
        gc.collect()
        assert state["loop"]() is not None  # held by the read in flight
        write_fifo(fifo, b"hello")
        await until_loop_released(state)
        await _velnor.close(state["handle"])

    run_on(loop_kind, read_left_in_flight(fifo, state))
    run_on(loop_kind, second())


def test_closed_loop_refusing_call_soon_drops_its_bridge(loop_kind: str, tmp_path: Any) -> None:
    # On a loop without add_reader the driver thread rings by calling
    # call_soon_threadsafe. Once that loop is closed the call raises: the
    # queued completion is dropped unsettled and the bridge forgotten, and
    # nothing may crash or print.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    state: dict[str, Any] = {}
    log: list[str] = []

    async def second() -> None:
        write_fifo(fifo, b"hello")
        await until_loop_released(state)
        assert [m for m in log if m != "DrainHandle"] == ["Event loop is closed"]
        await _velnor.close(state["handle"])

    run_on(loop_kind, read_left_in_flight(fifo, state), no_readers_loop(loop_kind, log))
    run_on(loop_kind, second())


def test_a_loop_closed_while_it_looks_for_a_completion_lets_its_bridge_go(
        loop_kind: str, tmp_path: Any) -> None:
    # The loop closes with its next look for the read's completion still
    # scheduled, so the look never runs. The completion that comes later
    # must still reach the ringer, which forgets the closed loop's bridge.
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    state: dict[str, Any] = {}
    log: list[str] = []
    loop = no_readers_loop(loop_kind, log)()
    try:
        loop.run_until_complete(read_left_in_flight(fifo, state))
    finally:
        loop.close()
    del loop

    async def second() -> None:
        write_fifo(fifo, b"hello")
        await until_loop_released(state)
        await _velnor.close(state["handle"])

    run_on(loop_kind, second())


def test_a_loop_with_operations_in_flight_looks_for_their_completions(
        run: Runner, loop_kind: str) -> None:
    # The loop that submits an operation looks for its completion itself
    # on its next turns, instead of sleeping until the doorbell wakes it:
    # the driver does not ring for it. Gaps around how long the loop keeps
    # looking, with a loop elsewhere using the driver too, never lose one.
    import time

    async def main() -> list[int]:
        loop: Any = asyncio.get_running_loop()
        await _velnor.probe_nop()
        await asyncio.sleep(0.01)  # the looks are over, the bridge quiet
        loop.doorbells.clear()
        for _ in range(20):
            future = _velnor.probe_nop()
            # As in the burst above: once a later nop of another loop is
            # back, this one is queued on the bridge, while this loop has
            # not run; its next turn finds it.
            helper = threading.Thread(target=asyncio.run, args=(one_nop(),))
            helper.start()
            helper.join()
            await future
        rings = list(loop.doorbells)
        stop = threading.Event()

        def elsewhere() -> None:
            async def nops() -> None:
                while not stop.is_set():
                    await _velnor.probe_nop()
            asyncio.run(nops())

        helper = threading.Thread(target=elsewhere)
        helper.start()
        try:
            for gap in [0.0, 5e-6, 20e-6, 45e-6, 55e-6, 80e-6, 200e-6, 1e-3] * 30:
                until = time.perf_counter() + gap
                while time.perf_counter() < until:
                    pass  # the loop held, as by a task that computes
                if gap > 100e-6:
                    await asyncio.sleep(gap)
                await asyncio.wait_for(_velnor.probe_nop(), 10)
        finally:
            stop.set()
            helper.join()
        return rings

    assert run(main(), counting_loop_class(loop_kind)) == []


def test_a_loop_stopped_or_closed_while_it_looks_for_completions(loop_kind: str) -> None:
    async def submit_only() -> Any:
        return _velnor.probe_nop()  # not awaited: the loop stops with its look scheduled

    loop = base_loop_class(loop_kind)()
    try:
        future = loop.run_until_complete(submit_only())
        assert loop.run_until_complete(future) is None  # run again, the look settles it
        loop.run_until_complete(submit_only())
    finally:
        loop.close()  # with a look still scheduled

    async def main() -> None:
        for _ in range(100):
            await _velnor.probe_nop()

    run_on(loop_kind, main())
    gc.collect()
    run_on(loop_kind, main())
