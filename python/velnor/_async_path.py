"""`velnor.Path`: ``pathlib.Path`` with its I/O methods as coroutines."""

from __future__ import annotations

import asyncio
import errno
import fnmatch
import grp
import io
import os
import pathlib
import pwd
import stat as _st
import sys
from collections.abc import AsyncIterator, Buffer, Callable, Sequence
from typing import Any, Literal, Self, overload

from . import os as _vos
from ._buffered import BufferedFile
from ._files import BinaryFile
from ._open import FileOpener, OpenBinaryMode, OpenTextMode, open as _open
from ._pace import Pace
from ._text import TextFile
from ._whole_file import read_bytes as _read_bytes, read_text as _read_text
from ._whole_file import write_bytes as _write_bytes, write_text as _write_text
from ._errors import public_traceback


def _pure(name: str) -> Any:
    """A read-only attribute that is the ``pathlib`` path's own."""
    def get(self: Path) -> Any:
        return getattr(self._path, name)
    return property(get, doc=f"As ``pathlib.PurePath.{name}``.")


def _pathlib_of(other: Path | pathlib.PurePath) -> pathlib.PurePath:
    return other._path if isinstance(other, Path) else other


class Path(os.PathLike[str]):
    """An async ``pathlib.Path``, as anyio and trio offer it.

    The pure operations (joining with ``/``, ``name``, ``parent``,
    ``with_suffix``, ``relative_to``, ``match``, comparisons ...) are
    ``pathlib``'s own and synchronous; they return `Path` where pathlib
    returns a path. Every method that touches the file system is a coroutine
    (``exists``, ``stat``, ``is_dir``, ``read_text``, ``mkdir``, ...) and runs
    through the driver thread, never blocking the event loop; ``iterdir``,
    ``glob``, ``rglob`` and ``walk`` are async iterators. ``open`` returns
    what `velnor.open` returns: ``await p.open()`` or ``async with p.open()``.
    """

    __slots__ = ("_path",)
    _path: pathlib.Path

    def __init__(self, *args: str | os.PathLike[str]) -> None:
        try:
            self._path = pathlib.Path(*[a._path if isinstance(a, Path) else a for a in args])
        except Exception as error:
            public_traceback(error)
            raise

    @classmethod
    def _wrap(cls, path: pathlib.Path) -> Path:
        obj = cls.__new__(cls)
        obj._path = path
        return obj

    # ------------------------------------------------------ pure operations

    def __fspath__(self) -> str:
        return self._path.__fspath__()

    def __str__(self) -> str:
        return str(self._path)

    def __bytes__(self) -> bytes:
        return bytes(self._path)

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self._path.as_posix()!r})"

    def __hash__(self) -> int:
        return hash(self._path)

    # Equal to, hashed and ordered as the pathlib path of the same name, as
    # a pathlib path of one flavour is to one of another.
    def __eq__(self, other: object) -> bool:
        if isinstance(other, Path):
            return self._path == other._path
        if isinstance(other, pathlib.PurePath):
            return self._path == other
        return NotImplemented

    def __lt__(self, other: Path | pathlib.PurePath) -> bool:
        return self._path < _pathlib_of(other)

    def __le__(self, other: Path | pathlib.PurePath) -> bool:
        return self._path <= _pathlib_of(other)

    def __gt__(self, other: Path | pathlib.PurePath) -> bool:
        return self._path > _pathlib_of(other)

    def __ge__(self, other: Path | pathlib.PurePath) -> bool:
        return self._path >= _pathlib_of(other)

    def __truediv__(self, other: str | os.PathLike[str]) -> Path:
        return self._wrap(self._path / (other._path if isinstance(other, Path) else other))

    def __rtruediv__(self, other: str | os.PathLike[str]) -> Path:
        return self._wrap(other / self._path)

    parts: tuple[str, ...] = _pure("parts")
    drive: str = _pure("drive")
    root: str = _pure("root")
    anchor: str = _pure("anchor")
    name: str = _pure("name")
    suffix: str = _pure("suffix")
    suffixes: list[str] = _pure("suffixes")
    stem: str = _pure("stem")

    @property
    def parents(self) -> Sequence[Path]:
        return tuple(self._wrap(p) for p in self._path.parents)

    @property
    def parent(self) -> Path:
        return self._wrap(self._path.parent)

    def as_posix(self) -> str:
        try:
            return self._path.as_posix()
        except Exception as error:
            public_traceback(error)
            raise

    def as_uri(self) -> str:
        try:
            return self._path.as_uri()
        except Exception as error:
            public_traceback(error)
            raise

    def is_absolute(self) -> bool:
        try:
            return self._path.is_absolute()
        except Exception as error:
            public_traceback(error)
            raise

    def is_reserved(self) -> bool:
        try:
            return self._path.is_reserved()
        except Exception as error:
            public_traceback(error)
            raise

    def is_relative_to(self, other: str | os.PathLike[str]) -> bool:
        try:
            return self._path.is_relative_to(other)
        except Exception as error:
            public_traceback(error)
            raise

    def relative_to(self, other: str | os.PathLike[str]) -> Path:
        try:
            return self._wrap(self._path.relative_to(other))
        except Exception as error:
            public_traceback(error)
            raise

    def joinpath(self, *other: str | os.PathLike[str]) -> Path:
        try:
            return self._wrap(self._path.joinpath(*other))
        except Exception as error:
            public_traceback(error)
            raise

    def match(self, path_pattern: str) -> bool:
        try:
            return self._path.match(path_pattern)
        except Exception as error:
            public_traceback(error)
            raise

    def with_name(self, name: str) -> Path:
        try:
            return self._wrap(self._path.with_name(name))
        except Exception as error:
            public_traceback(error)
            raise

    def with_stem(self, stem: str) -> Path:
        try:
            return self._wrap(self._path.with_stem(stem))
        except Exception as error:
            public_traceback(error)
            raise

    def with_suffix(self, suffix: str) -> Path:
        try:
            return self._wrap(self._path.with_suffix(suffix))
        except Exception as error:
            public_traceback(error)
            raise

    def with_segments(self, *pathsegments: str | os.PathLike[str]) -> Path:
        try:
            return type(self)(*pathsegments)
        except Exception as error:
            public_traceback(error)
            raise

    @property
    def sync(self) -> pathlib.Path:
        """The ``pathlib.Path`` this wraps (whose I/O methods block)."""
        return self._path

    # ----------------------------------------------------------------- status

    @classmethod
    async def cwd(cls) -> Path:
        """The current working folder."""
        try:
            return cls(os.getcwd())
        except Exception as error:
            public_traceback(error)
            raise

    @classmethod
    async def home(cls) -> Path:
        """The user's home folder, as ``pathlib.Path.home``."""
        try:
            return cls(os.path.expanduser("~"))
        except Exception as error:
            public_traceback(error)
            raise

    async def absolute(self) -> Path:
        """The path made absolute against the current folder, without
        normalising or resolving symlinks."""
        try:
            return self._wrap(self._path.absolute())
        except Exception as error:
            public_traceback(error)
            raise

    async def expanduser(self) -> Path:
        """``~`` and ``~user`` expanded, as ``pathlib.Path.expanduser``."""
        try:
            return self._wrap(self._path.expanduser())
        except Exception as error:
            public_traceback(error)
            raise

    async def stat(self, *, follow_symlinks: bool = True) -> os.stat_result:
        """``os.stat`` of the path."""
        try:
            return await _vos.stat(self._path, follow_symlinks=follow_symlinks)
        except Exception as error:
            public_traceback(error)
            raise

    async def lstat(self) -> os.stat_result:
        """``os.lstat`` of the path."""
        try:
            return await _vos.lstat(self._path)
        except Exception as error:
            public_traceback(error)
            raise

    async def owner(self, *, follow_symlinks: bool = True) -> str:
        """The user name of the file's owner, as ``pathlib.Path.owner``
        (``KeyError`` when its id has none). The name is looked up on a
        worker thread: the user database may be a network service."""
        try:
            uid = (await self.stat(follow_symlinks=follow_symlinks)).st_uid
            return await asyncio.get_running_loop().run_in_executor(None, _user_name, uid)
        except Exception as error:
            public_traceback(error)
            raise

    async def group(self, *, follow_symlinks: bool = True) -> str:
        """The group name of the file's group, as ``pathlib.Path.group``."""
        try:
            gid = (await self.stat(follow_symlinks=follow_symlinks)).st_gid
            return await asyncio.get_running_loop().run_in_executor(None, _group_name, gid)
        except Exception as error:
            public_traceback(error)
            raise

    async def exists(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the path names something."""
        try:
            return await self._mode_is(lambda mode: True, follow_symlinks)
        except Exception as error:
            public_traceback(error)
            raise

    async def _mode_is(self, test: Any, follow_symlinks: bool = True) -> bool:
        try:
            mode = (await self.stat(follow_symlinks=follow_symlinks)).st_mode
        except OSError as e:
            if not _ignored(e):
                raise
            return False
        except ValueError:
            return False
        return bool(test(mode))

    async def is_dir(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the path is a folder (or a symlink to one, when following)."""
        try:
            return await self._mode_is(_st.S_ISDIR, follow_symlinks)
        except Exception as error:
            public_traceback(error)
            raise

    async def is_file(self, *, follow_symlinks: bool = True) -> bool:
        """Whether the path is a regular file (or a symlink to one, when following)."""
        try:
            return await self._mode_is(_st.S_ISREG, follow_symlinks)
        except Exception as error:
            public_traceback(error)
            raise

    async def is_symlink(self) -> bool:
        """Whether the path is a symbolic link."""
        try:
            return await self._mode_is(_st.S_ISLNK, follow_symlinks=False)
        except Exception as error:
            public_traceback(error)
            raise

    async def is_fifo(self) -> bool:
        """Whether the path is a named pipe."""
        try:
            return await self._mode_is(_st.S_ISFIFO)
        except Exception as error:
            public_traceback(error)
            raise

    async def is_socket(self) -> bool:
        """Whether the path is a Unix socket."""
        try:
            return await self._mode_is(_st.S_ISSOCK)
        except Exception as error:
            public_traceback(error)
            raise

    async def is_block_device(self) -> bool:
        """Whether the path is a block device."""
        try:
            return await self._mode_is(_st.S_ISBLK)
        except Exception as error:
            public_traceback(error)
            raise

    async def is_char_device(self) -> bool:
        """Whether the path is a character device."""
        try:
            return await self._mode_is(_st.S_ISCHR)
        except Exception as error:
            public_traceback(error)
            raise

    async def is_junction(self) -> bool:
        """Always False: junctions exist only on Windows."""
        return False

    async def is_mount(self) -> bool:
        """Whether the path is a mount point, as ``os.path.ismount``."""
        try:
            return await _vos.path.ismount(self._path)
        except Exception as error:
            public_traceback(error)
            raise

    async def samefile(self, other_path: str | os.PathLike[str]) -> bool:
        """Whether both paths name the same file."""
        try:
            other = other_path if isinstance(other_path, Path) else Path(other_path)
            return os.path.samestat(await self.stat(), await other.stat())
        except Exception as error:
            public_traceback(error)
            raise

    async def resolve(self, strict: bool = False) -> Path:
        """The absolute path with every symlink resolved, as
        ``pathlib.Path.resolve`` (a symlink loop raises RuntimeError before
        Python 3.13, and is left to ``os.path.realpath`` from 3.13 on)."""
        try:
            if sys.version_info >= (3, 13):
                return type(self)(await _vos.path.realpath(self._path, strict=strict))

            def check_eloop(e: OSError) -> None:
                if e.errno == errno.ELOOP:
                    raise RuntimeError(f"Symlink loop from {e.filename!r}")
            try:
                s = await _vos.path.realpath(self._path, strict=strict)
            except OSError as e:
                check_eloop(e)
                raise
            p = type(self)(s)
            if not strict:
                try:
                    await p.stat()
                except OSError as e:
                    check_eloop(e)
            return p
        except Exception as error:
            public_traceback(error)
            raise

    async def readlink(self) -> Path:
        """The target of the symlink."""
        try:
            return type(self)(await _vos.readlink(self._path))
        except Exception as error:
            public_traceback(error)
            raise

    # ------------------------------------------------------------ contents

    @overload
    def open(self, mode: OpenTextMode = "r", buffering: int = -1, encoding: str | None = None,
             errors: str | None = None, newline: str | None = None) -> FileOpener[TextFile]: ...
    @overload
    def open(self, mode: OpenBinaryMode, buffering: Literal[0], encoding: None = None,
             errors: None = None, newline: None = None) -> FileOpener[BinaryFile]: ...
    @overload
    def open(self, mode: OpenBinaryMode, buffering: Literal[-1, 1] = -1, encoding: None = None,
             errors: None = None, newline: None = None) -> FileOpener[BufferedFile]: ...
    @overload
    def open(self, mode: OpenBinaryMode, buffering: int = -1, encoding: None = None,
             errors: None = None, newline: None = None
             ) -> FileOpener[BufferedFile | BinaryFile]: ...
    @overload
    def open(self, mode: str, buffering: int = -1, encoding: str | None = None,
             errors: str | None = None, newline: str | None = None) -> FileOpener[Any]: ...

    def open(self, mode: str = "r", buffering: int = -1, encoding: str | None = None,
             errors: str | None = None, newline: str | None = None) -> FileOpener[Any]:
        """Open the file as `velnor.open` does: ``await p.open(...)`` or
        ``async with p.open(...) as f``."""
        try:
            return _open(self._path, mode, buffering, encoding, errors, newline)
        except Exception as error:
            public_traceback(error)
            raise

    async def read_bytes(self) -> bytes:
        """The whole file."""
        try:
            return await _read_bytes(self._path)
        except Exception as error:
            public_traceback(error)
            raise

    async def read_text(self, encoding: str | None = None, errors: str | None = None) -> str:
        """The whole file decoded, with universal newlines."""
        try:
            return await _read_text(self._path, io.text_encoding(encoding), errors)
        except Exception as error:
            public_traceback(error)
            raise

    async def write_bytes(self, data: Buffer) -> int:
        """Create or truncate the file and write `data`; the byte count."""
        try:
            return await _write_bytes(self._path, memoryview(data))
        except Exception as error:
            public_traceback(error)
            raise

    async def write_text(self, data: str, encoding: str | None = None, errors: str | None = None,
                         newline: str | None = None) -> int:
        """Create or truncate the file and write `data` encoded; the number
        of characters."""
        try:
            return await _write_text(self._path, data, io.text_encoding(encoding), errors, newline)
        except Exception as error:
            public_traceback(error)
            raise

    # ------------------------------------------------------------- folders

    async def iterdir(self) -> AsyncIterator[Path]:
        """The entries of the folder, as paths (no ``.`` and ``..``)."""
        try:
            pace = Pace()
            for name in await _vos.listdir(self._path):
                yield self._wrap(self._path / name)
                if pace.due():
                    await pace.pause()
        except Exception as error:
            public_traceback(error)
            raise

    async def glob(self, pattern: str) -> AsyncIterator[Path]:
        """The paths below this one that match `pattern` (``*``, ``?``,
        ``[...]`` per component, ``**`` for any depth), as ``pathlib``."""
        try:
            if not pattern:
                raise ValueError(f"Unacceptable pattern: {pattern!r}")
            if pattern.startswith("/"):
                raise NotImplementedError("Non-relative patterns are unsupported")
            parts = pathlib.PurePosixPath(pattern).parts
            if not parts:  # "." and the like
                raise ValueError(f"Unacceptable pattern: {pathlib.Path(pattern)!r}")
            if sys.version_info < (3, 13) and any("**" in p and p != "**" for p in parts):
                # From 3.13 on, such a "**" matches as "*" does.
                raise ValueError("Invalid pattern: '**' can only be an entire path component")
            dirs_only = pattern.endswith("/")
            if parts[-1] == "**" and sys.version_info < (3, 13):
                dirs_only = True
            async for p in self._select(self._path, list(parts), dirs_only, Pace()):
                yield self._wrap(p)
        except Exception as error:
            public_traceback(error)
            raise

    async def rglob(self, pattern: str) -> AsyncIterator[Path]:
        """`glob` with ``**/`` in front of `pattern`."""
        try:
            async for p in self.glob(f"**/{pattern}"):
                yield p
        except Exception as error:
            public_traceback(error)
            raise

    async def _select(self, base: pathlib.Path, parts: list[str], dirs_only: bool, pace: Pace,
                      listed: list[_vos.DirEntry[str]] | None = None
                      ) -> AsyncIterator[pathlib.Path]:
        # `listed`: the entries of `base` when the caller has them already,
        # looked up as far as this step needs.
        if not parts:
            yield base
            return
        part, rest = parts[0], parts[1:]
        if part == "**":
            seen: set[pathlib.Path] = set()
            # The descent lists every folder once; the step after "**" reads
            # that listing, so it looks up symlinks where that step asks.
            links = len(rest) > 1 or (len(rest) == 1 and dirs_only)
            async for d, entries in self._descend(base, links, pace):
                if not rest:
                    if d not in seen:
                        seen.add(d)
                        yield d
                    if sys.version_info >= (3, 13) and not dirs_only:
                        # Every entry that the walk does not enter itself,
                        # symlinks to folders included.
                        entries.reverse()
                        while entries:
                            entry = entries.pop()
                            if not entry.is_dir(follow_symlinks=False):
                                yield d / entry.name
                            if pace.due():
                                await pace.pause()
                    continue
                async for p in self._select(d, rest, dirs_only, pace, entries):
                    if p not in seen:
                        seen.add(p)
                        yield p
            while seen:
                seen.pop()
                if pace.due():
                    await pace.pause()
            return
        if part in (".", ".."):
            async for p in self._select(base / part, rest, dirs_only, pace):
                yield p
            return
        need_type = bool(rest) or dirs_only
        if listed is None:
            listed = await self._entries(base, need_type)
        # Taken from the list one by one, so each entry is freed within its
        # turn rather than all at once when the list goes.
        listed.reverse()
        while listed:
            entry = listed.pop()
            if pace.due():
                await pace.pause()
            if not fnmatch.fnmatchcase(entry.name, part):
                continue
            if need_type and not entry.is_dir():
                continue
            if rest:
                async for p in self._select(base / entry.name, rest, dirs_only, pace):
                    yield p
            else:
                yield base / entry.name

    @staticmethod
    async def _entries(base: pathlib.Path, links: bool) -> list[_vos.DirEntry[str]]:
        try:
            return await _vos._entries(base, links)
        except OSError:
            return []

    async def _descend(self, base: pathlib.Path, links: bool, pace: Pace
                       ) -> AsyncIterator[tuple[pathlib.Path, list[_vos.DirEntry[str]]]]:
        # The folder itself, then every folder below it, not through
        # symlinks; each with its entries (symlinks looked up if `links`).
        # The consumer may take the entries from their list; what it leaves
        # is let go of a turn at a time.
        stack = [base]
        while stack:
            d = stack.pop()
            entries = await self._entries(d, links)
            below: list[pathlib.Path] = []
            for entry in entries:
                if entry.is_dir(follow_symlinks=False):
                    below.append(d / entry.name)
                if pace.due():
                    await pace.pause()
            stack += reversed(below)
            yield d, entries
            while entries:
                entries.pop()
                if pace.due():
                    await pace.pause()

    async def walk(self, top_down: bool = True,
                   on_error: Callable[[OSError], object] | None = None,
                   follow_symlinks: bool = False) -> AsyncIterator[tuple[Path, list[str], list[str]]]:
        """``(folder, folder names, file names)`` for this folder and every
        folder below it, as ``pathlib.Path.walk``."""
        try:
            stack: list[Any] = [self._path]
            pace = Pace()
            while stack:
                item = stack.pop()
                if isinstance(item, tuple):
                    yield item
                    continue
                try:
                    entries = await _vos._entries(item, follow_symlinks)
                except OSError as error:
                    if on_error is not None:
                        on_error(error)
                    continue
                dirnames: list[str] = []
                filenames: list[str] = []
                # Taken from the list one by one, so each entry is freed within
                # its turn rather than all at once when the list goes.
                entries.reverse()
                while entries:
                    entry = entries.pop()
                    try:
                        is_dir = entry.is_dir(follow_symlinks=follow_symlinks)
                    except OSError:
                        is_dir = False
                    (dirnames if is_dir else filenames).append(entry.name)
                    if pace.due():
                        await pace.pause()
                if top_down:
                    yield self._wrap(item), dirnames, filenames
                else:
                    stack.append((self._wrap(item), dirnames, filenames))
                for d in reversed(dirnames):
                    stack.append(item / d)
                    if pace.due():
                        await pace.pause()
        except Exception as error:
            public_traceback(error)
            raise

    async def mkdir(self, mode: int = 0o777, parents: bool = False, exist_ok: bool = False) -> None:
        """Create the folder, as ``pathlib.Path.mkdir``."""
        try:
            try:
                await _vos.mkdir(self._path, mode)
            except FileNotFoundError:
                if not parents or self._path.parent == self._path:
                    raise
                await self.parent.mkdir(parents=True, exist_ok=True)
                await self.mkdir(mode, parents=False, exist_ok=exist_ok)
            except OSError:
                if not exist_ok or not await self.is_dir():
                    raise
        except Exception as error:
            public_traceback(error)
            raise

    async def touch(self, mode: int = 0o666, exist_ok: bool = True) -> None:
        """Create the file, or update its times when it exists and
        `exist_ok`; `FileExistsError` otherwise."""
        try:
            if exist_ok:
                try:
                    await _vos.utime(self._path)
                    return
                except OSError:
                    pass
            flags = os.O_CREAT | os.O_WRONLY | (0 if exist_ok else os.O_EXCL)
            # Created with `mode` under the umask of the moment, as pathlib does;
            # an existing file keeps its mode.
            await _vos.close(await _vos.open(self._path, flags, mode))
        except Exception as error:
            public_traceback(error)
            raise

    async def unlink(self, missing_ok: bool = False) -> None:
        """Remove the file or symlink."""
        try:
            try:
                await _vos.unlink(self._path)
            except FileNotFoundError:
                if not missing_ok:
                    raise
        except Exception as error:
            public_traceback(error)
            raise

    async def rmdir(self) -> None:
        """Remove the empty folder."""
        try:
            await _vos.rmdir(self._path)
        except Exception as error:
            public_traceback(error)
            raise

    async def rename(self, target: str | os.PathLike[str]) -> Self:
        """Rename to `target`; the new path."""
        try:
            await _vos.rename(self._path, target)
            return type(self)(target)  # the caller's subclass, as pathlib's
        except Exception as error:
            public_traceback(error)
            raise

    async def replace(self, target: str | os.PathLike[str]) -> Self:
        """Rename to `target`, replacing what is there; the new path."""
        try:
            await _vos.replace(self._path, target)
            return type(self)(target)  # the caller's subclass, as pathlib's
        except Exception as error:
            public_traceback(error)
            raise

    async def symlink_to(self, target: str | os.PathLike[str], target_is_directory: bool = False) -> None:
        """Make this path a symlink to `target`."""
        try:
            await _vos.symlink(target, self._path, target_is_directory)
        except Exception as error:
            public_traceback(error)
            raise

    async def hardlink_to(self, target: str | os.PathLike[str]) -> None:
        """Make this path a hard link to `target`."""
        try:
            await _vos.link(target, self._path)
        except Exception as error:
            public_traceback(error)
            raise

    async def chmod(self, mode: int, *, follow_symlinks: bool = True) -> None:
        """Change the permission bits."""
        try:
            await _vos.chmod(self._path, mode, follow_symlinks=follow_symlinks)
        except Exception as error:
            public_traceback(error)
            raise

    async def lchmod(self, mode: int) -> None:
        """Change the permission bits of the symlink itself."""
        try:
            await self.chmod(mode, follow_symlinks=False)
        except Exception as error:
            public_traceback(error)
            raise


def _ignored(error: OSError) -> bool:
    # What pathlib's exists()/is_*() answer False for instead of raising.
    return error.errno in (errno.ENOENT, errno.ENOTDIR, errno.EBADF, errno.ELOOP)


def _user_name(uid: int) -> str:
    return pwd.getpwuid(uid).pw_name


def _group_name(gid: int) -> str:
    return grp.getgrgid(gid).gr_name
