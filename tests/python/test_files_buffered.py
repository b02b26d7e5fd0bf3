"""Buffered binary files beside the built-in buffered open(): generated
operation sequences (buffer sizes, cold pages, every reading and writing
method), line iteration, and the unbuffered file's lines."""

from __future__ import annotations

import asyncio
import builtins
import gc
import io
import os
import warnings
from contextlib import nullcontext
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import velnor
import velnor._files
from support.files import evict
from support.loops import Runner, Ticks
from support.side_by_side import Failed, assert_same_files, async_outcome, failure, file_pair, iterator_of, outcome

MODES = ["rb", "rb+", "wb", "wb+", "ab", "ab+", "xb+"]
LINES = st.lists(st.sampled_from([b"a", b"bc", b"\n", b"\r", b"\r\n", b"\x00"]),
                 max_size=40).map(b"".join)

OPS = st.one_of(
    st.tuples(st.just("read"), st.integers(-1, 40)),
    st.tuples(st.just("read1"), st.integers(-1, 40)),
    st.tuples(st.just("readinto"), st.integers(0, 40)),
    st.tuples(st.just("readinto1"), st.integers(0, 40)),
    st.tuples(st.just("peek"), st.integers(0, 40)),
    st.tuples(st.just("readline"), st.integers(-1, 30)),
    st.tuples(st.just("readlines"), st.integers(-1, 40)),
    st.tuples(st.just("next")),
    st.tuples(st.just("write"), LINES),
    st.tuples(st.just("writelines"), st.lists(LINES, max_size=3)),
    st.tuples(st.just("seek"), st.integers(-30, 80), st.sampled_from([0, 1, 2])),
    st.tuples(st.just("tell")),
    st.tuples(st.just("truncate"), st.none() | st.integers(0, 80)),
    st.tuples(st.just("flush")),
)
# Operations whose result depends on how much each implementation buffers:
# velnor's result is checked against the data, then the built-in file is
# moved over the same bytes.
ONE_READ = ("read1", "readinto1", "peek")
READS = ONE_READ + ("read", "readinto", "readline", "readlines", "next")


async def apply_op(f: Any, op: tuple[Any, ...]) -> Any:
    """`op` on a built-in file, or on a velnor one with its calls (all but
    tell) awaited."""
    ours = isinstance(f, velnor.BufferedFile)

    async def awaited(result: Any) -> Any:
        return await result if ours and op[0] != "tell" else result

    name, *args = op
    if name == "next":
        return await anext(iterator_of(f), None) if ours else next(f, None)
    if name in ("readinto", "readinto1"):
        buf = bytearray(args[0])
        return await awaited(getattr(f, name)(buf)), bytes(buf)
    return await awaited(getattr(f, name)(*args))


async def follow(ref: Any, op: tuple[Any, ...], got: Any) -> Any:
    """What the built-in gives for a one-read operation that velnor answered
    with `got`: the same bytes from the same position, or the same error."""
    name, *args = op
    if isinstance(got, tuple) and isinstance(got[0], type):
        if name == "peek" and not ref.readable():
            return failure(io.UnsupportedOperation("peek"))  # the built-in has no peek there
        return await async_outcome(lambda: apply_op(ref, op))
    if name == "peek":
        ahead = ref.peek(args[0])  # does not move
        shared = min(len(ahead), len(got))
        agrees = bool(ahead) == bool(got) and got[:shared] == ahead[:shared]
        return got if agrees else ahead
    if name == "read1":
        return ref.read(len(got)) if got or args[0] == 0 else ref.read1(args[0])
    n, _ = got
    if n == 0:
        return await apply_op(ref, op)
    return n, ref.read(n) + bytes(args[0] - n)


@settings(max_examples=int(os.environ.get("VELNOR_EXAMPLES", "40")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(mode=st.sampled_from(MODES), initial=st.none() | LINES,
       buffering=st.sampled_from([-1, 1, 2, 7, 64]), ops=st.lists(OPS, max_size=20),
       cold=st.booleans())
@example(mode="rb+", initial=b"a\nbc\n" * 3000, buffering=-1,
         ops=[("readline", -1), ("next",), ("read", 5000), ("tell",), ("write", b"X"),
              ("seek", -3, 1), ("readlines", 10), ("next",), ("seek", 0, 2), ("next",)],
         cold=False)
# A write that fills the buffer exactly stays buffered (in append mode the
# position shows where it waits).
@example(mode="ab", initial=None, buffering=7, ops=[("seek", 1, 0), ("write", b"aaabcbc"), ("tell",)],
         cold=False)
# Lines handed out by one iterator, other reads between its steps.
@example(mode="rb+", initial=b"a\nbc\n" * 3000, buffering=-1,
         ops=[("next",), ("next",), ("next",), ("read", 7), ("next",), ("readline", -1), ("next",),
              ("readlines", 10), ("next",), ("seek", 0, 0), ("next",), ("next",)], cold=False)
# A refused seek keeps what was read ahead.
@example(mode="rb", initial=b"\na", buffering=-1, ops=[("next",), ("seek", -1, 0)], cold=False)
def test_buffered_operation_sequences_match_the_built_in(
        run: Runner, disk_dir: Path, mode: str, initial: bytes | None, buffering: int,
        ops: list[tuple[Any, ...]], cold: bool) -> None:
    ours, theirs = file_pair(disk_dir, initial)

    async def main() -> None:
        with pytest.warns(RuntimeWarning) if buffering == 1 else nullcontext():
            ref = outcome(lambda: builtins.open(theirs, mode, buffering))
        with pytest.warns(RuntimeWarning) if buffering == 1 else nullcontext():
            opening = velnor.open(ours, mode, buffering)
        f = await async_outcome(lambda: opening)
        if isinstance(ref, Failed):
            assert f == ref
            return
        assert isinstance(f, velnor.BufferedFile)
        written = False
        async with f:
            with ref:
                for op in ops:
                    if cold:
                        evict(ours, required=False)
                    if written and "a" in mode and op[0] in READS:
                        # In append mode the built-in may answer a read from a
                        # buffer that shows the write where it will not land,
                        # and its position after writing it out depends on
                        # that buffer: both start again from the end.
                        ref.seek(0, os.SEEK_END)
                        await f.seek(0, os.SEEK_END)
                    elif written and op[0] in ONE_READ:
                        # The built-in's read1 reads before it writes out what
                        # is buffered; velnor writes it out first.
                        ref.flush()
                        await f.flush()
                    written = op[0] in ("write", "writelines") or (
                        written and op[0] not in ("flush", "seek", "truncate"))
                    if op[0] in ONE_READ:
                        got = await async_outcome(lambda: apply_op(f, op))
                        expected = await follow(ref, op, got)
                    else:
                        expected = await async_outcome(lambda: apply_op(ref, op))
                        got = await async_outcome(lambda: apply_op(f, op))
                    assert got == expected, op
                    assert outcome(f.tell) == outcome(ref.tell), op

    run(main())
    assert_same_files(ours, theirs)


@settings(max_examples=30, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(data=LINES, repeat=st.sampled_from([1, 4000]), stop=st.integers(0, 30),
       buffering=st.sampled_from([-1, 0, 3]))
def test_line_iteration_matches_the_built_in(run: Runner, tmp_path: Path, data: bytes,
                                             repeat: int, stop: int, buffering: int) -> None:
    path = tmp_path / "lines"
    path.write_bytes(data * repeat)

    async def main() -> None:
        with builtins.open(path, "rb", buffering) as ref:
            expected = list(ref)
        with builtins.open(path, "rb", buffering) as ref:
            head = []
            for line in ref:
                if len(head) == stop:
                    break
                head.append(line)
            rest = (ref.readline(), ref.read(5), ref.tell(), ref.readlines(7))
        async with velnor.open(path, "rb", buffering) as f:
            assert [line async for line in f] == expected
        async with velnor.open(path, "rb", buffering) as f:
            got = []
            async for line in f:
                if len(got) == stop:
                    break
                got.append(line)
            assert got == head
            assert (await f.readline(), await f.read(5), f.tell(), await f.readlines(7)) == rest

    run(main())


@pytest.mark.parametrize("mode,buffering", [
    ("rb+", -1), ("rb", -1), ("wb", -1), ("ab", 7), ("r", -1), ("w", -1), ("a", -1),
])
def test_closed_and_one_way_files_refuse_as_the_built_in_does(run: Runner, tmp_path: Path,
                                                               mode: str, buffering: int) -> None:
    ours_path, theirs_path = tmp_path / "ours", tmp_path / "theirs"
    for path in (ours_path, theirs_path):
        path.write_bytes(b"abc\n")
    data: Any = b"x" if "b" in mode else "x"

    async def assert_same(mine: Any, std: Any, name: str, args: tuple[Any, ...]) -> None:
        if not hasattr(std, name):
            return
        expected = outcome(lambda: getattr(std, name)(*args))
        if expected == Failed(StopIteration, ""):
            expected = Failed(StopAsyncIteration, "")
        mine_name = "__anext__" if name == "__next__" else name
        assert await async_outcome(lambda: getattr(mine, mine_name)(*args)) == expected, (name, args)

    async def main() -> None:
        ours = await velnor.open(ours_path, mode, buffering)
        await ours.close()
        theirs = builtins.open(theirs_path, mode, buffering)
        theirs.close()
        calls: list[tuple[str, tuple[Any, ...]]] = [
            ("read", ()), ("read1", ()), ("peek", ()), ("readline", ()), ("readline", (0,)),
            ("readall", ()),
            ("readinto", (bytearray(1),)), ("write", (data,)), ("flush", ()), ("seek", (0,)),
            ("truncate", ()), ("readlines", ()), ("writelines", ([data],)), ("__next__", ()),
        ]
        for name, args in calls:
            await assert_same(ours, theirs, name, args)
        for name in ("tell", "fileno", "readable", "writable", "seekable", "isatty"):
            assert outcome(getattr(ours, name)) == outcome(getattr(theirs, name)), name
        # One way only, or arguments refused: the same answers in the same order.
        async with velnor.open(ours_path, mode, buffering) as mine:
            with builtins.open(theirs_path, mode, buffering) as std:
                for name, args in (
                        ("write", (data,)), ("truncate", ()), ("read", ()),
                        ("readinto", (bytearray(1),)), ("write", ("text",)), ("write", (b"b",)),
                        ("write", (5,)), ("read", (-2,)), ("seek", (0, 5)), ("seek", (-1,)),
                        ("read", (1.5,)), ("readlines", (1.5,)), ("readline", (0,)),
                        ("truncate", (-1,)), ("__next__", ())):
                    await assert_same(mine, std, name, args)
    run(main())
    assert_same_files(ours_path, theirs_path)


def test_unbuffered_lines_leave_the_position_after_the_line(run: Runner,
                                                            tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"one\n" + b"x" * 20000 + b"\nlast")

    async def main() -> None:
        async with velnor.open(path, "rb", buffering=0) as f:
            assert await f.readline() == b"one\n" and f.tell() == 4
            assert await f.readline(3) == b"xxx" and f.tell() == 7
            assert await f.readline() == b"x" * 19997 + b"\n"
            assert [line async for line in f] == [b"last"]
            await f.seek(0)
            assert await f.readlines(3) == [b"one\n"]
            assert await f.readall() == b"x" * 20000 + b"\nlast"
            assert await f.isatty() is False

    run(main())
    with builtins.open(path, "rb", buffering=0) as std:
        assert std.readline() == b"one\n" and std.readline(3) == b"xxx"
        assert std.readlines(3) == [b"x" * 19997 + b"\n"]


LONG_LINE = b"x" * (24 << 20) + b"\nend"


@pytest.mark.parametrize("mode,buffering,data,how", [
    ("rb", -1, b"a\n" * 200_000, "readlines"),
    ("rb", 0, b"a\n" * 20_000, "readlines"),
    ("rb", 0, b"a\n" * 20_000, "iterate"),
    # A long line is read a piece at a time.
    ("rb", 0, LONG_LINE, "readline"),
    ("rb", -1, LONG_LINE, "readline"),
    ("r", -1, LONG_LINE, "readline"),
])
def test_lines_from_the_page_cache_let_other_tasks_run(run: Runner, tmp_path: Path, mode: str,
                                                       buffering: int, data: bytes,
                                                       how: str) -> None:
    """Lines served from the page cache never suspend: a long run of them
    must still let the loop run other tasks."""
    path = tmp_path / "f"
    path.write_bytes(data)
    with builtins.open(path, mode) as ref:  # unbuffered, it reads a byte at a time
        expected = ref.readline() if how == "readline" else ref.readlines()

    async def main() -> None:
        async with velnor.open(path, mode, buffering) as f:
            ticks = Ticks()
            await asyncio.sleep(0)
            before = ticks.count
            if how == "iterate":
                assert [line async for line in f] == expected
            else:
                assert await getattr(f, how)() == expected
            assert ticks.count > before
            ticks.stop()
    run(main())


@pytest.mark.parametrize("mode", ["wb", "ab", "rb+", "w", "a"])
def test_a_file_dropped_without_close_writes_out_what_it_holds_as_the_built_in(
        run: Runner, tmp_path: Path, mode: str) -> None:
    ours, theirs = file_pair(tmp_path, b"0123456789")
    text = "b" not in mode

    async def main() -> None:
        ref = builtins.open(theirs, mode, **({"encoding": "utf-8"} if text else {}))
        f = await velnor.open(ours, mode, **({"encoding": "utf-8"} if text else {}))
        for piece in ("ab", "c\u00e9"):
            data = piece if text else piece.encode()
            ref.write(data)  # type: ignore[arg-type]
            await f.write(data)  # type: ignore[arg-type]
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del ref, f
            gc.collect()
        assert {w.category for w in caught} == {ResourceWarning}

    run(main())
    assert_same_files(ours, theirs)


@pytest.mark.parametrize("mode", ["wb", "w"])
@pytest.mark.parametrize("how", ["close", "async with"])
def test_a_cancelled_close_still_writes_out_and_closes(run: Runner, tmp_path: Path, mode: str,
                                                       how: str) -> None:
    # As the built-in's close, which nothing interrupts: the cancellation is
    # raised once the buffer is written out and the file closed.
    path = tmp_path / "f"

    async def main() -> None:
        f = await velnor.open(path, mode, **({"encoding": "utf-8"} if "b" not in mode else {}))
        await f.write(b"a" if "b" in mode else "a")
        with pytest.raises(TimeoutError):
            async with asyncio.timeout(0):
                if how == "close":
                    await f.close()
                else:
                    async with f:
                        pass
        assert f.closed

    run(main())
    assert path.read_bytes() == b"a"


@pytest.mark.parametrize("mode,how", [
    ("rb", "read"), ("rb", "readinto"), ("rb", "readline"), ("rb", "iterate"),
    ("r", "read"), ("r", "readline"), ("r", "iterate"),
])
def test_a_read_cancelled_while_it_waits_for_more_loses_nothing(
        run: Runner, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, mode: str, how: str) -> None:
    # The read first takes what is buffered (or decoded), then waits for
    # the file: it is cancelled there. What it had taken is where the next
    # read starts, as if the cancelled one had never run.
    path = tmp_path / "f"
    data = b"".join(b"%06d" % i for i in range(6000)) + b"\n" + b"tail\n"
    path.write_bytes(data)
    waits: list[bool] = []
    # Each unbuffered read underneath gives the loop a turn first: the wait.
    monkeypatch.setattr(velnor._files, "turn_due", lambda: bool(waits))
    monkeypatch.setattr(velnor._files, "read_here", lambda *args: False)  # ask turn_due

    async def main() -> None:
        async with velnor.open(path, mode) as f:
            first = await f.read(10)  # fills the buffer; the rest stays there

            async def attempt() -> Any:
                if how == "read":
                    return await f.read(10_000)
                if how == "readinto":
                    buf = bytearray(10_000)
                    return bytes(buf[:await f.readinto(buf)])
                if how == "readline":
                    return await f.readline()
                return await anext(aiter(f))

            waits.append(True)
            task = asyncio.ensure_future(attempt())
            await asyncio.sleep(0)
            assert not task.done()
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            waits.clear()
            got = await attempt()
        text = data.decode()
        expected = {"read": data[10:10_010], "readinto": data[10:10_010]}.get(how, data[10:36_001])
        assert first == (data[:10] if "b" in mode else text[:10])
        assert got == (expected if "b" in mode else expected.decode())

    run(main())
