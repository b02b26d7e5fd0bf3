"""Every public name of velnor used as a program would, each with the exact
type the checkers must infer (`assert_type` fails on a wrong type, a union
where the arguments settle it, and Any).

Only type-checked (mypy --strict, basedpyright strict), never run.
"""

# An Any that reaches a variable or an argument fails too, where no
# `assert_type` looks.
# pyright: reportAny=error

from __future__ import annotations

import os
import pathlib
from collections.abc import AsyncIterator, Sequence
from typing import Any, assert_type

import velnor
import velnor.os.path as vpath
from velnor import (AwaitableBool, AwaitableInt, BinaryFile, BufferedFile, FileOpener, KernelFuture,
                    Path, TextFile)
from velnor.os import DirEntry, ScandirIterator
from velnor.tempfile import (NamedTemporaryFile, SpooledTemporaryFile, TemporaryDirectory,
                             TemporaryFile)

Name = str | bytes | int
Newlines = str | tuple[str, ...] | None


async def opening(name: str, raw: bytes, std: pathlib.Path, p: Path, mode: str, n: int) -> None:
    assert_type(velnor.open(name), FileOpener[TextFile])
    assert_type(velnor.open(raw, "a+", encoding="utf-8", newline=""), FileOpener[TextFile])
    assert_type(velnor.open(std, "rb"), FileOpener[BufferedFile])
    assert_type(velnor.open(3, "wb", 1, closefd=False), FileOpener[BufferedFile])
    assert_type(velnor.open(name, "r+b", buffering=0), FileOpener[BinaryFile])
    assert_type(velnor.open(name, "xb", n), FileOpener[BufferedFile | BinaryFile])
    assert_type(p.open(), FileOpener[TextFile])
    assert_type(p.open("wt", errors="strict"), FileOpener[TextFile])
    assert_type(p.open("ab"), FileOpener[BufferedFile])
    assert_type(p.open("rb", 0), FileOpener[BinaryFile])
    assert_type(p.open("rb", n), FileOpener[BufferedFile | BinaryFile])
    # The one exception, by design, as typeshed's open() gives IO[Any].
    assert_type(velnor.open(name, mode), FileOpener[Any])
    assert_type(p.open(mode), FileOpener[Any])
    async with velnor.open(name) as t, velnor.open(name, "rb") as b, p.open("rb", 0) as r:
        await text_file(t)
        await buffered_file(b)
        await binary_file(r)
    assert_type(await velnor.open(name, "w"), TextFile)
    assert_type((await velnor.read_bytes(std), await velnor.read_text(raw, None, None),
                 await velnor.write_bytes(name, memoryview(b"")),
                 await velnor.write_text(p, "", "utf-8", None, "\n")),
                tuple[bytes, str, int, int])
    future: KernelFuture = velnor.KernelFuture()
    assert_type((future.cancel(), future.abort_requested, future.op_ids, velnor.backend_name(),
                 velnor.__version__), tuple[bool, bool, Sequence[int], str, str])
    assert_type(future.request_abort("why"), None)
    assert_type(future.settle_cancelled(), None)
    assert_type((await velnor.stdin.readline(), await velnor.stdin_bytes.read(4),
                 await velnor.stdout.write(""), await velnor.stderr_bytes.write(memoryview(b"")),
                 velnor.stdout.fileno(), velnor.stderr.isatty(), velnor.stdin.name),
                tuple[str, bytes, int, int, int, AwaitableBool, str])
    async for line in velnor.stdin:
        assert_type(line, str)
    assert_type(await velnor.stdout_bytes.writelines([b""]), None)


async def common(f: TextFile | BufferedFile | BinaryFile) -> None:
    assert_type((f.name, f.mode, f.closed, f.fileno(), f.readable(), f.writable(), f.seekable(),
                 f.isatty(), f.tell(), await f.seek(0, os.SEEK_END), await f.truncate(None)),
                tuple[Name, str, bool, int, AwaitableBool, AwaitableBool, AwaitableBool, AwaitableBool,
                      AwaitableInt, int, int])
    # Answered at once, or awaited as the peers' coroutines are.
    assert_type((await f.tell(), await f.readable(), await f.writable(), await f.seekable(),
                 await f.isatty()), tuple[int, bool, bool, bool, bool])
    position: int = f.tell()
    assert position >= 0
    assert_type(await f.flush(), None)
    assert_type(await f.close(), None)


async def text_file(f: TextFile) -> None:
    assert_type((await f.read(), await f.readline(4), await f.readlines(2), await f.write("x"),
                 f.buffer, f.encoding, f.errors, f.newlines, f.line_buffering, f.write_through),
                tuple[str, str, list[str], int, BufferedFile, str, str, Newlines, bool, bool])
    async for line in f:
        assert_type(line, str)
    assert_type(await f.writelines(["x"]), None)
    async with f as same:
        assert_type(same, TextFile)
    await common(f)


async def buffered_file(f: BufferedFile) -> None:
    buffer = bytearray(4)
    assert_type((await f.read(None), await f.readall(), await f.read1(), await f.peek(),
                 await f.readinto(buffer), await f.readinto1(buffer), await f.readline(),
                 await f.readlines(), await f.write(buffer), f.raw),
                tuple[bytes, bytes, bytes, bytes, int, int, bytes, list[bytes], int, BinaryFile])
    async for line in f:
        assert_type(line, bytes)
    assert_type(await f.writelines([b"x", buffer]), None)
    assert_type(await f.sync(data_only=True), None)
    async with f as same:
        assert_type(same, BufferedFile)
    await common(f)


async def binary_file(f: BinaryFile) -> None:
    buffer = bytearray(4)
    assert_type((await f.read(4), await f.readall(), await f.readinto(buffer), await f.readline(),
                 await f.readlines(), await f.pread(4, 0), await f.write(b"x"),
                 await f.pwrite(buffer, 0), await f.size()),
                tuple[bytes, bytes, int, bytes, list[bytes], bytes, int, int, int])
    async for line in f:
        assert_type(line, bytes)
    assert_type(await f.writelines([memoryview(buffer)]), None)
    assert_type(await f.sync(), None)
    async with f as same:
        assert_type(same, BinaryFile)
    await common(f)


async def os_functions(name: str, raw: bytes, std: pathlib.Path, fd: int) -> None:
    assert_type((await velnor.os.listdir(), await velnor.os.listdir(name),
                 await velnor.os.listdir(std), await velnor.os.listdir(fd),
                 await velnor.os.listdir(raw)),
                tuple[list[str], list[str], list[str], list[str], list[bytes]])
    assert_type((await velnor.os.readlink(name), await velnor.os.readlink(std),
                 await velnor.os.readlink(raw), await velnor.os.getcwd(),
                 await velnor.os.getcwdb()), tuple[str, str, bytes, str, bytes])
    assert_type((await velnor.os.copy_file(raw, name), await velnor.os.copy_file(name, std),
                 await velnor.os.copy_file(std, raw)), tuple[str, pathlib.Path, bytes])
    assert_type((await velnor.os.stat(fd), await velnor.os.lstat(raw, dir_fd=fd),
                 await velnor.os.statvfs(std), await velnor.os.access(name, os.R_OK),
                 await velnor.os.open(name, os.O_RDONLY, 0o600, dir_fd=None),
                 await velnor.os.sendfile(fd, fd, None, 1)),
                tuple[os.stat_result, os.stat_result, os.statvfs_result, bool, int, int])
    assert_type(await velnor.os.chmod(name, 0o600, follow_symlinks=False), None)
    assert_type(await velnor.os.close(fd), None)
    assert_type(await velnor.os.link(name, raw), None)
    assert_type(await velnor.os.makedirs(std, exist_ok=True), None)
    assert_type(await velnor.os.mkdir(name, 0o700), None)
    assert_type(await velnor.os.remove(raw), None)
    assert_type(await velnor.os.removedirs(std), None)
    assert_type(await velnor.os.rename(name, std), None)
    assert_type(await velnor.os.renames(name, std), None)
    assert_type(await velnor.os.replace(raw, raw), None)
    assert_type(await velnor.os.rmdir(name), None)
    assert_type(await velnor.os.symlink(name, std, True), None)
    assert_type(await velnor.os.truncate(fd, 0), None)
    assert_type(await velnor.os.unlink(std), None)
    assert_type(await velnor.os.utime(name, (1.0, 2.0)), None)
    assert_type(await velnor.os.utime(fd, ns=(1, 2)), None)


async def entries(name: str, raw: bytes, std: pathlib.Path, fd: int) -> None:
    assert_type((velnor.os.scandir(), velnor.os.scandir(fd), velnor.os.scandir(std),
                 velnor.os.scandir(raw)),
                tuple[ScandirIterator[str], ScandirIterator[str], ScandirIterator[str],
                      ScandirIterator[bytes]])
    async with velnor.os.scandir(raw) as listing:
        async for entry in listing:
            assert_type(entry, DirEntry[bytes])
            assert_type((entry.name, entry.path, os.fspath(entry), entry.is_dir(),
                         entry.is_file(follow_symlinks=False), entry.is_symlink(),
                         entry.is_junction(), entry.inode(), await entry.stat()),
                        tuple[bytes, bytes, bytes, bool, bool, bool, bool, int, os.stat_result])
    with await velnor.os.scandir(name) as listed:
        for text_entry in listed:
            # Used at once, as os.DirEntry's (aiofiles' entries), or awaited.
            status: os.stat_result = text_entry.stat()
            assert_type((text_entry.name, text_entry.stat().st_size, await text_entry.stat(),
                         status.st_mtime), tuple[str, int, os.stat_result, float])
        assert_type(listed.close(), None)


async def os_path(name: str, raw: bytes, std: pathlib.Path, fd: int) -> None:
    assert_type((await vpath.exists(name), await vpath.lexists(raw), await vpath.isfile(fd),
                 await vpath.isdir(std), await vpath.islink(name), await vpath.isjunction(name),
                 await vpath.isdevdrive(name), await vpath.ismount(raw),
                 await vpath.samefile(name, fd), await vpath.sameopenfile(fd, fd)),
                tuple[bool, bool, bool, bool, bool, bool, bool, bool, bool, bool])
    assert_type((await vpath.getsize(name), await vpath.getmtime(raw), await vpath.getatime(std),
                 await vpath.getctime(fd)), tuple[int, float, float, float])
    assert_type((await vpath.realpath(name), await vpath.realpath(std, strict=True),
                 await vpath.realpath(raw)), tuple[str, str, bytes])
    st = await velnor.os.stat(name, loop=None, executor=None)  # aiofiles' keywords
    # The pure helpers are the standard library's own (abspath is awaited, as in aiofiles).
    assert_type((await vpath.abspath(name), vpath.basename(raw), vpath.commonpath([name]),
                 vpath.commonprefix([name]), vpath.dirname(name), vpath.expanduser(name),
                 vpath.expandvars(name), vpath.isabs(name), vpath.join(name, name),
                 vpath.normcase(name), vpath.normpath(name), vpath.relpath(name),
                 vpath.split(name), vpath.splitdrive(name), vpath.splitext(name),
                 vpath.splitroot(name), vpath.samestat(st, st)),
                tuple[str, bytes, str, str, str, str, str, bool, str, str, str, str,
                      tuple[str, str], tuple[str, str], tuple[str, str], tuple[str, str, str],
                      bool])
    assert_type((vpath.altsep, vpath.curdir, vpath.defpath, vpath.devnull, vpath.extsep,
                 vpath.pardir, vpath.pathsep, vpath.sep, vpath.supports_unicode_filenames),
                tuple[str | None, str, str, str, str, str, str, str, bool])


async def paths(p: Path, name: str) -> None:
    q = Path(name, pathlib.Path(name), p)
    assert_type((p / name, name / p, p.parent, p.joinpath(name, q), p.with_name(name),
                 p.with_stem(name), p.with_suffix(".x"), p.relative_to(q), p.with_segments(name),
                 await Path.cwd(), await Path.home(), await p.absolute(), await p.expanduser(),
                 await p.resolve(strict=True), await p.readlink(), await p.rename(q),
                 await p.replace(name)),
                tuple[Path, Path, Path, Path, Path, Path, Path, Path, Path, Path, Path, Path, Path,
                      Path, Path, Path, Path])
    assert_type((p.parts, p.drive, p.root, p.anchor, p.name, p.suffix, p.suffixes, p.stem,
                 p.parents, p.sync, os.fspath(p), str(p), bytes(p), p.as_posix(), p.as_uri()),
                tuple[tuple[str, ...], str, str, str, str, str, list[str], str, Sequence[Path],
                      pathlib.Path, str, str, bytes, str, str])
    assert_type((p.is_absolute(), p.is_reserved(), p.is_relative_to(q), p.match("*"), p == q,
                 p < q, p <= q, p > q, p >= q, hash(p)),
                tuple[bool, bool, bool, bool, bool, bool, bool, bool, bool, int])
    assert_type((await p.stat(follow_symlinks=False), await p.lstat(), await p.owner(),
                 await p.group(), await p.read_bytes(), await p.read_text("utf-8"),
                 await p.write_bytes(bytearray()), await p.write_text("", newline="")),
                tuple[os.stat_result, os.stat_result, str, str, bytes, str, int, int])
    assert_type((await p.exists(), await p.is_dir(), await p.is_file(), await p.is_symlink(),
                 await p.is_fifo(), await p.is_socket(), await p.is_block_device(),
                 await p.is_char_device(), await p.is_junction(), await p.is_mount(),
                 await p.samefile(name)),
                tuple[bool, bool, bool, bool, bool, bool, bool, bool, bool, bool, bool])
    listings: tuple[AsyncIterator[Path], ...] = (p.iterdir(), p.glob("*"), p.rglob("*.py"))
    for listing in listings:
        async for found in listing:
            assert_type(found, Path)
    async for folder, dirs, files in p.walk(False, on_error=print, follow_symlinks=True):
        assert_type((folder, dirs, files), tuple[Path, list[str], list[str]])
    assert_type(await p.mkdir(0o700, parents=True, exist_ok=True), None)
    assert_type(await p.touch(exist_ok=False), None)
    assert_type(await p.symlink_to(q, target_is_directory=True), None)
    assert_type(await p.hardlink_to(name), None)
    assert_type(await p.chmod(0o600), None)
    assert_type(await p.lchmod(0o600), None)
    assert_type(await p.unlink(missing_ok=True), None)
    assert_type(await p.rmdir(), None)


async def temporary(name: str, raw: bytes, std: pathlib.Path, n: int) -> None:
    assert_type((await velnor.tempfile.gettempdir(), await velnor.tempfile.mkstemp(),
                 await velnor.tempfile.mkstemp(".x", dir=std, text=True),
                 await velnor.tempfile.mkstemp(prefix=b"x"), await velnor.tempfile.mkdtemp(),
                 await velnor.tempfile.mkdtemp(None, None, raw)),
                tuple[str, tuple[int, str], tuple[int, str], tuple[int, bytes], str, bytes])
    async with (TemporaryFile() as b1, TemporaryFile("w+") as t1, TemporaryFile(buffering=0) as r1,
                TemporaryFile("rb+", 0) as r2, TemporaryFile("wb", 1) as b2,
                TemporaryFile("ab", n) as e1):
        assert_type((b1, t1, r1, r2, b2, e1),
                    tuple[BufferedFile, TextFile, BinaryFile, BinaryFile, BufferedFile,
                          BufferedFile | BinaryFile])
    async with (NamedTemporaryFile(delete=False) as b1, NamedTemporaryFile("wt") as t1,
                NamedTemporaryFile(buffering=0, suffix=".x") as r1,
                NamedTemporaryFile("w+b", 0, dir=name) as r2,
                NamedTemporaryFile("xb", -1, delete_on_close=False) as b2,
                NamedTemporaryFile("r+b", n) as e1):
        # Each is its file type, by a type of its own that has a str name.
        assert_type((b1.name, t1.name, r1.name, r2.name, b2.name, e1.name),
                    tuple[str, str, str, str, str, str])
        await buffered_file(b1)
        await text_file(t1)
        await binary_file(r1)
        await binary_file(r2)
        await buffered_file(b2)
        await common(e1)
    # Awaited, as aiofiles' are.
    awaited_named = await NamedTemporaryFile("w+")
    awaited_spooled = await SpooledTemporaryFile()
    awaited_folder = await TemporaryDirectory()
    assert_type((awaited_named.name, await TemporaryFile(), awaited_spooled, awaited_folder,
                 await velnor.open(name, "rb")),
                tuple[str, BufferedFile, SpooledTemporaryFile[bytes], TemporaryDirectory, BufferedFile])
    folder = TemporaryDirectory(prefix="x", ignore_cleanup_errors=True, delete=False)
    async with folder as made:
        assert_type((made, folder.name), tuple[str, str | None])
    assert_type(await folder.cleanup(), None)
    async with (SpooledTemporaryFile() as sb, SpooledTemporaryFile(10, "w+") as st,
                SpooledTemporaryFile(mode="rt") as st2):
        assert_type((sb, st, st2), tuple[SpooledTemporaryFile[bytes], SpooledTemporaryFile[str],
                                         SpooledTemporaryFile[str]])
        buffer = bytearray(4)
        assert_type((await sb.read(), await sb.read1(), await sb.readinto(buffer),
                     await sb.readinto1(buffer), await sb.readline(), await sb.readlines(),
                     await sb.write(buffer), await sb.write(b"x")),
                    tuple[bytes, bytes, int, int, bytes, list[bytes], int, int])
        assert_type((await st.read(2), await st.readline(None), await st.readlines(1),
                     await st.write("x"), st.encoding, st.errors, st.newlines),
                    tuple[str, str, list[str], int, str, str, Newlines])
        assert_type((sb.name, sb.mode, sb.closed, await sb.readable(), await sb.writable(),
                     await sb.seekable(), await sb.isatty(), await sb.seek(0), await sb.tell(),
                     sb.tell(), await sb.truncate(1), sb.fileno()),
                    tuple[int | None, str, bool, bool, bool, bool, bool, int, int, AwaitableInt, int,
                          int])
        async for text_line in st:
            assert_type(text_line, str)
        async for line in sb:
            assert_type(line, bytes)
        assert_type(await sb.writelines([b"x", buffer]), None)
        assert_type(await st.writelines(["x"]), None)
        assert_type(await sb.rollover(), None)
        assert_type(await sb.flush(), None)
        assert_type(await st2.close(), None)
