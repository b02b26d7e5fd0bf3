"""Code written for aiofiles, anyio or trio, in their own style, runs on
velnor: positions and kinds awaited, temporary files awaited, an opener
awaited and then entered, aiofiles' keywords passed, scandir's entries used
as os.DirEntry is."""

from __future__ import annotations

import asyncio
import inspect
import os
from pathlib import Path
from typing import Any

import pytest

import velnor
import velnor.os
import velnor.os.path
import velnor.tempfile
from support.loops import Runner


def test_positions_and_kinds_are_answered_at_once_and_awaited(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"abcdef")

    async def main() -> None:
        for mode, buffering in (("rb", 0), ("rb+", -1), ("r", -1)):
            async with velnor.open(path, mode, buffering) as f:
                await f.read(2)
                # As the built-in's, and as the peers' coroutines.
                assert (f.tell(), await f.tell()) == (2, 2)
                assert [await f.readable(), await f.writable(), await f.seekable(),
                        await f.isatty()] == [True, "+" in mode, True, False]
                assert f.readable() and f.seekable() and not f.isatty()
                assert (repr(f.readable()), str(f.isatty()), f"{f.seekable()}") == ("True", "False", "True")
        async with velnor.tempfile.SpooledTemporaryFile(max_size=4) as s:
            for _ in range(2):  # in memory, then on disk
                await s.write(b"xyz")
                assert f"{s.tell()}" == str(await s.tell()) and await s.seekable() is True
        assert await velnor.stdin.isatty() is os.isatty(0)
    run(main())


def test_temporary_files_are_awaited_as_aiofiles_awaits_them(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        named = velnor.tempfile.NamedTemporaryFile(dir=tmp_path)
        f = await named
        assert await named is f and os.path.exists(f.name)
        await f.write(b"data")
        await f.aclose()  # anyio's and trio's name
        assert os.listdir(tmp_path) == []  # no block to end: removed at close
        f = await velnor.tempfile.NamedTemporaryFile(dir=tmp_path, delete=False)
        await f.close()
        assert os.listdir(tmp_path) == [os.path.basename(f.name)]
        os.remove(f.name)
        t = await velnor.tempfile.TemporaryFile("w+", dir=tmp_path)
        await t.write("text")
        await t.seek(0)
        assert await t.read() == "text" and os.listdir(tmp_path) == []
        await t.close()
        d = await velnor.tempfile.TemporaryDirectory(dir=tmp_path)
        assert d.name is not None and os.path.isdir(d.name)
        await d.cleanup()
        assert os.listdir(tmp_path) == []
        s = await velnor.tempfile.SpooledTemporaryFile(max_size=2)
        await s.write(b"abc")
        await s.close()
        assert os.listdir(tmp_path) == []
    run(main())


def test_an_opener_awaited_then_entered_gives_and_closes_one_file(run: Runner, tmp_path: Path) -> None:
    (tmp_path / "f").write_bytes(b"x")

    async def main() -> None:
        for mode in ("rb", "r+"):
            opener = velnor.open(tmp_path / "f", mode)
            f = await opener
            assert await opener is f
            async with opener as g:
                assert g is f
            assert f.closed
            async with await velnor.open(tmp_path / "f", mode) as h:  # anyio's and trio's habit
                pass
            assert h.closed
    run(main())


def test_aiofiles_keywords_are_accepted_and_ignored(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"x")
    for module in (velnor.os, velnor.os.path):
        for name in module.__all__:
            function = getattr(module, name)
            if inspect.iscoroutinefunction(function) or name == "scandir":
                parameters = inspect.signature(function).parameters
                assert {"loop", "executor"} <= parameters.keys(), name

    async def main() -> None:
        loop = asyncio.get_running_loop()
        async with velnor.open(path, "rb", loop=loop, executor=None) as f:
            assert await f.read() == b"x"
        assert (await velnor.os.stat(path, loop=loop, executor=None)).st_size == 1
        assert await velnor.os.path.isfile(path, loop=loop) and await velnor.os.listdir(tmp_path, executor=None) == ["f"]
    run(main())


def test_scandir_entries_answer_as_os_direntry_at_once_or_awaited(run: Runner, tmp_path: Path) -> None:
    (tmp_path / "file").write_bytes(b"12345")
    (tmp_path / "sub").mkdir()
    (tmp_path / "link").symlink_to("file")
    (tmp_path / "broken").symlink_to("nowhere")

    def facts(e: Any, st: Any, lst: Any) -> tuple[Any, ...]:
        return (e.name, e.is_dir(), e.is_file(), e.is_symlink(), tuple(lst), st and tuple(st))

    with os.scandir(tmp_path) as it:
        theirs = sorted(facts(e, e.stat() if e.name != "broken" else None, e.stat(follow_symlinks=False))
                        for e in it)

    async def main() -> None:
        # aiofiles' form: the listing awaited, then used as os.DirEntry is.
        ours = sorted(facts(e, e.stat() if e.name != "broken" else None, e.stat(follow_symlinks=False))
                      for e in await velnor.os.scandir(tmp_path))
        assert ours == theirs
        async for e in velnor.os.scandir(tmp_path):
            assert await e.stat(follow_symlinks=False) == e.stat(follow_symlinks=False)
            if e.name == "broken":
                with pytest.raises(FileNotFoundError):
                    await e.stat()
                with pytest.raises(FileNotFoundError):
                    e.stat().st_size
            else:
                st = e.stat()
                assert isinstance(await st, os.stat_result) and st.st_size == (await st).st_size
    run(main())
