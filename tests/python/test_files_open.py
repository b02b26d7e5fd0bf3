"""velnor.open beside the standard library's unbuffered binary open(): modes,
paths and the exceptions bad input gets, on both event loops."""

from __future__ import annotations

import asyncio
import builtins
import errno
import gc
import io
import os
from contextlib import AsyncExitStack
from pathlib import Path
from typing import Any

import pytest

import velnor
from support.fds import assert_no_fd_leak, settled_fd_count
from support.files import wait_for_state
from support.loops import Runner
from support.side_by_side import assert_same_files, async_outcome, file_pair, outcome

CANONICAL_MODES = ["rb", "rb+", "wb", "wb+", "ab", "ab+", "xb", "xb+"]
# Other spellings of the same modes.
SPELLINGS = [("r+b", "rb+"), ("br", "rb"), ("+ab", "ab+"), ("b+r", "rb+"), ("bw+", "wb+"),
             ("ba", "ab"), ("bx", "xb")]


async def open_outcome(opener: Any, path: Path, mode: str) -> tuple[Any, ...]:
    """Open with `opener` (the built-in open, or velnor.open with its calls
    awaited), write if the file may be written: the states seen, or the
    error's type."""
    ours = opener is velnor.open

    async def awaited(result: Any) -> Any:
        return await result if ours else result

    try:
        f = await awaited(opener(path, mode, buffering=0))
    except Exception as exc:  # the outcome being compared
        return (type(exc),)
    async with AsyncExitStack() as stack:
        await stack.enter_async_context(f) if ours else stack.enter_context(f)
        state = (f.mode, f.tell(), f.readable(), f.writable())
        if f.writable():
            await awaited(f.write(b"XY"))
        return state + (f.tell(),)


@pytest.mark.parametrize("existing", [None, b"", b"0123456789"], ids=["missing", "empty", "full"])
@pytest.mark.parametrize("mode,std_mode", [(m, m) for m in CANONICAL_MODES] + SPELLINGS)
def test_modes_create_truncate_and_append_like_the_standard_library(
        run: Runner, tmp_path: Path, mode: str, std_mode: str, existing: bytes | None) -> None:
    ours, theirs = file_pair(tmp_path, existing)

    async def main() -> tuple[tuple[Any, ...], tuple[Any, ...]]:
        return await open_outcome(velnor.open, ours, mode), await open_outcome(builtins.open, theirs, std_mode)

    got, expected = run(main())
    assert got == expected
    assert_same_files(ours, theirs)


@pytest.mark.parametrize("mode", [*CANONICAL_MODES, "r", "r+", "w", "a+", "x"])
def test_an_opener_is_given_the_flags_the_built_in_gives_it(run: Runner, tmp_path: Path,
                                                           mode: str) -> None:
    path = tmp_path / "f"
    flags: dict[str, int] = {}

    def recording(who: str) -> Any:
        def opener(name: str, given: int) -> int:
            flags[who] = given
            return os.open(name, given, 0o666)
        if "x" in mode:
            path.unlink(missing_ok=True)
        else:
            path.write_bytes(b"data")
        return opener

    with builtins.open(path, mode, opener=recording("built-in")):
        pass

    async def main() -> None:
        async with velnor.open(path, mode, opener=recording("velnor")):
            pass
    run(main())
    assert flags["velnor"] == flags["built-in"]


@pytest.mark.parametrize("mode,kind", [
    *((m, ValueError) for m in ["", "b", "+", "+b", "rw", "rr", "z", "rb+b", "wa", "r++", "xa",
                                "rU", "rbt", "tb"]),
    *((m, TypeError) for m in [None, 3, b"rb"]),  # a mode that is not a str
])
def test_bad_modes_are_refused_at_the_call(tmp_path: Path, mode: Any, kind: type[Exception]) -> None:
    with pytest.raises(kind):
        builtins.open(tmp_path / "f", mode)
    with pytest.raises(kind):
        velnor.open(tmp_path / "f", mode)  # before anything is awaited
    assert not (tmp_path / "f").exists()


@pytest.mark.parametrize("mode", ["r", "rt", "wt", "w", "r+t", "at", "a+", "x"])
def test_text_modes_open_text_files_and_unbuffered_text_is_refused(
        run: Runner, tmp_path: Path, mode: str) -> None:
    (tmp_path / "f").write_text("")
    if "x" in mode:
        (tmp_path / "f").unlink()

    async def main() -> None:
        async with velnor.open(tmp_path / "f", mode) as f:
            assert isinstance(f, velnor.TextFile) and f.mode == mode
        with pytest.raises(ValueError, match="^can't have unbuffered text I/O$"):
            await velnor.open(tmp_path / "f", mode.replace("x", "w"), buffering=0)

    run(main())


def test_paths_of_every_kind_and_their_errors(run: Runner, tmp_path: Path) -> None:
    (tmp_path / "f").write_bytes(b"abc")

    async def main() -> None:
        async with velnor.open(tmp_path / "f", "rb") as f:
            assert f.name == str(tmp_path / "f") and await f.read() == b"abc"
        async with velnor.open(os.fsencode(tmp_path / "f"), "rb") as f:
            assert f.name == os.fsencode(tmp_path / "f") and await f.read() == b"abc"
        # A name that is not valid in the filesystem encoding still reaches its file.
        raw = os.fsencode(tmp_path) + b"/\xff\xfe"
        async with velnor.open(raw, "wb") as f:
            await f.write(b"raw")
        with builtins.open(raw, "rb") as g:
            assert g.read() == b"raw"

        for mode in ("rb", "wb", "ab+"):
            with pytest.raises(IsADirectoryError) as info:
                await velnor.open(tmp_path, mode)
            assert info.value.filename == str(tmp_path)
        with pytest.raises(FileNotFoundError) as missing:
            await velnor.open(tmp_path / "no" / "such", "wb")
        assert str(tmp_path / "no" / "such") in str(missing.value)
        with pytest.raises(FileExistsError):
            await velnor.open(tmp_path / "f", "xb")

    before = settled_fd_count()
    run(main())
    assert_no_fd_leak(before)
    with pytest.raises(ValueError, match="embedded null byte"):
        velnor.open(str(tmp_path / "a\0b"))
    with pytest.raises(TypeError):
        velnor.open(3.5)  # type: ignore[call-overload]


def test_a_closed_file_refuses_everything_but_close(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        f = await velnor.open(tmp_path / "f", "wb+", buffering=0)
        await f.close()
        await f.close()
        assert f.closed and f.name == str(tmp_path / "f") and f.mode == "rb+"
        calls: list[Any] = [
            f.read(), f.read(1), f.readinto(bytearray(1)), f.write(b"x"), f.seek(0),
            f.truncate(), f.flush(), f.sync(), f.size(), f.pread(1, 0), f.pwrite(b"x", 0),
        ]
        for call in calls:
            with pytest.raises(ValueError, match=r"^I/O operation on closed file\.$"):
                await call
        for sync_call in (f.tell, f.fileno, f.readable, f.writable, f.seekable):
            with pytest.raises(ValueError, match=r"^I/O operation on closed file\.$"):
                sync_call()

    run(main())


def test_bad_arguments_get_the_standard_library_exceptions(run: Runner, tmp_path: Path) -> None:
    (tmp_path / "f").write_bytes(b"0123456789")

    async def main() -> None:
        async with velnor.open(tmp_path / "f", "rb+", buffering=0) as f, \
                velnor.open(tmp_path / "f", "rb", buffering=0) as ro, \
                velnor.open(tmp_path / "g", "wb", buffering=0) as wo:
            with builtins.open(tmp_path / "f", "rb+") as std:
                cases: list[tuple[Any, Any, type[BaseException]]] = [
                    (lambda: f.write("text"), lambda: std.write("text"), TypeError),
                    (lambda: f.write(5), lambda: std.write(5), TypeError),
                    (lambda: f.write(memoryview(b"abcdef")[::2]),
                     lambda: std.write(memoryview(b"abcdef")[::2]), BufferError),
                    (lambda: f.readinto(b"abc"), lambda: std.readinto(b"abc"), TypeError),
                    (lambda: f.readinto(memoryview(bytearray(8))[::2]),
                     lambda: std.readinto(memoryview(bytearray(8))[::2]), TypeError),
                    (lambda: f.read(-2), lambda: std.read(-2), ValueError),
                    (lambda: f.read(1.5), lambda: std.read(1.5), TypeError),
                    (lambda: f.seek(-1), lambda: std.seek(-1), OSError),
                    (lambda: f.seek(-20, os.SEEK_END), lambda: std.seek(-20, os.SEEK_END), OSError),
                    (lambda: f.seek(0, 7), lambda: std.seek(0, 7), ValueError),
                    (lambda: f.seek(1.0), lambda: std.seek(1.0), TypeError),
                    (lambda: f.truncate(-1), lambda: std.truncate(-1), OSError),
                    (lambda: f.truncate("1"), lambda: std.truncate("1"), TypeError),
                    (lambda: ro.write(b"x"), None, io.UnsupportedOperation),
                    (lambda: ro.truncate(0), None, io.UnsupportedOperation),
                    (lambda: ro.pwrite(b"x", 0), None, io.UnsupportedOperation),
                    (lambda: wo.read(), None, io.UnsupportedOperation),
                    (lambda: wo.readinto(bytearray(2)), None, io.UnsupportedOperation),
                    (lambda: wo.pread(1, 0), None, io.UnsupportedOperation),
                    (lambda: f.pread(-1, 0), None, ValueError),
                    (lambda: f.pread(1, -1), None, ValueError),
                    (lambda: f.pwrite(b"x", -1), None, ValueError),
                    (lambda: f.seek(2**63), None, OverflowError),
                ]
                for ours, theirs, kind in cases:
                    if theirs is not None:
                        # The built-in's buffered file's type and message.
                        expected = outcome(theirs)
                        assert expected.kind is kind
                        assert await async_outcome(ours) == expected
                    with pytest.raises(kind):
                        await ours()
                assert await wo.readline(0) == b"" == std.readline(0)
                await wo.close()
                assert await wo.readline(0) == b""  # closed or not
            with pytest.raises(OSError) as info:
                await f.seek(-1)
            assert info.value.errno == errno.EINVAL
            # Nothing above moved the position or touched the file.
            assert f.tell() == 0 and await f.read() == b"0123456789"

    run(main())
    assert (tmp_path / "f").read_bytes() == b"0123456789"


def test_a_file_belongs_to_the_loop_that_opened_it(loop_kind: str, run: Runner,
                                                    tmp_path: Path) -> None:
    (tmp_path / "f").write_bytes(b"abc")
    before = settled_fd_count()

    async def opened() -> velnor.BinaryFile:
        return await velnor.open(tmp_path / "f", "rb+", buffering=0)

    f = run(opened())

    async def elsewhere() -> None:
        for call in (f.read, f.size, lambda: f.write(b"x"), lambda: f.seek(0)):
            with pytest.raises(RuntimeError, match="another event loop"):
                await call()
        assert f.tell() == 0  # synchronous state needs no loop
        await f.close()  # a file can always be closed

    run(elsewhere())
    assert f.closed
    assert_no_fd_leak(before)


def test_an_unclosed_file_warns_and_is_closed_by_its_loop(run: Runner, tmp_path: Path) -> None:
    before = settled_fd_count()

    async def main() -> None:
        f = await velnor.open(tmp_path / "f", "wb")
        fd = f.fileno()
        with pytest.warns(ResourceWarning, match="unclosed file"):
            del f
            gc.collect()

        def gone() -> bool:
            try:
                os.fstat(fd)
            except OSError:
                return True
            return False

        await wait_for_state(gone)

    run(main())
    assert_no_fd_leak(before)


def test_the_commonest_call_checks_its_arguments_as_the_built_in(run: Runner, tmp_path: Path) -> None:
    # `velnor.open(str_path, "rb")` skips most checks once the mode has been
    # seen: every other argument must still take the long way and be refused
    # (or honoured) as the built-in does.
    path = str(tmp_path / "f")
    builtins.open(path, "wb").close()

    async def main() -> None:
        for _ in range(2):  # the mode unseen, then seen
            async with velnor.open(path, "rb") as f:
                assert (f.name, f.mode, await f.read()) == (path, "rb", b"")
        refused: list[tuple[Any, Any]] = [
            (lambda: velnor.open(path + "\0", "rb"), lambda: builtins.open(path + "\0", "rb")),
            (lambda: velnor.open(path, "rb", closefd=False),
             lambda: builtins.open(path, "rb", closefd=False)),
            (lambda: velnor.open(path, "rb", buffering=-1.0),  # type: ignore[call-overload]
             lambda: builtins.open(path, "rb", buffering=-1.0)),  # type: ignore[call-overload]
            (lambda: velnor.open(path, "rb", encoding="utf-8"),  # type: ignore[call-overload]
             lambda: builtins.open(path, "rb", encoding="utf-8")),  # type: ignore[call-overload]
            (lambda: velnor.open(path, "rb", newline=""),  # type: ignore[call-overload]
             lambda: builtins.open(path, "rb", newline="")),  # type: ignore[call-overload]
        ]
        for ours, theirs in refused:
            expected = outcome(theirs)
            assert expected.kind in (ValueError, TypeError)
            assert outcome(ours) == expected
        # Honoured, not refused: each still takes the argument's meaning.
        async with velnor.open(path, "rb", closefd=1) as f:  # type: ignore[call-overload]
            assert isinstance(f, velnor.BufferedFile)
        with pytest.warns(RuntimeWarning, match="line buffering"):
            opener = velnor.open(path, "rb", buffering=True)  # type: ignore[call-overload]
        async with opener as f:
            assert isinstance(f, velnor.BufferedFile)
        async with velnor.open(path, "rb", opener=os.open) as f:
            assert isinstance(f, velnor.BufferedFile) and f.name == path

    run(main())


def test_open_is_lazy_and_awaitable_once_per_call(run: Runner, tmp_path: Path) -> None:
    opener = velnor.open(tmp_path / "f", "xb", buffering=0)
    assert not (tmp_path / "f").exists()

    async def main() -> None:
        f = await opener
        async with f:
            assert f.mode == "xb" and f.writable() and not f.readable() and f.seekable()
            assert f.fileno() >= 0 and repr(f).startswith("<velnor.BinaryFile")
        with pytest.raises(FileExistsError):
            await velnor.open(tmp_path / "f", "xb")

    run(main())


def test_cancelled_opens_leave_no_descriptor_behind(run: Runner, tmp_path: Path) -> None:
    (tmp_path / "f").write_bytes(b"abc")
    before = settled_fd_count()

    async def main() -> None:
        for turns in range(8):
            tasks = [asyncio.ensure_future(velnor.open(tmp_path / "f", "rb")) for _ in range(16)]
            for _ in range(turns):
                await asyncio.sleep(0)
            for task in tasks:
                task.cancel()
            for task in tasks:
                try:
                    await (await task).close()
                except asyncio.CancelledError:
                    pass

    run(main())
    assert_no_fd_leak(before)


@pytest.mark.parametrize("buffering", [0, -1])
def test_failed_writes_raise_what_the_built_in_raises(run: Runner, buffering: int) -> None:
    """Failures the kernel reports come worded as the standard library's."""
    def broken_pipe() -> int:
        r, w = os.pipe()
        os.close(r)
        return w

    std = builtins.open(broken_pipe(), "wb", buffering)
    expected = outcome(lambda: (std.write(b"x"), std.flush()))
    outcome(std.close)  # writes out again, fails again, closes

    async def main() -> Any:
        f = await velnor.open(broken_pipe(), "wb", buffering)
        try:
            written = await async_outcome(lambda: f.write(b"x"))
            # A buffered write fails when the buffer is written out.
            return written if buffering == 0 else await async_outcome(f.close)
        finally:
            await f.close()

    assert run(main()) == expected
