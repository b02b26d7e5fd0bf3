"""velnor.tempfile beside tempfile: the same names, permissions, lifetimes
and cleanup, with files and folders made by the driver."""

from __future__ import annotations

import os
import stat
import tempfile
from pathlib import Path

import pytest

import velnor.tempfile as vtf
from support.fs import async_outcome, sync_outcome
from support.loops import Runner


def test_named_files_follow_the_arguments_and_go_away(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        async with vtf.NamedTemporaryFile(prefix="pre-", suffix=".suf", dir=tmp_path) as f:
            name = Path(f.name)
            assert name.parent == tmp_path and name.name.startswith("pre-") and name.name.endswith(".suf")
            with tempfile.NamedTemporaryFile(prefix="pre-", suffix=".suf", dir=tmp_path) as g:
                assert len(name.name) == len(Path(g.name).name)
            assert stat.S_IMODE(name.stat().st_mode) == 0o600
            await f.write(b"data")
            await f.seek(0)
            assert await f.read() == b"data"
        assert not name.exists()
        async with vtf.NamedTemporaryFile(dir=tmp_path, delete=False) as f:
            kept = Path(f.name)
            assert kept.name.startswith("tmp")
        assert kept.exists()
        async with vtf.NamedTemporaryFile(dir=tmp_path) as f:
            await f.close()
        assert not Path(f.name).exists()
        with pytest.raises(FileNotFoundError) as err:
            async with vtf.NamedTemporaryFile(dir=tmp_path / "missing"):
                pass
        assert err.value.filename.startswith(str(tmp_path / "missing"))
    run(main())


def test_unnamed_files_leave_nothing_behind(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        async with vtf.TemporaryFile(dir=tmp_path) as f:
            assert os.listdir(tmp_path) == []
            await f.write(b"x" * 10000)
            await f.seek(5)
            assert await f.read(3) == b"xxx"
            st = os.fstat(f.fileno())
            assert st.st_nlink == 0 and stat.S_IMODE(st.st_mode) == 0o600
        assert os.listdir(tmp_path) == []
    run(main())


def test_folders_are_private_and_removed_with_their_contents(run: Runner, tmp_path: Path) -> None:
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "keep").write_bytes(b"k")

    async def main() -> None:
        td = vtf.TemporaryDirectory(prefix="p", suffix="s", dir=tmp_path)
        async with td as d:
            assert isinstance(d, str) and Path(d).parent == tmp_path
            assert Path(d).name.startswith("p") and Path(d).name.endswith("s")
            assert stat.S_IMODE(os.stat(d).st_mode) == 0o700
            (Path(d) / "a" / "b").mkdir(parents=True)
            (Path(d) / "a" / "b" / "f").write_bytes(b"f")
            (Path(d) / "to_outside").symlink_to(outside)
            (Path(d) / "a" / "broken").symlink_to("nowhere")
            assert repr(td) == f"<TemporaryDirectory {d!r}>"
        assert not Path(d).exists()
        assert (outside / "keep").read_bytes() == b"k"
        async with vtf.TemporaryDirectory(dir=tmp_path, delete=False) as kept:
            pass
        assert Path(kept).is_dir()
        for ignore in (True, False):  # already gone: nothing to complain about, as tempfile
            async with vtf.TemporaryDirectory(dir=tmp_path, ignore_cleanup_errors=ignore) as d2:
                os.rmdir(d2)
        async with vtf.TemporaryDirectory(dir=tmp_path) as d3:
            # Folders their owner cannot write to or read: given back and removed.
            for name, mode in (("ro", 0o500), ("unreadable", 0o300)):
                os.mkdir(Path(d3) / name)
                (Path(d3) / name / "f").write_bytes(b"f")
                os.chmod(Path(d3) / name, mode)
        assert not Path(d3).exists()
        fd, path = await vtf.mkstemp(dir=tmp_path, suffix=".x")
        os.close(fd)
        assert path.endswith(".x") and stat.S_IMODE(os.stat(path).st_mode) == 0o600
        assert Path(await vtf.mkdtemp(dir=tmp_path)).is_dir()
        # bytes in, bytes out; str and bytes mixed: tempfile's TypeError.
        raw = os.fsencode(tmp_path)
        for make, std in ((vtf.mkdtemp, tempfile.mkdtemp), (vtf.mkstemp, tempfile.mkstemp)):
            for kwargs in ({"prefix": b"b-", "dir": raw}, {"suffix": b".s", "dir": raw},
                           {"prefix": "s", "dir": raw}, {"dir": tmp_path}):
                got = await async_outcome(lambda: make(**kwargs))
                want = sync_outcome(lambda: std(**kwargs))
                if want[0] == "raised":
                    assert got == want, kwargs
                    continue
                assert got[0] == "ok", (kwargs, got)
                names = []
                for result in (got[1], want[1]):
                    if make is vtf.mkstemp:
                        os.close(result[0])
                    names.append(result if make is vtf.mkdtemp else result[1])
                assert type(names[0]) is type(names[1]), kwargs
                assert os.path.dirname(names[0]) == os.path.dirname(names[1]), kwargs
    run(main())


def test_the_default_folder_is_tempfiles(run: Runner, tmp_path: Path,
                                         monkeypatch: pytest.MonkeyPatch) -> None:
    async def main() -> None:
        assert await vtf.gettempdir() == tempfile.gettempdir()
        monkeypatch.setattr(tempfile, "tempdir", str(tmp_path))
        async with vtf.NamedTemporaryFile() as f:
            assert Path(f.name).parent == tmp_path
    run(main())


def test_spooled_files_roll_over_past_max_size(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        async with vtf.SpooledTemporaryFile(max_size=10, dir=tmp_path) as f:
            assert await f.write(b"12345") == 5
            assert not f._rolled_to_disk
            with pytest.raises(OSError):
                f.fileno()
            await f.seek(2)
            assert await f.read(2) == b"34"
            await f.write(b"abcdefgh")  # now 12 bytes, position 12
            assert f._rolled_to_disk and os.listdir(tmp_path) == []
            assert await f.tell() == 12
            await f.seek(0)
            assert await f.read() == b"1234abcdefgh"
            assert await f.truncate(3) == 3
            await f.seek(0)
            assert await f.read() == b"123"
            assert os.fstat(f.fileno()).st_size == 3
        async with vtf.SpooledTemporaryFile() as f:  # max_size 0: never rolls over by itself
            await f.write(b"x" * 100_000)
            assert not f._rolled_to_disk
            await f.rollover()
            await f.seek(0)
            assert len(await f.read()) == 100_000
        for max_size, size in ((0, 2), (10, 5), (10, 11)):  # a truncation past max_size rolls over
            async with vtf.SpooledTemporaryFile(max_size) as f:
                await f.write(b"abc")
                await f.truncate(size)
                with tempfile.SpooledTemporaryFile(max_size) as g:
                    g.write(b"abc")
                    g.truncate(size)
                    assert f._rolled_to_disk == g._rolled, (max_size, size)
        async with vtf.SpooledTemporaryFile(mode="w+") as t:
            await t.write("text\n")
            await t.seek(0)
            assert await t.read() == "text\n"
    run(main())
