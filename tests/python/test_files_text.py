"""Text files beside the built-in open(): generated operation sequences over
encodings, error handlers and newline modes (tell cookies included), line
iteration, line buffering, arguments and their errors, descriptors."""

from __future__ import annotations

import asyncio
import builtins
import io
import json
import os
import subprocess
import sys
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, example, given, settings
from hypothesis import strategies as st

import velnor
import velnor._text
from support.fds import assert_no_fd_leak, settled_fd_count
from support.files import evict
from support.loops import Runner, Ticks, cancelled_after, hold_pacing_off
from support.side_by_side import (Failed, assert_same_files, async_outcome, file_pair, iterator_of, outcome,
                                  outcomes_together)

SETTINGS = settings(max_examples=int(os.environ.get("VELNOR_EXAMPLES", "30")), deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])

TEXT_MODES = ["r", "r+", "w", "w+", "a", "a+", "x+"]
# Stateless and stateful decoders, byte-order marks, multi-byte characters.
ENCODINGS = ["utf-8", "latin-1", "utf-16", "utf-8-sig", "utf-32-le", "shift_jis", "iso2022_jp",
             "gb18030"]
NEWLINES = [None, "", "\n", "\r", "\r\n"]
ERRORS = ["strict", "replace", "surrogateescape", "backslashreplace"]
# Characters that make line ends of every kind, that str.splitlines takes for
# line ends (and readline does not), and that take several bytes to encode.
TEXT = st.lists(st.sampled_from(list("ab\n\r\x0c\x1c\x85\u2028é€日") + ["\r\n"]),
                max_size=40).map("".join)
CHUNKY_TEXT = st.lists(TEXT, max_size=6).map("".join)

TEXT_OPS = st.one_of(
    st.tuples(st.just("read"), st.integers(-1, 40)),
    st.tuples(st.just("readline"), st.integers(-1, 30)),
    st.tuples(st.just("readlines"), st.integers(-1, 40)),
    st.tuples(st.just("next")),
    st.tuples(st.just("write"), TEXT),
    st.tuples(st.just("writelines"), st.lists(TEXT, max_size=3)),
    st.tuples(st.just("tell")),
    st.tuples(st.just("seek_told"), st.integers(0, 8)),
    st.tuples(st.just("seek"), st.sampled_from([0, 1, 2])),
    st.tuples(st.just("flush")),
    st.tuples(st.just("truncate")),
)

READS = ("read", "readline", "readlines", "next")
WRITES = ("write", "writelines")


async def apply_op(f: Any, op: tuple[Any, ...], told: list[int]) -> Any:
    """`op` on a built-in text file, or on a velnor one with its calls awaited."""
    name, *args = op
    if name == "tell":
        told.append(f.tell())
        return told[-1]
    if name == "next":
        return await anext(iterator_of(f), None) if isinstance(f, velnor.TextFile) else next(f, None)
    if name == "seek_told":
        if not told:
            return None
        result = f.seek(told[args[0] % len(told)])
    elif name == "seek":
        result = f.seek(0, args[0])
    else:
        result = getattr(f, name)(*args)
    return await result if isinstance(f, velnor.TextFile) else result


@SETTINGS
@given(mode=st.sampled_from(TEXT_MODES), encoding=st.sampled_from(ENCODINGS),
       newline=st.sampled_from(NEWLINES), errors=st.sampled_from(ERRORS),
       initial=st.none() | CHUNKY_TEXT | st.binary(max_size=40),
       ops=st.lists(TEXT_OPS, max_size=12), cold=st.booleans())
@example(mode="r", encoding="utf-16", newline=None, errors="strict", initial="ab\r\n" * 3000,
         ops=[("readline", -1), ("tell",), ("read", 5000), ("tell",), ("seek_told", 0),
              ("read", 3), ("seek_told", 1), ("readline", -1)], cold=False)
@example(mode="r+", encoding="iso2022_jp", newline="", errors="strict",
         initial="日a\r" * 2000, ops=[("read", 4097), ("tell",), ("read", 1), ("seek_told", 0),
                                     ("write", "€"), ("seek", 0), ("read", -1)], cold=False)
# Cookies that carry bytes to feed and characters to skip; the last
# characters a decoder gives up at the end of the file; readline at the end
# of the file forgets the snapshot; tell in append mode counts where the
# waiting text will land.
@example(mode="r", encoding="utf-8", newline=None, errors="backslashreplace", initial=b"\x80",
         ops=[("read", 1), ("tell",)], cold=False)
@example(mode="r", encoding="utf-8", newline=None, errors="replace", initial=b"\xc2",
         ops=[("read", 2), ("tell",)], cold=False)
@example(mode="w+", encoding="utf-16", newline=None, errors="strict", initial=None,
         ops=[("readline", 0), ("tell",)], cold=False)
@example(mode="a", encoding="utf-8", newline=None, errors="strict", initial="a",
         ops=[("seek", 0), ("write", "a"), ("tell",)], cold=False)
@example(mode="r", encoding="utf-8", newline=None, errors="strict", initial="a\na",
         ops=[("readlines", 1), ("flush",), ("tell",)], cold=False)
@example(mode="r", encoding="utf-8", newline=None, errors="strict", initial="a\n",
         ops=[("seek", 0), ("readlines", 1), ("flush",), ("tell",)], cold=False)
@example(mode="r", encoding="utf-8", newline=None, errors="strict", initial="a\nb\n",
         ops=[("seek", 0), ("readlines", 1), ("tell",)], cold=False)
@example(mode="r", encoding="utf-8", newline=None, errors="strict", initial="\n",
         ops=[("seek", 0), ("next",), ("flush",), ("seek", 1)], cold=False)
# A seek to 0 in an encoding with a byte-order mark: read again from the
# start, the mark is skipped again; written again at the start, it is written again.
@example(mode="w+", encoding="utf-16", newline=None, errors="strict", initial=None,
         ops=[("write", "ab"), ("seek", 0), ("read", 1), ("seek", 0), ("write", "c"), ("seek", 0),
              ("read", -1)], cold=False)
@example(mode="r+", encoding="utf-8-sig", newline=None, errors="strict", initial="日本",
         ops=[("read", 1), ("seek", 0), ("read", -1), ("seek", 0), ("write", "x"), ("seek", 0),
              ("read", -1)], cold=False)
# Lines handed out by one iterator, other reads between its steps.
@example(mode="r+", encoding="utf-8", newline=None, errors="strict", initial="a\nbc\n" * 3000,
         ops=[("next",), ("next",), ("next",), ("read", 7), ("next",), ("readline", -1), ("next",),
              ("readlines", 10), ("next",), ("seek", 0), ("next",), ("next",)], cold=False)
def test_text_operation_sequences_match_the_built_in(
        run: Runner, disk_dir: Path, mode: str, encoding: str, newline: str | None,
        errors: str, initial: str | bytes | None, ops: list[tuple[Any, ...]],
        cold: bool) -> None:
    ours, theirs = file_pair(disk_dir, initial if not isinstance(initial, str)
                             else initial.encode(encoding, "replace"))
    kwargs = {"encoding": encoding, "newline": newline, "errors": errors}

    async def main() -> None:
        ref = outcome(lambda: builtins.open(theirs, mode, **kwargs))
        f = await async_outcome(lambda: velnor.open(ours, mode, **kwargs))
        if isinstance(ref, Failed):
            assert f == ref
            return
        assert isinstance(f, velnor.TextFile)
        ours_told: list[int] = []
        theirs_told: list[int] = []
        written = iterated = False
        async with f:
            with ref:
                for op in ops:
                    if cold:
                        evict(ours, required=False)
                    if written and op[0] in READS:
                        # The built-in's read1 reads before it writes out what
                        # is buffered (a read right after a write lands before
                        # it); velnor writes it out first, as its read does.
                        ref.flush()
                        await f.flush()
                    if iterated and op == ("seek", 1):
                        # seek(0, SEEK_CUR) is the built-in's tell, and after
                        # iteration that reads a stale snapshot (see below),
                        # at times past the end: the two files would move
                        # to different places, and nothing is compared.
                        continue
                    sought = op[0] == "seek" or (op[0] == "seek_told" and bool(theirs_told))
                    written = op[0] in WRITES or (written and op[0] != "flush" and not sought)
                    # The built-in's readlines iterates the file as next() does.
                    iterated = op[0] in ("next", "readlines") or (iterated and not sought)
                    told = len(theirs_told)
                    expected = await async_outcome(lambda: apply_op(ref, op, theirs_told))
                    if iterated and op[0] == "tell" and not isinstance(expected, Failed):
                        # The built-in's tell after iteration decoded with
                        # telling off reads its seek's stale snapshot, at
                        # times past its end: nothing to compare with. Its
                        # refusal while telling is off still is.
                        del theirs_told[told:]
                        continue
                    got = await async_outcome(lambda: apply_op(f, op, ours_told))
                    assert got == expected, op
                assert (f.encoding, f.errors, f.newlines, f.mode, f.line_buffering) == \
                    (ref.encoding, ref.errors, ref.newlines, ref.mode, ref.line_buffering)

    run(main())
    assert_same_files(ours, theirs)


@settings(max_examples=25, deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.lists(TEXT, max_size=40).map("".join), newline=st.sampled_from(NEWLINES),
       repeat=st.sampled_from([1, 5000]), stop=st.integers(0, 50))
def test_line_iteration_matches_the_built_in(run: Runner, tmp_path: Path, text: str,
                                             newline: str | None, repeat: int,
                                             stop: int) -> None:
    """Lines split a whole chunk at a time must be the lines readline gives,
    whatever other characters splitlines would take for line ends, across
    chunk boundaries, and the file must go on from where iteration stopped."""
    path = tmp_path / "lines"
    path.write_bytes((text * repeat).encode())

    async def main() -> None:
        with builtins.open(path, encoding="utf-8", newline=newline) as ref:
            expected = list(ref)
        with builtins.open(path, encoding="utf-8", newline=newline) as ref:
            head = []
            for line in ref:
                if len(head) == stop:
                    break
                head.append(line)
            rest_expected = (ref.readline(), ref.read(7), ref.readline())
            ref.seek(0)
            first_again = ref.readline()
        async with velnor.open(path, encoding="utf-8", newline=newline) as f:
            assert [line async for line in f] == expected
            with pytest.raises(StopAsyncIteration):
                await f.__anext__()
            assert f.tell() == path.stat().st_size  # telling again after the end
        async with velnor.open(path, encoding="utf-8", newline=newline) as f:
            got_head = []
            async for line in f:
                if len(got_head) == stop:
                    break
                got_head.append(line)
            assert got_head == head
            assert (await f.readline(), await f.read(7), await f.readline()) == rest_expected
            await f.seek(0)
            assert await f.readline() == first_again

    run(main())


def test_tell_during_iteration_is_refused_until_it_ends_or_seeks(run: Runner,
                                                                  tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_text("a\nb\nc\n")

    async def main() -> None:
        with builtins.open(path) as ref:
            next(ref)
            with pytest.raises(OSError) as theirs:
                ref.tell()
        async with velnor.open(path) as f:
            assert await f.__anext__() == "a\n"
            with pytest.raises(OSError) as ours:
                f.tell()
            assert str(ours.value) == str(theirs.value)
            with pytest.raises(OSError):
                await f.seek(0, os.SEEK_CUR)
            assert await f.readline() == "b\n"  # reading goes on where iteration left off
            await f.seek(0)
            assert f.tell() == 0 and await f.readline() == "a\n" and f.tell() == 2

    run(main())


def test_writes_are_buffered_until_flush_close_seek_or_block_exit(run: Runner,
                                                                   tmp_path: Path) -> None:
    path = tmp_path / "f"

    async def main() -> None:
        f = await velnor.open(path, "w", encoding="utf-8")
        await f.write("one\n")
        assert path.read_bytes() == b""
        await f.flush()
        assert path.read_bytes() == b"one\n"
        await f.write("two\n")
        await f.seek(0, os.SEEK_END)
        assert path.read_bytes() == b"one\ntwo\n"
        await f.write("three\n")
        await f.close()
        assert path.read_bytes() == b"one\ntwo\nthree\n"
        async with velnor.open(path, "a") as g:
            await g.writelines(["four\n", "five"])
            assert path.read_bytes() == b"one\ntwo\nthree\n"
        assert path.read_text() == "one\ntwo\nthree\nfour\nfive"
        # Line buffering writes out every line as it is written.
        async with velnor.open(path, "w", buffering=1) as h:
            assert h.line_buffering
            await h.write("partial")
            assert path.read_bytes() == b""
            await h.write(" line\nnext")
            assert path.read_bytes() == b"partial line\nnext"
        # A buffer of a given size writes out when the next write does not
        # fit, as the built-in's.
        async with velnor.open(path, "wb", buffering=16) as b:
            await b.write(b"x" * 15)
            await b.write(b"y")
            assert path.read_bytes() == b""
            await b.write(b"z")
            assert path.read_bytes() == b"x" * 15 + b"y"

    run(main())


@pytest.mark.parametrize("args,kwargs", [
    (("rb",), {"encoding": "utf-8"}),
    (("rb",), {"errors": "strict"}),
    (("rb",), {"newline": "\n"}),
    (("r",), {"encoding": 5}),
    (("r",), {"errors": 5}),
    (("r",), {"newline": 5}),
    (("r", "x"), {}),
    (("rt+b",), {}),
    (("rw",), {}),
    (("",), {}),
    ((None,), {}),
], ids=lambda value: repr(value))
def test_arguments_are_refused_at_the_call_as_the_built_in_does(tmp_path: Path, args: Any,
                                                                 kwargs: Any) -> None:
    path = tmp_path / "f"
    path.write_text("x")
    expected = outcome(lambda: builtins.open(path, *args, **kwargs))
    assert isinstance(expected, Failed)
    assert outcome(lambda: velnor.open(path, *args, **kwargs)) == expected


@pytest.mark.parametrize("mode,kwargs", [
    ("w", {"buffering": 0}),
    ("w", {"encoding": "no-such-codec"}),
    ("w", {"encoding": "hex"}),
    ("w", {"newline": "\n\n"}),
    ("r", {"buffering": 0}),
])
def test_arguments_refused_once_the_file_is_open_leave_what_the_built_in_leaves(
        run: Runner, tmp_path: Path, mode: str, kwargs: Any) -> None:
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    expected = outcome(lambda: builtins.open(theirs, mode, **kwargs))
    assert isinstance(expected, Failed)
    before = settled_fd_count()

    async def main() -> Any:
        return await async_outcome(lambda: velnor.open(ours, mode, **kwargs))

    assert run(main()) == expected
    assert ours.exists() == theirs.exists()
    assert_no_fd_leak(before)


def test_default_encoding_and_its_warning_are_the_built_ins(tmp_path: Path) -> None:
    script = f"""
import asyncio, json, warnings, velnor
async def main():
    with warnings.catch_warnings(record=True) as ours:
        warnings.simplefilter("always")
        async with velnor.open({str(tmp_path / 'f')!r}, "w") as f:
            encoding = f.encoding
    with warnings.catch_warnings(record=True) as theirs:
        warnings.simplefilter("always")
        with open({str(tmp_path / 'g')!r}, "w") as g:
            std_encoding = g.encoding
    print(json.dumps([encoding, std_encoding,
                      [(w.category.__name__, w.filename, w.lineno) for w in ours],
                      [w.category.__name__ for w in theirs]]))
asyncio.run(main())
"""
    for flags, warned in (([], []), (["-X", "warn_default_encoding"], ["EncodingWarning"]),
                          (["-X", "utf8"], [])):
        proc = subprocess.run([sys.executable, *flags, "-c", script], capture_output=True,
                              text=True, timeout=60)
        assert proc.returncode == 0, proc.stderr
        encoding, std_encoding, ours, theirs = json.loads(proc.stdout)
        assert encoding == std_encoding
        assert [category for category, _, _ in ours] == theirs == warned
        # The warning points at the line that called velnor.open.
        assert all(where == ["<string>", 6] for _, *where in ours)


def test_descriptors_open_as_the_built_in_opens_them(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"first\nsecond\n")
    before = settled_fd_count()

    async def main() -> None:
        fd = os.open(path, os.O_RDWR)
        os.lseek(fd, 6, os.SEEK_SET)
        async with velnor.open(fd, "r+", closefd=False) as f:
            assert f.name == fd and f.tell() == 6
            assert await f.readline() == "second\n"
            await f.write("third\n")
        os.fstat(fd)  # still open
        async with velnor.open(fd, "rb", buffering=0) as raw:
            assert isinstance(raw, velnor.BinaryFile) and raw.name == fd
        with pytest.raises(OSError):
            os.fstat(fd)  # closed with the file
        fd = os.open(path, os.O_WRONLY | os.O_APPEND)
        async with velnor.open(fd, "ab") as b:
            assert b.tell() == len(b"first\nsecond\nthird\n")
            await b.write(b"end")
        for bad, kind in ((-1, ValueError), (2**40, OverflowError)):
            with pytest.raises(kind):
                await velnor.open(bad)
        with pytest.raises(ValueError, match="closefd=False with file name"):
            velnor.open(path, closefd=False)
        closed = os.open(path, os.O_RDONLY)
        os.close(closed)
        folder = os.open(tmp_path, os.O_RDONLY)
        for bad in (closed, folder):
            with pytest.raises(OSError) as info:
                await velnor.open(bad, closefd=False)
            with pytest.raises(OSError) as std:
                builtins.open(bad, closefd=False)
            assert (type(info.value), str(info.value)) == (type(std.value), str(std.value))
        os.close(folder)
        seen: list[tuple[str, int]] = []

        def opener(name: str, flags: int) -> int:
            seen.append((name, flags))
            return os.open(name, flags, 0o600)

        async with velnor.open(tmp_path / "made", "x", opener=opener) as made:
            await made.write("by opener")
        assert seen[0][0] == str(tmp_path / "made") and seen[0][1] & os.O_EXCL

    run(main())
    assert path.read_bytes() == b"first\nsecond\nthird\nend"
    assert (tmp_path / "made").read_text() == "by opener"
    assert_no_fd_leak(before)


def test_pipes_read_lines_as_they_come(run: Runner, tmp_path: Path) -> None:
    def pipe_holding(data: bytes) -> int:
        r, w = os.pipe()
        os.write(w, data)
        os.close(w)
        return r

    async def main() -> None:
        async with velnor.open(pipe_holding(b"one\ntwo\n")) as f:
            assert not f.seekable()
            assert [line async for line in f] == ["one\n", "two\n"]
            with pytest.raises(io.UnsupportedOperation):
                f.tell()
        async with velnor.open(pipe_holding(b"a\nb\nc"), "rb", buffering=0) as raw:
            assert await raw.readline() == b"a\n"
            assert await raw.readlines() == [b"b\n", b"c"]

    run(main())


def test_concurrent_tasks_see_whole_lines(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    lines = [f"line {i} " + "x" * (i % 700) + "\n" for i in range(3000)]
    path.write_text("".join(lines))

    async def main() -> None:
        async with velnor.open(path) as f:
            async def reader() -> list[str]:
                got = []
                while line := await f.readline():
                    got.append(line)
                    await asyncio.sleep(0)
                return got

            parts = await asyncio.gather(*(reader() for _ in range(4)))
        assert sorted(line for part in parts for line in part) == sorted(lines)

    run(main())


# Not readlines and writelines: like the built-in's, they are one line
# operation after another, and other tasks' operations may come between.
TOGETHER_TEXT_OPS = st.one_of(
    st.tuples(st.just("read"), st.integers(-1, 12_000)),
    st.tuples(st.just("readline"), st.integers(-1, 100)),
    st.tuples(st.just("write"), TEXT),
    st.tuples(st.just("seek"), st.sampled_from([0, 1, 2])),
    st.tuples(st.just("flush")),
    st.tuples(st.just("truncate")),
)


TOGETHER_TEXT = "".join(f"{i} é€ line\n" for i in range(1500))


async def text_outcomes(path: Path, encoding: str, ops: list[tuple[Any, ...]], *, cold: bool = False,
                        together: bool = False, cancel: list[bool] | None = None,
                        turns: int = 0) -> tuple[list[Any], bytes]:
    """What `ops` give on a text file of TOGETHER_TEXT opened "r+" (one
    after another, or as tasks started together, see `outcomes_together`),
    and the file's bytes once closed."""
    path.write_text(TOGETHER_TEXT, encoding=encoding)
    async with velnor.open(path, "r+", encoding=encoding) as f:
        if cold:
            evict(path, required=False)

        async def apply(op: tuple[Any, ...]) -> Any:
            name, *args = op
            if name == "seek":
                return await f.seek(0, args[0])
            return await getattr(f, name)(*args)

        calls = [lambda op=op: apply(op) for op in ops]
        if together:
            got = await outcomes_together(calls, cancel, turns)
        else:
            got = [await async_outcome(call) for call in calls]
    return got, path.read_bytes()


@settings(max_examples=int(os.environ.get("VELNOR_EXAMPLES", "40")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(encoding=st.sampled_from(["utf-8", "utf-16"]), ops=st.lists(TOGETHER_TEXT_OPS, min_size=2, max_size=10),
       cold=st.booleans())
# A truncate (and a flush) did not wait for the operations asked for before:
# the file was cut where the write had left it, under the read queued first.
@example(encoding="utf-8", ops=[("write", "a"), ("read", 0), ("read", 1), ("truncate",)], cold=False)
# A seek to where the file is took that place at the call, before the read
# asked for first had moved it.
@example(encoding="utf-8", ops=[("write", "a"), ("read", 5), ("seek", 1), ("read", 1)], cold=False)
def test_text_operations_started_together_end_as_they_would_one_after_another(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch, encoding: str,
        ops: list[tuple[Any, ...]], cold: bool) -> None:
    # As for binary files: tasks started in order see the operations in that
    # order, the loop's pacing held off (a turn before an operation starts
    # lets later tasks go first).
    hold_pacing_off(monkeypatch)

    async def main() -> None:
        one_by_one = await text_outcomes(disk_dir / "a", encoding, ops, cold=cold)
        assert await text_outcomes(disk_dir / "b", encoding, ops, cold=cold, together=True) == one_by_one

    run(main())


@settings(max_examples=int(os.environ.get("VELNOR_EXAMPLES", "40")), deadline=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(encoding=st.sampled_from(["utf-8", "utf-16"]), ops=st.lists(TOGETHER_TEXT_OPS, min_size=2, max_size=8),
       cancelled=st.lists(st.booleans(), min_size=8, max_size=8), turns=st.integers(0, 3),
       cold=st.booleans())
def test_text_reads_cancelled_among_operations_started_together_leave_no_trace(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch, encoding: str,
        ops: list[tuple[Any, ...]], cancelled: list[bool], turns: int, cold: bool) -> None:
    hold_pacing_off(monkeypatch)
    cancel = [stop and op[0] in ("read", "readline") for op, stop in zip(ops, cancelled)]

    async def main() -> None:
        got, data = await text_outcomes(disk_dir / "together", encoding, ops, cold=cold, together=True,
                                        cancel=cancel, turns=turns)
        kept = [i for i, one in enumerate(got) if not isinstance(one, asyncio.CancelledError)]
        assert ([got[i] for i in kept], data) == \
            await text_outcomes(disk_dir / "one_by_one", encoding, [ops[i] for i in kept])

    run(main())


@pytest.mark.parametrize("mode,kwargs", [
    ("r", {"encoding": "utf-8", "newline": None}),
    ("r", {"encoding": "utf-8", "newline": ""}),
    ("r", {"encoding": "utf-8", "newline": "\r\n"}),
    ("rb", {}),
    ("rb", {"buffering": 1 << 20}),
])
def test_iteration_over_short_lines_lets_other_tasks_run(run: Runner, tmp_path: Path,
                                                         monkeypatch: pytest.MonkeyPatch,
                                                         mode: str, kwargs: Any) -> None:
    """Lines served from a large buffer come without suspending: splitting
    the whole buffer in one step would keep the loop from other tasks for
    as many lines as it holds."""
    path = tmp_path / "f"
    path.write_bytes(b"a\r\n" * 150_000)
    # Every step lets the loop run, so that the turns count the steps.
    monkeypatch.setattr(velnor._pace, "TURN", 0.0)

    async def main() -> None:
        ticks = Ticks()
        most = run_length = seen = count = 0
        # Stretches end inside "\r\n" too: the lines must not be cut there.
        want = "a\n" if kwargs.get("newline", 0) is None else "a\r\n"
        async with velnor.open(path, mode, **kwargs) as f:
            async for line in f:
                assert line == (want if mode == "r" else b"a\r\n")
                count += 1
                run_length = run_length + 1 if ticks.count == seen else 1
                seen = ticks.count
                most = max(most, run_length)
        ticks.stop()
        assert count == 150_000
        # A step splits a few thousand characters, whatever the buffer holds.
        assert most <= 8192
    run(main())


@pytest.mark.parametrize("encoding,data", [
    ("gb18030", "日本語テキスト\r\n".encode("gb18030") * 100_000),
    # A character, and an error, cut by a step's end (the rest starts after
    # the first chunk): the error placed in the whole data.
    ("utf-8", b"a" * (8192 + 256 * 1024 - 1) + "€".encode() + b"b" * 300_000),
    ("utf-8", b"a" * (8192 + 256 * 1024 - 1) + b"\xe2\x82" + b"b" * 100),
    ("utf-8", b"a" * 700_000 + b"\xe2\x82" + b"b" * 100),
    # The decoder holds a character's first byte from the chunk before.
    ("utf-8", b"a" * 8191 + "€".encode() + b"b" * 700_000 + b"\x80"),
    ("utf-16", "€\r".encode("utf-16") * 200_000 + b"\x00"),
])
@pytest.mark.parametrize("size", [-1, 600_000])
def test_reading_much_at_once_matches_the_built_in_and_lets_other_tasks_run(
        run: Runner, tmp_path: Path, encoding: str, data: bytes, size: int) -> None:
    path = tmp_path / "f"
    path.write_bytes(data)
    with builtins.open(path, encoding=encoding) as ref:
        head = ref.read(3)
        got = outcome(lambda: ref.read(size))
        # Where a read that failed leaves the file is not for comparing.
        expected = (head, got, None if isinstance(got, Failed) else ref.tell())

    async def main() -> None:
        ticks = Ticks()
        async with velnor.open(path, encoding=encoding) as f:
            head = await f.read(3)
            await asyncio.sleep(0)
            before = ticks.count
            got = await async_outcome(lambda: f.read(size))
            assert (head, got, None if isinstance(got, Failed) else f.tell()) == expected
            if encoding == "gb18030":
                # Read from the page cache without suspending, then decoded
                # for several milliseconds: in steps.
                assert ticks.count > before
        ticks.stop()
    run(main())


@pytest.mark.parametrize("size", [-1, 600_000])
def test_a_long_read_cancelled_while_it_decodes_leaves_everything_for_the_next(
        run: Runner, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, size: int) -> None:
    path = tmp_path / "f"
    text = "日本語テキスト\n" * 100_000  # multi-byte, several steps of decoding
    path.write_text(text, encoding="gb18030")
    expected = text[3:] if size < 0 else text[3:3 + size]

    class EveryStep:  # a pause after each step of the decoding
        def due(self) -> bool:
            return True

        async def pause(self) -> None:
            await asyncio.sleep(0)
    monkeypatch.setattr(velnor._text, "Pace", EveryStep)

    async def main() -> set[bool]:
        finished = set()
        for turns in range(1, 8):
            async with velnor.open(path, encoding="gb18030") as f:
                assert await f.read(3) == text[:3]
                got = await cancelled_after(turns, f.read(size))
                finished.add(got is not None)
                if got is None:
                    got = await f.read(size)
                assert got == expected, turns
                assert await f.read(3) == text[3 + len(expected):6 + len(expected)]
        return finished
    assert run(main()) == {False, True}  # cancelled in its steps, and not


@pytest.mark.parametrize("encoding,text", [
    ("gb18030", "日本語テキスト\n" * 100_000),
    ("utf-16", "a\n" * 200_000),
    # An error past the first step, placed in the whole text.
    ("latin-1", "a" * 300_000 + "€"),
])
def test_writing_a_long_text_matches_the_built_in_and_lets_other_tasks_run(
        run: Runner, tmp_path: Path, monkeypatch: pytest.MonkeyPatch, encoding: str,
        text: str) -> None:
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"
    with builtins.open(theirs, "w", encoding=encoding, newline="\r\n") as ref:
        expected = (outcome(lambda: ref.write("head\n")), outcome(lambda: ref.write(text)))

    buffered_write = velnor.BufferedFile.write
    handed: list[int] = []  # the loop's turns when encoded data reached the buffer

    async def write(self: velnor.BufferedFile, data: Any) -> int:
        handed.append(ticks.count)
        return await buffered_write(self, data)

    monkeypatch.setattr(velnor.BufferedFile, "write", write)

    async def main() -> None:
        nonlocal ticks
        async with velnor.open(ours, "w", encoding=encoding, newline="\r\n") as f:
            ticks = Ticks()
            got = await async_outcome(lambda: f.write("head\n"))
            before = ticks.count
            assert (got, await async_outcome(lambda: f.write(text))) == expected
            if encoding == "gb18030":
                assert handed[-1] > before  # encoded in steps, other tasks running
            ticks.stop()

    ticks: Ticks
    run(main())
    assert ours.read_bytes() == theirs.read_bytes()


def test_a_write_cancelled_while_the_file_is_busy_encodes_nothing(run: Runner,
                                                                  tmp_path: Path) -> None:
    path = tmp_path / "f"

    async def main() -> None:
        async with velnor.open(path, "w", encoding="utf-16") as f:
            async with f._lock:  # another operation holds the file
                waiting = asyncio.ensure_future(f.write("lost"))
                await asyncio.sleep(0)
                waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            await f.write("kept")

    run(main())
    # The byte-order mark goes with the first text written, not the one given up.
    assert path.read_bytes() == "kept".encode("utf-16")
