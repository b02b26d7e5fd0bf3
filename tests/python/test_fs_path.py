"""velnor.Path side by side with pathlib.Path: pure operations identical and
synchronous, I/O methods awaited with the same results and errors."""

from __future__ import annotations

import os
import pathlib
import sys
from pathlib import Path as SyncPath
from typing import Any

import pytest

import velnor
import velnor.os
from velnor import Path
from support.loops import Runner
from support.fs import async_outcome, stat_facts, sync_outcome, tree


def test_pure_operations_are_pathlibs() -> None:
    for raw in ("a/b.tar.gz", "/abs/x", ".", "..", "a/../b/", "/", "name.", ".hidden"):
        mine, theirs = Path(raw), pathlib.Path(raw)
        assert str(mine) == str(theirs) and os.fspath(mine) == os.fspath(theirs)
        assert bytes(mine) == bytes(theirs)
        assert repr(mine) == f"Path({theirs.as_posix()!r})"
        for attr in ("name", "suffix", "suffixes", "stem", "parts", "anchor", "root", "drive"):
            assert getattr(mine, attr) == getattr(theirs, attr), (raw, attr)
        assert mine.parent == Path(theirs.parent) and isinstance(mine.parent, Path)
        assert list(mine.parents) == [Path(p) for p in theirs.parents]
        assert (mine / "c") == Path(theirs / "c") and ("/r" / mine) == Path("/r" / theirs)
        assert mine.is_absolute() == theirs.is_absolute()
        assert mine.as_posix() == theirs.as_posix()
        assert mine.match("*.gz") == theirs.match("*.gz")
        assert mine.joinpath("x", "y") == Path(theirs.joinpath("x", "y"))
        if theirs.name:
            assert mine.with_name("n") == Path(theirs.with_name("n"))
            assert mine.with_suffix(".s") == Path(theirs.with_suffix(".s"))
            assert mine.with_stem("t") == Path(theirs.with_stem("t"))
    assert Path("/a/b").relative_to("/a") == Path("b")
    assert Path("/a/b").is_relative_to("/a") and not Path("/a/b").is_relative_to("/c")
    assert Path("/a/b").as_uri() == pathlib.Path("/a/b").as_uri()
    # The same path as pathlib's, both ways round, in sets and in order.
    assert Path("a") == pathlib.Path("a") and pathlib.Path("a/b") == Path("a/b")
    assert hash(Path("a")) == hash(pathlib.Path("a")) and {Path("a"), pathlib.Path("a")} == {Path("a")}
    assert Path("a") != pathlib.PureWindowsPath("a") and Path("a") != "a"
    assert sorted([Path("b"), Path("a")]) == [Path("a"), Path("b")]
    assert sorted([pathlib.Path("b"), Path("c"), Path("a")]) == [Path("a"), Path("b"), Path("c")]
    assert Path(Path("a"), "b") == Path("a/b") and isinstance(Path("a"), os.PathLike)
    with pytest.raises(ValueError) as mine_err:
        Path("/a").relative_to("/b")
    with pytest.raises(ValueError) as theirs_err:
        pathlib.Path("/a").relative_to("/b")
    assert str(mine_err.value) == str(theirs_err.value)


@pytest.fixture
def sample(tmp_path: SyncPath) -> SyncPath:
    (tmp_path / "file.txt").write_bytes(b"line\r\nnext\r")
    (tmp_path / "d" / "e").mkdir(parents=True)
    (tmp_path / "d" / "x.py").touch()
    (tmp_path / "d" / "e" / "y.py").touch()
    (tmp_path / "d" / ".hidden.py").touch()
    (tmp_path / "link").symlink_to("file.txt")
    (tmp_path / "dlink").symlink_to("d")
    (tmp_path / "broken").symlink_to("nowhere")
    os.mkfifo(tmp_path / "fifo")
    return tmp_path


PREDICATES = ("exists", "is_dir", "is_file", "is_symlink", "is_fifo", "is_socket",
              "is_block_device", "is_char_device", "is_mount")


def test_status_methods_answer_as_pathlib(run: Runner, sample: SyncPath) -> None:
    async def main() -> None:
        for name in ("file.txt", "d", "link", "dlink", "broken", "fifo", "missing",
                     "file.txt/x", "/", "/dev/null"):
            mine, theirs = Path(sample / name), sample / name
            for pred in PREDICATES:
                assert await getattr(mine, pred)() == getattr(theirs, pred)(), (name, pred)
            # follow_symlinks: exists since 3.12, is_dir and is_file since 3.13.
            for pred in ("exists", "is_dir", "is_file")[:1 if sys.version_info < (3, 13) else 3]:
                assert await getattr(mine, pred)(follow_symlinks=False) == \
                    getattr(theirs, pred)(follow_symlinks=False), (name, pred)
            if name in ("/", "/dev/null"):
                continue  # their times move with the rest of the system
            for method in ("stat", "lstat"):
                got = await async_outcome(getattr(mine, method))
                want = sync_outcome(getattr(theirs, method))
                assert (stat_facts(got[1]) if got[0] == "ok" else got) == (
                    stat_facts(want[1]) if want[0] == "ok" else want), (name, method)
            for method in ("owner", "group"):
                assert await async_outcome(getattr(mine, method)) == \
                    sync_outcome(getattr(theirs, method)), (name, method)
                if sys.version_info >= (3, 13):
                    assert await async_outcome(lambda: getattr(mine, method)(follow_symlinks=False)) == \
                        sync_outcome(lambda: getattr(theirs, method)(follow_symlinks=False)), (name, method)
        assert await Path(sample / "link").samefile(sample / "file.txt")
        assert await Path(sample / "link").readlink() == Path("file.txt")
        assert await Path("x").absolute() == Path(pathlib.Path("x").absolute())
        assert await Path("~").expanduser() == Path(pathlib.Path("~").expanduser())
        assert await Path.cwd() == Path(pathlib.Path.cwd())
        assert await Path.home() == Path(pathlib.Path.home())
    run(main())


def test_owner_and_group_without_a_name_raise_as_pathlib(run: Runner, tmp_path: SyncPath) -> None:
    if os.geteuid() != 0:
        pytest.skip("only root can give a file to an id without a name")
    path = tmp_path / "f"
    path.write_bytes(b"")
    unnamed = next(i for i in range(54321, 64000) if not _named(i))
    os.chown(path, unnamed, unnamed)

    async def main() -> None:
        for method in ("owner", "group"):
            assert await async_outcome(getattr(Path(path), method)) == \
                sync_outcome(getattr(path, method)), method
    run(main())


def _named(i: int) -> bool:
    import grp
    import pwd
    try:
        pwd.getpwuid(i)
        return True
    except KeyError:
        pass
    try:
        grp.getgrgid(i)
        return True
    except KeyError:
        return False


def test_contents_as_pathlib_reads_and_writes_them(run: Runner, sample: SyncPath) -> None:
    async def main() -> None:
        f = Path(sample / "file.txt")
        assert await f.read_bytes() == (sample / "file.txt").read_bytes()
        assert await f.read_text() == (sample / "file.txt").read_text()
        assert await f.read_text(encoding="latin-1") == (sample / "file.txt").read_text(encoding="latin-1")
        for data, kwargs in (("a\nb", {}), ("é\n", {"encoding": "utf-16"}),
                             ("x\ny", {"newline": "\r\n"}), ("\udcff", {"errors": "surrogateescape"})):
            n = await Path(sample / "m").write_text(data, **kwargs)
            assert n == (sample / "t").write_text(data, **kwargs)
            assert (sample / "m").read_bytes() == (sample / "t").read_bytes()
        assert await Path(sample / "m").write_bytes(memoryview(b"raw")) == 3
        assert (sample / "m").read_bytes() == b"raw"
        got = await async_outcome(lambda: Path(sample / "m").write_text(b"x"))  # type: ignore[arg-type]
        assert got == sync_outcome(lambda: (sample / "t").write_text(b"x"))  # type: ignore[arg-type]
        for missing in (Path(sample / "missing"), Path(sample / "d")):
            got = await async_outcome(missing.read_bytes)
            assert got == sync_outcome(pathlib.Path(missing).read_bytes)
        async with Path(sample / "m").open("rb") as fh:
            assert await fh.read() == b"raw"
        fh = await Path(sample / "m").open("r+b")
        await fh.write(b"R")
        await fh.close()
        assert (sample / "m").read_bytes() == b"Raw"
    run(main())


def test_changes_leave_the_same_trees_and_errors(run: Runner, tmp_path: SyncPath) -> None:
    mine_root, theirs_root = tmp_path / "mine", tmp_path / "theirs"
    mine_root.mkdir()
    theirs_root.mkdir()

    async def main() -> None:
        outcomes: dict[str, list[Any]] = {"mine": [], "theirs": []}
        for kind, root in (("mine", mine_root), ("theirs", theirs_root)):
            def P(rel: str) -> Any:  # noqa: N802
                return Path(root / rel) if kind == "mine" else root / rel

            async def call(obj: Any, method: str, *a: Any, **k: Any) -> None:
                bound = getattr(obj, method)
                if kind == "mine":
                    r = await async_outcome(lambda: bound(*a, **k))
                else:
                    r = sync_outcome(lambda: bound(*a, **k))
                outcomes[kind].append(tuple(str(v).replace(str(root), "ROOT") for v in r))

            await call(P("a/b/c"), "mkdir")
            await call(P("a/b/c"), "mkdir", parents=True)
            await call(P("a/b/c"), "mkdir", parents=True)
            await call(P("a/b/c"), "mkdir", parents=True, exist_ok=True)
            await call(P("a/m"), "mkdir", 0o700)
            await call(P("a/f"), "touch")
            await call(P("a/f"), "touch")
            await call(P("a/f"), "touch", exist_ok=False)
            await call(P("a/g"), "touch", 0o600)
            await call(P("a/f"), "rename", root / "a/h")
            await call(P("a/g"), "replace", root / "a/h")
            await call(P("a/f"), "unlink")
            await call(P("a/f"), "unlink", missing_ok=True)
            await call(P("a/b"), "rmdir")
            await call(P("a/b/c"), "rmdir")
            await call(P("a/s"), "symlink_to", "h")
            await call(P("a/hl"), "hardlink_to", root / "a/h")
            await call(P("a/h"), "chmod", 0o640)
            await call(P("a/missing/x"), "chmod", 0o640)
            await call(P("a/s"), "resolve")
            await call(P("a/nothing/.."), "resolve")
            await call(P("a/nothing"), "resolve", strict=True)
            await call(P("a/loop"), "symlink_to", "loop")
            await call(P("a/loop"), "resolve")
            await call(P("a/loop/x"), "resolve", strict=True)
        assert outcomes["mine"] == outcomes["theirs"]
        assert tree(mine_root) == tree(theirs_root)
    run(main())


def test_new_paths_keep_the_callers_subclass(run: Runner, tmp_path: SyncPath) -> None:
    class Mine(Path):
        __slots__ = ()

    async def main() -> None:
        a = Mine(tmp_path / "a")
        await a.touch()
        b = await a.rename(tmp_path / "b")
        c = await b.replace(tmp_path / "c")
        assert [type(p) for p in (b, c, c.with_suffix(".x"), c.parent)] == [Mine] * 4

    run(main())


def test_touch_creates_under_the_umask_of_the_moment(run: Runner, tmp_path: SyncPath) -> None:
    modes: list[tuple[int, int]] = []
    old = os.umask(0o077)
    try:
        async def main() -> None:
            for mode in (0o666, 0o640, 0o755):
                mine, theirs = tmp_path / f"m{mode:o}", tmp_path / f"t{mode:o}"
                await Path(mine).touch(mode)
                theirs.touch(mode)
                modes.append((mine.stat().st_mode, theirs.stat().st_mode))
        run(main())
    finally:
        os.umask(old)
    assert [m for m, _ in modes] == [t for _, t in modes]


def test_iteration_matches_pathlib(run: Runner, sample: SyncPath) -> None:
    async def main() -> None:
        base = Path(sample)
        assert sorted([p async for p in base.iterdir()]) == sorted(Path(p) for p in sample.iterdir())
        patterns = ["*", "*.txt", "d/*.py", "**/*.py", "**", "**/", "d/**/*.py", "?/e", "[df]*",
                    "*/", "d/./*.py", "missing/*", "dlink/*", "**/e/*"]
        for pattern in patterns:
            got = sorted([p async for p in base.glob(pattern)])
            assert got == sorted(Path(p) for p in sample.glob(pattern)), pattern
        for pattern in ("*.py", "e", "*"):
            got = sorted([p async for p in base.rglob(pattern)])
            assert got == sorted(Path(p) for p in sample.rglob(pattern)), pattern
        # (Python 3.12's pathlib fails "." with an IndexError of its own.)
        for bad in ("", "/abs", "a**", "d/**x") + ((".",) if sys.version_info >= (3, 13) else ()):
            got = await async_outcome(lambda: _drain(base.glob(bad)))
            assert got[:2] == sync_outcome(lambda: list(sample.glob(bad)))[:2], bad
        if sys.version_info >= (3, 12):
            for top_down in (True, False):
                for follow in (False, True):
                    got = [(p, sorted(ds), sorted(fs)) async for p, ds, fs in
                           base.walk(top_down=top_down, follow_symlinks=follow)]
                    want = [(Path(p), sorted(ds), sorted(fs)) for p, ds, fs in
                            sample.walk(top_down=top_down, follow_symlinks=follow)]
                    assert sorted(got) == sorted(want)
                    if not top_down:  # children before their parent
                        order = [p for p, _, _ in got]
                        assert order.index(Path(sample / "d" / "e")) < order.index(Path(sample / "d"))
            # Top down, the caller prunes and orders what is walked into.
            got, want = [], []
            async for p, ds, fs in base.walk():
                ds[:] = sorted(d for d in ds if d != "d")
                got.append((p, list(ds), sorted(fs)))
            for p, ds, fs in sample.walk():
                ds[:] = sorted(d for d in ds if d != "d")
                want.append((Path(p), list(ds), sorted(fs)))
            assert got == want
            errors: list[OSError] = []
            assert [x async for x in Path(sample / "missing").walk(on_error=errors.append)] == []
            assert [type(e) for e in errors] == [FileNotFoundError]
    run(main())


def test_walks_list_each_folder_once_and_look_up_only_what_they_ask(
        run: Runner, sample: SyncPath, monkeypatch: pytest.MonkeyPatch) -> None:
    import _velnor
    calls: list[str] = []
    # Every lookup asks for the status on the spot first (and the driver
    # only when that cannot be had): those calls count the lookups.
    for name, counted_as in (("stat_cached", "stat"), ("listdir", "listdir")):
        def counted(*args: Any, _real: Any = getattr(_velnor, name), _name: str = counted_as) -> Any:
            calls.append(_name)
            return _real(*args)
        monkeypatch.setattr(_velnor, name, counted)

    async def count(it: Any) -> dict[str, int]:
        calls.clear()
        await _drain(it)
        return {n: calls.count(n) for n in ("listdir", "stat")}

    async def main() -> None:
        base = Path(sample)  # three folders (sample, d, d/e), three symlinks at the top
        assert await count(base.walk()) == {"listdir": 3, "stat": 0}
        assert await count(base.walk(follow_symlinks=True)) == {"listdir": 5, "stat": 3}  # dlink, dlink/e too
        assert await count(base.glob("**/*.py")) == {"listdir": 3, "stat": 0}
        assert await count(base.glob("**/*/")) == {"listdir": 3, "stat": 3}
        assert await count(base.glob("*")) == {"listdir": 1, "stat": 0}
        # An entry's status is looked up once, following or not (a symlink's
        # target was looked up with the listing).
        entries = {e.name: e for e in await velnor.os.scandir(sample)}
        calls.clear()
        for name in ("file.txt", "d", "link", "fifo"):
            for follow in (True, False, True):
                st = await entries[name].stat(follow_symlinks=follow)
                assert st.st_ino == os.stat(sample / name, follow_symlinks=follow).st_ino
        assert calls == ["stat"] * 4
    run(main())


async def _drain(it: Any) -> list[Any]:
    return [x async for x in it]
