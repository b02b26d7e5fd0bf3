"""The bridges between loops and the driver under unusual owners: loops that
are never closed, loops that misbehave or call velnor from their own
methods, sub-interpreters, and signals during the calling-thread probe."""

from __future__ import annotations

import asyncio
import gc
import os
import signal
import textwrap
import warnings
import weakref
from collections.abc import Awaitable, Callable
from pathlib import Path

import _velnor
import pytest
import velnor

from support.fds import fd_count, settled_fd_count
from support.loops import base_loop_class
from support.processes import failed_exits, other_interpreters, run_script


async def nop() -> None:
    await asyncio.wait_for(_velnor.probe_nop(), 10)


def run_and_drop(loop_kind: str, main: Callable[[], Awaitable[None]]) -> bool:
    """Runs `main` on a new loop left unclosed, drops the loop; whether it
    was collected."""
    loop = base_loop_class(loop_kind)()
    loop.run_until_complete(main())
    gone = weakref.ref(loop)
    del loop
    gc.collect()
    return gone() is None


def collectable_after_running(loop_kind: str) -> bool:
    """Whether an unclosed loop of this kind that ran a coroutine can be
    collected at all, velnor aside (uvloop keeps such loops alive)."""
    return run_and_drop(loop_kind, lambda: asyncio.sleep(0))


def test_unclosed_loops_that_are_collected_take_their_bridges_along(loop_kind: str) -> None:
    with warnings.catch_warnings():
        # asyncio warns about every unclosed loop it collects.
        warnings.simplefilter("ignore", ResourceWarning)
        if not collectable_after_running(loop_kind):
            pytest.skip(f"an unclosed {loop_kind} loop that ran is never collected")
        before = settled_fd_count()
        for _ in range(20):
            # A bridge that held its loop would keep it, with the loop's
            # descriptors and its own pipe.
            assert run_and_drop(loop_kind, nop)
    assert fd_count() <= before


def test_a_loop_collected_with_operations_done_can_be_replaced_at_its_address(
        loop_kind: str) -> None:
    # New loops often take the memory of collected ones: a bridge must never
    # be handed to a loop it was not made for.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", ResourceWarning)
        for _ in range(20):
            loop = base_loop_class(loop_kind)()
            loop.run_until_complete(nop())
            del loop
            gc.collect()


SUBINTERPRETER = """
    import asyncio
    from support.subinterpreters import run_in_subinterpreter

    refused = run_in_subinterpreter("import _velnor")
    assert refused is not None and "ImportError" in refused, refused
    # The refusal left nothing behind: the main interpreter loads the module
    # and uses it.
    import _velnor
    async def main():
        await _velnor.probe_nop()
    asyncio.run(main())
    refused = run_in_subinterpreter("import _velnor")
    assert refused is not None and "ImportError" in refused, refused
    print("leaving")
"""


def test_a_refused_subinterpreter_import_leaves_no_state_behind(tmp_path: Path) -> None:
    assert run_script(SUBINTERPRETER, timeout=60).stdout == "leaving\n"
    prologue = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
    for label, (python, env) in other_interpreters(tmp_path).items():
        assert failed_exits([python, "-W", "error", "-c",
                             prologue + textwrap.dedent(SUBINTERPRETER)], env, 1) == [], label


def test_the_package_does_not_offer_the_modules_shutdown() -> None:
    # After _velnor.shutdown() every later operation waits for ever: not a
    # call to hand to users.
    assert not hasattr(velnor, "shutdown")
    assert "shutdown" not in velnor.__all__


LOOP_CALLS_VELNOR = """
    import asyncio, threading
    import _velnor
    from support.loops import base_loop_class, run_on

    KIND, WHERE = {kind!r}, {where!r}
    base = base_loop_class(KIND)
    kept = []

    class Reentrant(base):
        # velnor called from inside the loop's own methods, which the bridge
        # code calls while it finds or builds a bridge.
        def is_closed(self):
            if WHERE == "is_closed" and not base.is_closed(self):
                try:
                    kept.append(_velnor.probe_nop())
                except RuntimeError:
                    pass  # no running loop on this thread
            return base.is_closed(self)

        def add_reader(self, fd, callback, *args):
            if WHERE == "add_reader":
                kept.append(_velnor.probe_nop())
            return super().add_reader(fd, callback, *args)

    async def work():
        await asyncio.wait_for(_velnor.probe_nop(), 10)

    # An unclosed loop of the subclass with a bridge, so that building a
    # bridge for any new loop asks it whether it is closed.
    first = Reentrant()
    first.run_until_complete(work())
    for _ in range(3):
        run_on(KIND, work(), loop_class=Reentrant)
        run_on(KIND, work())
    kept.clear()
    first.close()
    print("leaving")
"""


@pytest.mark.parametrize("where", ["is_closed", "add_reader"])
def test_a_loop_that_calls_velnor_from_its_own_methods_does_not_deadlock(
        loop_kind: str, where: str) -> None:
    proc = run_script(LOOP_CALLS_VELNOR.format(kind=loop_kind, where=where), timeout=60)
    assert proc.stdout == "leaving\n"


MISBEHAVING_LOOP = """
    import asyncio, threading
    import _velnor
    from support.loops import base_loop_class, run_on

    KIND = {kind!r}

    async def nop():
        await asyncio.wait_for(_velnor.probe_nop(), 10)

    class Misbehaving(base_loop_class(KIND)):
        # While it misbehaves its is_closed raises, which counts as closed:
        # any new loop's bridge drops this loop's bridge although it runs.
        misbehave = True

        def is_closed(self):
            if self.misbehave:
                raise RuntimeError("is_closed refused")
            return super().is_closed()

    def other_loop():
        run_on(KIND, nop())

    async def main():
        await nop()
        for _ in range(3):
            # Another loop drops our bridge; our next operation builds a new
            # one, whose pipe must not take descriptor numbers this loop
            # still watches for the old one.
            t = threading.Thread(target=other_loop)
            t.start()
            t.join()
            await nop()

    loop = Misbehaving()
    loop.run_until_complete(main())
    loop.misbehave = False
    loop.close()
    print("leaving")
"""


def test_a_loop_whose_bridge_was_dropped_while_running_is_woken_by_the_next(
        loop_kind: str) -> None:
    # Run apart: a loop that is never woken again would wait for ever.
    proc = run_script(MISBEHAVING_LOOP.format(kind=loop_kind), timeout=60)
    assert proc.stdout == "leaving\n"


def test_a_signal_that_raises_during_the_inline_probe_withdraws_its_read(
        tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    fd = os.open(fifo, os.O_RDWR | os.O_NONBLOCK)  # its own writer: never end of file
    data = tmp_path / "data"
    data.write_bytes(b"0123456789" * 100)
    data_fd = os.open(data, os.O_RDONLY)

    class Alarm(Exception):
        pass

    def on_alarm(signum: int, frame: object) -> None:
        raise Alarm

    previous = signal.signal(signal.SIGALRM, on_alarm)
    try:
        try:
            _velnor.probe_inline_read(data_fd, 1)
        except OSError:
            pytest.skip("no io_uring for the calling thread here")
        for _ in range(3):
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            with pytest.raises(Alarm):
                _velnor.probe_inline_read(fd, 64)
            # A read left pending in the kernel would take these bytes (and
            # write them into memory that is no longer the probe's).
            os.write(fd, b"still in the pipe")
            assert os.read(fd, 100) == b"still in the pipe"
            # And no stale completion is taken for the next read's.
            assert _velnor.probe_inline_read(data_fd, 1000) == data.read_bytes()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        os.close(fd)
        os.close(data_fd)


def test_the_inline_probe_waits_for_a_read_without_the_interpreter_lock() -> None:
    # The only writer is another Python thread: a wait holding the lock
    # would never end (run apart, so that it fails by its timeout).
    proc = run_script("""
        import os, signal, threading, time, _velnor
        r, w = os.pipe()
        try:
            _velnor.probe_inline_read(os.open("/proc/self/exe", os.O_RDONLY), 1)
        except OSError:
            raise SystemExit(print("no io_uring for the calling thread here"))
        got = []
        reader = threading.Thread(target=lambda: got.append(_velnor.probe_inline_read(r, 4)))
        reader.start()
        time.sleep(0.2)  # the reader waits in the kernel meanwhile
        os.write(w, b"data")
        reader.join()
        assert got == [b"data"], got
        # On this thread, with a signal whose handler returns: the wait goes
        # on, as an interrupted blocking call of the interpreter's does.
        signal.signal(signal.SIGALRM, lambda *_: None)
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        threading.Timer(0.3, os.write, (w, b"more")).start()
        assert _velnor.probe_inline_read(r, 4) == b"more"
        print("ok")
    """, timeout=30)
    assert proc.stdout in ("ok\n", "no io_uring for the calling thread here\n")
