"""Pipes, FIFOs, sockets and terminals read as the built-in reads them: a
read gives what one read gives, lines come once they are whole, positions
raise as lseek does, and a cancel never loses bytes the kernel took."""

from __future__ import annotations

import asyncio
import os
import pty
import select
import socket
import subprocess
import sys
import textwrap
import time
import tty
from collections.abc import Callable, Iterator
from pathlib import Path
from typing import Any

import pytest

import velnor
from support.side_by_side import async_outcome, outcome
from support.loops import Runner


@pytest.fixture(params=["pipe", "fifo", "socketpair", "pty"])
def stream(request: pytest.FixtureRequest, tmp_path: Path) -> Iterator[Callable[[], tuple[int, int]]]:
    """Makes (reading end, writing end) of the kind asked for, as many as wanted."""
    made: list[int] = []

    def make() -> tuple[int, int]:
        kind = request.param
        if kind == "pipe":
            r, w = os.pipe()
        elif kind == "fifo":
            path = tmp_path / f"fifo{len(made)}"
            os.mkfifo(path)
            r = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
            w = os.open(path, os.O_WRONLY)
            os.set_blocking(r, True)
        elif kind == "socketpair":
            a, b = socket.socketpair()
            r, w = a.detach(), b.detach()
        else:
            w, r = pty.openpty()  # written at the master, read at the terminal
            tty.setraw(r)  # no line discipline: bytes as written
        made.extend((r, w))
        return r, w

    yield make
    for fd in made:
        try:
            os.close(fd)
        except OSError:
            pass


async def _read(f: Any, how: str) -> Any:
    if how == "readinto":
        buf = bytearray(10)
        return bytes(buf[:await f.readinto(buf)])
    if how == "iterate":
        return await anext(aiter(f))
    args = {"read": (10,), "read1": (10,), "peek": (1,)}.get(how, ())
    return await getattr(f, how)(*args)


@pytest.mark.parametrize("mode, buffering, how, want", [
    ("rb", 0, "read", b"ab\ncd"), ("rb", 0, "readinto", b"ab\ncd"), ("rb", 0, "readline", b"ab\n"),
    ("rb", -1, "readline", b"ab\n"), ("rb", -1, "iterate", b"ab\n"), ("rb", -1, "read1", b"ab\ncd"),
    ("rb", -1, "peek", b"ab\ncd"), ("r", -1, "readline", "ab\n"), ("r", -1, "iterate", "ab\n"),
])
def test_a_read_answers_with_what_the_stream_has(run: Runner, stream: Any, mode: str, buffering: int,
                                                 how: str, want: Any) -> None:
    # As io.FileIO, BufferedReader and TextIOWrapper answer: at once, with
    # the writer still there and more than this asked for.
    r, w = stream()

    async def main() -> Any:
        async with velnor.open(r, mode, buffering, closefd=False) as f:
            os.write(w, b"ab\ncd")
            async with asyncio.timeout(10):  # fails rather than hangs
                return await _read(f, how)

    assert run(main()) == want


@pytest.mark.parametrize("mode, buffering, how", [
    ("rb", 0, "read"), ("rb", 0, "readinto"), ("rb", 0, "readall"), ("rb", -1, "readline"),
    ("r", -1, "readline"),
])
def test_a_cancel_never_loses_what_the_kernel_took(run: Runner, stream: Any, mode: str,
                                                   buffering: int, how: str) -> None:
    # The read is parked on the empty stream; the bytes arrive and the
    # kernel hands them over; the task is cancelled before its loop turn
    # came. The bytes are gone from the stream: the next read has them.
    r, w = stream()

    async def main() -> Any:
        async with velnor.open(r, mode, buffering, closefd=False) as f:
            task = asyncio.ensure_future(_read(f, "read" if how == "readall" else how)
                                         if how != "readall" else f.readall())
            for _ in range(20):
                await asyncio.sleep(0)
            os.write(w, b"ab\n")
            time.sleep(0.05)  # the driver completes the read meanwhile; the loop is held
            task.cancel()
            try:
                got = await task
            except asyncio.CancelledError:
                got = None
            if how == "readall":
                os.close(w)  # the read to the end needs an end
                rest = await f.readall()
            else:
                async with asyncio.timeout(10):
                    rest = await _read(f, how)
            return got, rest

    got, rest = run(main())
    data = b"ab\n" if "b" in mode else "ab\n"
    assert got is None and rest == data, (got, rest)


@pytest.mark.parametrize("mode, buffering", [("rb", 0), ("rb", -1), ("r", -1), ("wb", 0),
                                             ("wb", -1), ("w", -1)])
def test_positions_on_a_stream_raise_as_the_built_in(run: Runner, stream: Any, mode: str,
                                                     buffering: int) -> None:
    ops: list[tuple[str, tuple[Any, ...]]] = [("tell", ()), ("seek", (0,)), ("seek", (0, 1)),
                                              ("truncate", ())]

    async def main() -> list[Any]:
        theirs_r, theirs_w = stream()
        ours_r, ours_w = stream()
        theirs = open(theirs_r if "r" in mode else theirs_w, mode, buffering, closefd=False)
        got = []
        async with velnor.open(ours_r if "r" in mode else ours_w, mode, buffering,
                               closefd=False) as ours:
            for name, args in ops:
                async def call(name: str = name, args: tuple[Any, ...] = args) -> Any:
                    result = getattr(ours, name)(*args)
                    return await result if asyncio.iscoroutine(result) else result
                got.append((await async_outcome(call), outcome(lambda: getattr(theirs, name)(*args))))
        theirs.close()
        return got

    for ours, theirs in run(main()):
        assert ours == theirs


_ECHO_STANDARD_STREAMS = """
    import asyncio, os, uvloop, velnor

    async def main(tag):
        async for line in velnor.stdin:
            await velnor.stdout.write(f"{tag} {line}")
            if line == "next\\n":
                break
        # On the same buffer as the text stream, as sys.stdin.buffer is.
        await velnor.stdout_bytes.write(b"raw " + await velnor.stdin_bytes.readline())
        await velnor.stderr.write("err\\n")

    asyncio.run(main("asyncio"))
    uvloop.run(main("uvloop"))  # another loop takes the streams over
    for fd in (0, 1, 2):
        os.fstat(fd)  # never closed
"""


@pytest.mark.parametrize("stdin_kind", ["pipe", "pty"])
def test_standard_streams_answer_each_line_as_it_comes(stdin_kind: str) -> None:
    if stdin_kind == "pty":
        master, child_stdin = pty.openpty()
    else:
        child_stdin, master = os.pipe()
    proc = subprocess.Popen([sys.executable, "-X", "dev", "-W", "error", "-c",
                             textwrap.dedent(_ECHO_STANDARD_STREAMS)],
                            stdin=child_stdin, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    os.close(child_stdin)
    try:
        for tag in ("asyncio", "uvloop"):
            for sent, echoed in ((b"one\n", f"{tag} one\n"), (b"next\n", f"{tag} next\n"),
                                 (b"bin\n", "raw bin\n")):
                os.write(master, sent)
                # Answered with the writer still there: the line is whole.
                assert select.select([proc.stdout], [], [], 10)[0], f"no answer to {sent!r}"
                assert proc.stdout.readline().decode() == echoed
    finally:
        os.close(master)
        out, err = proc.communicate(timeout=30)
    assert (proc.returncode, out, err) == (0, b"", b"err\nerr\n")
