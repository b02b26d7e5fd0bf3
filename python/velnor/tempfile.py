"""Temporary files and folders of the `tempfile` module, as async context
managers (like ``aiofiles.tempfile``).

Names are made and files created by the driver thread, with the standard
library's arguments, defaults, permissions (0600 files, 0700 folders) and
errors::

    async with velnor.tempfile.NamedTemporaryFile() as f:
        await f.write(b"data")
    async with velnor.tempfile.TemporaryDirectory() as path:
        ...
"""

from __future__ import annotations

import asyncio
import errno as _errno
import io as _io
import os as _os
import random as _random
import tempfile as _tempfile
from types import TracebackType
from collections.abc import Buffer, Generator, Iterable
from typing import TYPE_CHECKING, Any, AnyStr, Generic, Literal, TypeVar, overload

import _velnor

from . import os as _vos
from ._buffered import BufferedFile
from ._answers import AwaitableBool, AwaitableInt, answer
from ._files import BinaryFile
from ._open import OpenBinaryMode, OpenTextMode, named, open as _open
from ._text import TextFile
from ._fsargs import AT_FDCWD, target
from ._kernel import await_kernel, close_handle, run_to_end
from ._repr import file_repr
from ._errors import public_traceback, std_error

__all__ = [
    "NamedTemporaryFile", "SpooledTemporaryFile", "TemporaryDirectory", "TemporaryFile",
    "gettempdir", "mkdtemp", "mkstemp",
]

_CHARACTERS = "abcdefghijklmnopqrstuvwxyz0123456789_"
_TMP_MAX = getattr(_os, "TMP_MAX", 10000)
_CREATE = _os.O_RDWR | _os.O_CREAT | _os.O_EXCL | getattr(_os, "O_NOFOLLOW", 0)

_rng = _random.Random()
_tempdir: str | None = None


def _random_name() -> str:
    return "".join(_rng.choices(_CHARACTERS, k=8))


async def _writable(folder: str) -> bool:
    # As tempfile.gettempdir checks a candidate: a file can be created in it.
    name = _os.path.join(folder, _random_name())
    try:
        handle, _, _ = await await_kernel(_velnor.open(name, False, True, False, False, True, True))
    except (OSError, ValueError):
        return False
    await close_handle(handle)
    try:
        await _vos.unlink(name)
    except OSError:
        pass
    return True


async def gettempdir() -> str:
    """``tempfile.gettempdir``: the folder for temporary files (``tempfile.tempdir``
    when set; otherwise the first usable of $TMPDIR, $TEMP, $TMP, /tmp,
    /var/tmp, /usr/tmp and the current folder), looked up once."""
    try:
        global _tempdir
        if _tempfile.tempdir is not None:
            return _os.fsdecode(_tempfile.tempdir)
        if _tempdir is None:
            candidates = [_os.getenv(v) for v in ("TMPDIR", "TEMP", "TMP")]
            candidates += ["/tmp", "/var/tmp", "/usr/tmp", _os.getcwd()]
            for folder in candidates:
                if folder and folder != _os.curdir and await _writable(_os.path.abspath(folder)):
                    _tempdir = _os.path.abspath(folder)
                    break
            else:
                raise FileNotFoundError(_errno.ENOENT, f"No usable temporary directory found in {candidates}")
        return _tempdir
    except Exception as error:
        public_traceback(error)
        raise


async def _params(prefix: Any, suffix: Any, dir: Any) -> tuple[Any, Any, Any, type]:  # noqa: A002
    # As tempfile: all str, or all bytes (names and result then bytes too);
    # a mix raises the standard library's TypeError.
    out: type = _tempfile._infer_return_type(prefix, suffix, dir)  # type: ignore[attr-defined]
    if suffix is None:
        suffix = out()
    if prefix is None:
        prefix = "tmp" if out is str else b"tmp"
    if dir is None:
        dir = await gettempdir()  # noqa: A001
        if out is bytes:
            dir = _os.fsencode(dir)  # noqa: A001
    return prefix, suffix, dir, out


def _candidate(out: type) -> Any:
    name = _random_name()
    return name if out is str else _os.fsencode(name)


# As typeshed's: the overloads overlap where every argument is None, which
# the first, str, answers as the standard library does.
@overload
async def mkstemp(suffix: str | None = None, prefix: str | None = None,
                  dir: str | _os.PathLike[str] | None = None,  # noqa: A002
                  text: bool = False) -> tuple[int, str]: ...
@overload
async def mkstemp(suffix: bytes | None = None, prefix: bytes | None = None,
                  dir: bytes | _os.PathLike[bytes] | None = None,  # noqa: A002
                  text: bool = False) -> tuple[int, bytes]: ...
async def mkstemp(suffix: Any = None, prefix: Any = None, dir: Any = None,  # noqa: A002
                  text: bool = False) -> tuple[int, Any]:
    """``tempfile.mkstemp``: a new file only the user can use, as an open
    descriptor and its absolute path; the caller removes it."""
    try:
        prefix, suffix, folder, out = await _params(prefix, suffix, dir)
        for _ in range(_TMP_MAX):
            name = _os.path.join(folder, prefix + _candidate(out) + suffix)
            t = target("open", name)
            made: list[int] = []
            try:
                fd: int = await await_kernel(
                    _velnor.open_fd(t.text, AT_FDCWD, _CREATE | _os.O_CLOEXEC, 0o600), made.append)
            except FileExistsError:
                continue
            except OSError as error:
                raise std_error(error, t.name) from None
            except asyncio.CancelledError:
                # Made while the cancel came: removed again, so that a
                # cancelled call leaves nothing behind. Only a file this
                # call made: the name may be someone else's otherwise.
                if made:
                    _os.close(made[0])
                    await run_to_end(_vos.unlink(name))
                raise
            return fd, _os.path.abspath(name)
        raise FileExistsError(_errno.EEXIST, "No usable temporary file name found")
    except Exception as error:
        public_traceback(error)
        raise


@overload
async def mkdtemp(suffix: str | None = None, prefix: str | None = None,
                  dir: str | _os.PathLike[str] | None = None) -> str: ...  # noqa: A002
@overload
async def mkdtemp(suffix: bytes | None = None, prefix: bytes | None = None,
                  dir: bytes | _os.PathLike[bytes] | None = None) -> bytes: ...  # noqa: A002
async def mkdtemp(suffix: Any = None, prefix: Any = None, dir: Any = None  # noqa: A002
                  ) -> Any:
    """``tempfile.mkdtemp``: a new folder only the user can use; its absolute path."""
    try:
        prefix, suffix, folder, out = await _params(prefix, suffix, dir)
        for _ in range(_TMP_MAX):
            name = _os.path.join(folder, prefix + _candidate(out) + suffix)
            t = target("mkdir", name)
            made: list[None] = []
            try:
                await await_kernel(_velnor.mkdir(t.text, AT_FDCWD, 0o700), made.append)
            except FileExistsError:
                continue
            except OSError as error:
                raise std_error(error, t.name) from None
            except asyncio.CancelledError:
                if made:  # made while the cancel came, as mkstemp's
                    await run_to_end(_vos.rmdir(name))
                raise
            return _os.path.abspath(name)
        raise FileExistsError(_errno.EEXIST, "No usable temporary directory name found")
    except Exception as error:
        public_traceback(error)
        raise


async def _open_created(fd: int, name: Any, mode: str, buffering: int, encoding: str | None,
                        newline: str | None, errors: str | None) -> Any:
    # Over the descriptor made with the file, never the name again: in a
    # folder others may write to, the name could by now be someone else's.
    # The descriptor is closed by whatever step fails, until the file has it.
    try:
        opener = _open(fd, mode, buffering, encoding, errors, newline)
    except BaseException:
        await _vos.close(fd)
        raise
    return await named(opener, name, made_for_it=True)


_F = TypeVar("_F", covariant=True)

if TYPE_CHECKING:
    # What a named temporary file is to a checker: one of the three files,
    # named by the str path it was made at (these classes exist for the
    # checkers only).
    class _NamedTextFile(TextFile):
        @property
        def name(self) -> str: ...

    class _NamedBufferedFile(BufferedFile):
        @property
        def name(self) -> str: ...

    class _NamedBinaryFile(BinaryFile):
        @property
        def name(self) -> str: ...


async def _remove(name: str) -> None:
    try:
        await run_to_end(_vos.unlink(name))  # whatever a cancel hit
    except FileNotFoundError:
        pass


async def _close_and_remove(file: Any, close: Any) -> None:
    # Only the close that closes it removes it: a later one would find the
    # name gone, or, had another taken it since, someone else's file.
    closing = not file.closed
    try:
        await close(file)
    finally:
        if closing:
            await _remove(file.name)


class _TextRemovedAtClose(TextFile):
    __slots__ = ()

    async def close(self) -> None:
        await _close_and_remove(self, TextFile.close)


class _BufferedRemovedAtClose(BufferedFile):
    __slots__ = ()

    async def close(self) -> None:
        await _close_and_remove(self, BufferedFile.close)


class _BinaryRemovedAtClose(BinaryFile):
    __slots__ = ()

    async def close(self) -> None:
        await _close_and_remove(self, BinaryFile.close)


def _remove_at_close(file: Any) -> None:
    """Make `file` remove its name when it is closed, as the standard
    library's named temporary files do by default: the same object, of a
    class that only adds that to `close`."""
    removing = _REMOVING.get(type(file))
    if removing is not None:
        file.__class__ = removing


_REMOVING: dict[type[Any], type[Any]] = {
    TextFile: _TextRemovedAtClose, BufferedFile: _BufferedRemovedAtClose,
    BinaryFile: _BinaryRemovedAtClose}


class _TemporaryFileContext(Generic[_F]):
    """``async with``: the open file on entry; closed (and removed) on exit."""

    def __init__(self, kwargs: dict[str, Any], named: bool, delete: bool,
                 delete_on_close: bool = False) -> None:
        self._kwargs = kwargs
        self._named = named
        self._delete = delete
        self._delete_on_close = delete and delete_on_close
        self._file: Any = None
        self._name: str | None = None

    async def __aenter__(self) -> _F:
        k = self._kwargs
        fd, name = await mkstemp(k["suffix"], k["prefix"], k["dir"])
        if not self._named:
            # An unnamed temporary file: nobody else can reach it from now
            # on; it goes by its descriptor, as the standard library's.
            try:
                await run_to_end(_vos.unlink(name))  # a cancel here must not leave it
            except BaseException:
                _os.close(fd)
                raise
            name = fd
        try:
            self._file = await _open_created(fd, name, k["mode"], k["buffering"], k["encoding"],
                                             k["newline"], k["errors"])
        except BaseException:
            if self._named:
                await _remove(name)
            raise
        if self._named:
            self._name = name
            if self._delete_on_close:
                _remove_at_close(self._file)
        return self._file  # type: ignore[no-any-return]

    def __await__(self) -> Generator[Any, None, _F]:
        """``f = await TemporaryFile()``, as aiofiles offers: the file, with
        no block to end; a named one is then removed when it is closed
        (unless ``delete=False``). Awaited again, the same file."""
        if self._file is not None:
            return self._file  # type: ignore[no-any-return]
        if self._named and self._delete:
            self._delete_on_close = True
        return (yield from self.__aenter__().__await__())

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        if self._file is None:
            return  # its entry failed: nothing was made that is still there
        try:
            await self._file.close()  # removes it too, where it is removed at close
        finally:
            if self._name is not None and self._delete and not self._delete_on_close:
                await _remove(self._name)


# The file's type by the mode and buffering, as `velnor.open` gives it; a
# mode known only at run time leaves it to the caller, as there.
@overload
def TemporaryFile(mode: OpenTextMode, buffering: int = -1, encoding: str | None = None,  # noqa: N802
                  newline: str | None = None, suffix: str | None = None, prefix: str | None = None,
                  dir: str | None = None, *, errors: str | None = None  # noqa: A002
                  ) -> _TemporaryFileContext[TextFile]: ...
@overload
def TemporaryFile(mode: OpenBinaryMode, buffering: Literal[0], encoding: None = None,  # noqa: N802
                  newline: None = None, suffix: str | None = None, prefix: str | None = None,
                  dir: str | None = None, *, errors: None = None  # noqa: A002
                  ) -> _TemporaryFileContext[BinaryFile]: ...
@overload
def TemporaryFile(mode: OpenBinaryMode = "w+b", *, buffering: Literal[0],  # noqa: N802
                  encoding: None = None, newline: None = None, suffix: str | None = None,
                  prefix: str | None = None, dir: str | None = None, errors: None = None  # noqa: A002
                  ) -> _TemporaryFileContext[BinaryFile]: ...
@overload
def TemporaryFile(mode: OpenBinaryMode = "w+b", buffering: Literal[-1, 1] = -1,  # noqa: N802
                  encoding: None = None, newline: None = None, suffix: str | None = None,
                  prefix: str | None = None, dir: str | None = None, *, errors: None = None  # noqa: A002
                  ) -> _TemporaryFileContext[BufferedFile]: ...
@overload
def TemporaryFile(mode: OpenBinaryMode = "w+b", buffering: int = -1, encoding: None = None,  # noqa: N802
                  newline: None = None, suffix: str | None = None, prefix: str | None = None,
                  dir: str | None = None, *, errors: None = None  # noqa: A002
                  ) -> _TemporaryFileContext[BufferedFile | BinaryFile]: ...
@overload
def TemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None,  # noqa: N802
                  newline: str | None = None, suffix: str | None = None, prefix: str | None = None,
                  dir: str | None = None, *, errors: str | None = None  # noqa: A002
                  ) -> _TemporaryFileContext[Any]: ...


def TemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None,  # noqa: N802
                  newline: str | None = None, suffix: str | None = None, prefix: str | None = None,
                  dir: str | None = None, *, errors: str | None = None  # noqa: A002
                  ) -> _TemporaryFileContext[Any]:
    """``tempfile.TemporaryFile``: a file without a name in the file system,
    gone once closed; ``async with TemporaryFile() as f``."""
    try:
        return _TemporaryFileContext(dict(mode=mode, buffering=buffering, encoding=encoding,
                                          newline=newline, suffix=suffix, prefix=prefix, dir=dir,
                                          errors=errors), named=False, delete=True)
    except Exception as error:
        public_traceback(error)
        raise


@overload
def NamedTemporaryFile(mode: OpenTextMode, buffering: int = -1,  # noqa: N802
                       encoding: str | None = None, newline: str | None = None,
                       suffix: str | None = None, prefix: str | None = None,
                       dir: str | None = None, delete: bool = True, *,  # noqa: A002
                       errors: str | None = None, delete_on_close: bool = True
                       ) -> _TemporaryFileContext[_NamedTextFile]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryMode, buffering: Literal[0],  # noqa: N802
                       encoding: None = None, newline: None = None,
                       suffix: str | None = None, prefix: str | None = None,
                       dir: str | None = None, delete: bool = True, *,  # noqa: A002
                       errors: None = None, delete_on_close: bool = True
                       ) -> _TemporaryFileContext[_NamedBinaryFile]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryMode = "w+b", *, buffering: Literal[0],  # noqa: N802
                       encoding: None = None, newline: None = None,
                       suffix: str | None = None, prefix: str | None = None,
                       dir: str | None = None, delete: bool = True,  # noqa: A002
                       errors: None = None, delete_on_close: bool = True
                       ) -> _TemporaryFileContext[_NamedBinaryFile]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryMode = "w+b", buffering: Literal[-1, 1] = -1,  # noqa: N802
                       encoding: None = None, newline: None = None,
                       suffix: str | None = None, prefix: str | None = None,
                       dir: str | None = None, delete: bool = True, *,  # noqa: A002
                       errors: None = None, delete_on_close: bool = True
                       ) -> _TemporaryFileContext[_NamedBufferedFile]: ...
@overload
def NamedTemporaryFile(mode: OpenBinaryMode = "w+b", buffering: int = -1,  # noqa: N802
                       encoding: None = None, newline: None = None,
                       suffix: str | None = None, prefix: str | None = None,
                       dir: str | None = None, delete: bool = True, *,  # noqa: A002
                       errors: None = None, delete_on_close: bool = True
                       ) -> _TemporaryFileContext[_NamedBufferedFile | _NamedBinaryFile]: ...
@overload
def NamedTemporaryFile(mode: str = "w+b", buffering: int = -1,  # noqa: N802
                       encoding: str | None = None, newline: str | None = None,
                       suffix: str | None = None, prefix: str | None = None,
                       dir: str | None = None, delete: bool = True, *,  # noqa: A002
                       errors: str | None = None, delete_on_close: bool = True
                       ) -> _TemporaryFileContext[Any]: ...


def NamedTemporaryFile(mode: str = "w+b", buffering: int = -1, encoding: str | None = None,  # noqa: N802
                       newline: str | None = None, suffix: str | None = None,
                       prefix: str | None = None, dir: str | None = None,  # noqa: A002
                       delete: bool = True, *, errors: str | None = None,
                       delete_on_close: bool = True) -> _TemporaryFileContext[Any]:
    """``tempfile.NamedTemporaryFile``: a file with a visible name (``f.name``),
    removed when it is closed, or at the latest when the ``async with``
    block ends; with ``delete_on_close=False`` only when the block ends (so
    it can be closed and opened again by name meanwhile), and never with
    ``delete=False``.
    """
    try:
        return _TemporaryFileContext(dict(mode=mode, buffering=buffering, encoding=encoding,
                                          newline=newline, suffix=suffix, prefix=prefix, dir=dir,
                                          errors=errors), named=True, delete=delete,
                                    delete_on_close=delete_on_close)
    except Exception as error:
        public_traceback(error)
        raise


_FOLDER = _os.O_RDONLY | _os.O_DIRECTORY | _os.O_NOFOLLOW | _os.O_CLOEXEC


async def _rmtree(path: Any, ignore_errors: bool) -> None:
    # As TemporaryDirectory's own cleanup, and walked by descriptor as
    # shutil.rmtree walks: each folder is opened without following a link,
    # relative to its parent's descriptor, listed through its own and its
    # entries removed relative to it. A folder swapped for a symlink after
    # it was listed is then removed as the link, and nothing outside the
    # tree is reached. What is gone already is no error; where a folder its
    # owner made unreadable or unwritable refuses, it gets its owner's
    # rights back and the step is tried again.
    try:
        top = await _vos.open(path, _FOLDER)
    except FileNotFoundError:
        return
    except OSError as error:
        if error.errno == _errno.ELOOP:
            error = OSError("Cannot call rmtree on a symbolic link")
        if not ignore_errors:
            raise error from None
        return
    try:
        await _clear(top, ignore_errors)
    finally:
        _os.close(top)  # a folder's descriptor: closing it never waits
    await _retried(lambda: _vos.rmdir(path), None, ignore_errors)


async def _retried(step: Any, folder: int | None, ignore_errors: bool) -> bool:
    """Run `step()`; on a PermissionError give `folder` (a descriptor) its
    owner's rights and run it once more. False where it failed and the
    failure is ignored or the thing was gone."""
    for last in (False, True):
        try:
            await step()
            return True
        except FileNotFoundError:
            return False
        except PermissionError:
            if last or folder is None:
                if not ignore_errors:
                    raise
                return False
            try:
                await _vos.chmod(folder, 0o700)
            except OSError:
                pass
        except OSError:
            if not ignore_errors:
                raise
            return False
    return False


async def _clear(folder: int, ignore_errors: bool) -> None:
    entries: list[Any] = []

    async def scan() -> None:
        entries[:] = await _vos._entries(folder, False)

    await _retried(scan, folder, ignore_errors)
    entries.reverse()
    while entries:  # taken one by one: each entry is freed as it is done
        entry = entries.pop()
        name = entry.name
        if entry.is_dir(follow_symlinks=False):
            await _remove_folder(folder, name, ignore_errors)
        else:
            await _retried(lambda: _vos.unlink(name, dir_fd=folder), folder, ignore_errors)


async def _remove_folder(parent: int, name: Any, ignore_errors: bool) -> None:
    sub = await _open_folder(parent, name, ignore_errors)
    if sub is None:
        return
    try:
        await _clear(sub, ignore_errors)
    finally:
        _os.close(sub)  # a folder's descriptor: closing it never waits
    await _retried(lambda: _vos.rmdir(name, dir_fd=parent), parent, ignore_errors)


async def _open_folder(parent: int, name: Any, ignore_errors: bool) -> int | None:
    """A descriptor of the folder `name` in `parent`, opened without following
    a link; None where there is nothing (left) to walk into."""
    for last in (False, True):
        try:
            return await _vos.open(name, _FOLDER, dir_fd=parent)
        except FileNotFoundError:
            return None
        except PermissionError:
            if not last and await _give_rights(parent, name):
                continue
            if not ignore_errors:
                raise
            return None
        except OSError as error:
            if error.errno in (_errno.ELOOP, _errno.ENOTDIR):
                # Swapped for a link or a file since it was listed: removed
                # as what it is now, never followed.
                await _retried(lambda: _vos.unlink(name, dir_fd=parent), parent, ignore_errors)
                return None
            if not ignore_errors:
                raise
            return None
    return None


async def _give_rights(parent: int, name: Any) -> bool:
    """Give the folder `name` in `parent` its owner's rights, reached through
    a descriptor that did not follow a link (changing the mode through
    /proc's name for that descriptor changes that very folder's)."""
    try:
        held = await _vos.open(name, _os.O_PATH | _os.O_DIRECTORY | _os.O_NOFOLLOW | _os.O_CLOEXEC,
                               dir_fd=parent)
    except OSError:
        return False
    try:
        await _vos.chmod(f"/proc/self/fd/{held}", 0o700)
        return True
    except OSError:
        return False
    finally:
        _os.close(held)


class TemporaryDirectory:
    """``tempfile.TemporaryDirectory``: ``async with TemporaryDirectory() as
    path`` makes a folder and removes it with everything in it at the end
    (kept with ``delete=False``); `cleanup` removes it earlier."""

    def __init__(self, suffix: str | None = None, prefix: str | None = None,
                 dir: str | None = None, ignore_cleanup_errors: bool = False,  # noqa: A002
                 *, delete: bool = True) -> None:
        self._args = (suffix, prefix, dir)
        self._ignore = ignore_cleanup_errors
        self._delete = delete
        self.name: str | None = None

    def __repr__(self) -> str:
        return f"<{type(self).__name__} {self.name!r}>"

    async def __aenter__(self) -> str:
        try:
            self.name = await mkdtemp(*self._args)
            return self.name
        except Exception as error:
            public_traceback(error)
            raise

    def __await__(self) -> Generator[Any, None, TemporaryDirectory]:
        """``d = await TemporaryDirectory()``, as aiofiles offers: this
        object, its folder made (``d.name``); ``await d.cleanup()`` removes
        it."""
        if self.name is None:
            yield from self.__aenter__().__await__()
        return self

    async def cleanup(self) -> None:
        """Remove the folder and its contents now."""
        try:
            if self.name is not None:
                name, self.name = self.name, None
                # Removed whole even when the caller is cancelled meanwhile:
                # the cancellation follows.
                await run_to_end(_rmtree(name, self._ignore))
        except Exception as error:
            public_traceback(error)
            raise

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        try:
            if self._delete:
                await self.cleanup()
        except Exception as error:
            public_traceback(error)
            raise


class SpooledTemporaryFile(Generic[AnyStr]):
    """``tempfile.SpooledTemporaryFile``: kept in memory until it grows past
    `max_size` (or `rollover` is called), then moved to a `TemporaryFile`.

    Its I/O methods are coroutines whatever the storage; in memory they
    never wait. ``async with SpooledTemporaryFile() as f``.
    """

    # As typeshed's: bytes for the default and binary modes, str for text
    # ones, and a mode known only at run time left to the caller.
    @overload
    def __init__(self: SpooledTemporaryFile[bytes], max_size: int = 0,
                 mode: OpenBinaryMode = "w+b", buffering: int = -1,
                 encoding: str | None = None, newline: str | None = None,
                 suffix: str | None = None, prefix: str | None = None,
                 dir: str | None = None, *, errors: str | None = None) -> None: ...  # noqa: A002
    @overload
    def __init__(self: SpooledTemporaryFile[str], max_size: int, mode: OpenTextMode,
                 buffering: int = -1, encoding: str | None = None, newline: str | None = None,
                 suffix: str | None = None, prefix: str | None = None,
                 dir: str | None = None, *, errors: str | None = None) -> None: ...  # noqa: A002
    @overload
    def __init__(self: SpooledTemporaryFile[str], max_size: int = 0, *, mode: OpenTextMode,
                 buffering: int = -1, encoding: str | None = None, newline: str | None = None,
                 suffix: str | None = None, prefix: str | None = None,
                 dir: str | None = None, errors: str | None = None) -> None: ...  # noqa: A002
    @overload
    def __init__(self: SpooledTemporaryFile[Any], max_size: int, mode: str,
                 buffering: int = -1, encoding: str | None = None, newline: str | None = None,
                 suffix: str | None = None, prefix: str | None = None,
                 dir: str | None = None, *, errors: str | None = None) -> None: ...  # noqa: A002
    @overload
    def __init__(self: SpooledTemporaryFile[Any], max_size: int = 0, *, mode: str,
                 buffering: int = -1, encoding: str | None = None, newline: str | None = None,
                 suffix: str | None = None, prefix: str | None = None,
                 dir: str | None = None, errors: str | None = None) -> None: ...  # noqa: A002

    def __init__(self, max_size: int = 0, mode: str = "w+b", buffering: int = -1,
                 encoding: str | None = None, newline: str | None = None,
                 suffix: str | None = None, prefix: str | None = None,
                 dir: str | None = None, *, errors: str | None = None) -> None:  # noqa: A002
        try:
            if "b" in mode:
                self._memory: Any = _io.BytesIO()
            else:
                encoding = _io.text_encoding(encoding)
                self._memory = _io.TextIOWrapper(_io.BytesIO(), encoding=encoding, errors=errors,
                                                 newline=newline)
            self._max_size = max_size
            self._rolled = False
            self._file: Any = None
            self._context: _TemporaryFileContext[Any] | None = None
            self._kwargs = dict(mode=mode, buffering=buffering, encoding=encoding, newline=newline,
                                suffix=suffix, prefix=prefix, dir=dir, errors=errors)
            self._mode = mode
            self.closed = False
        except Exception as error:
            public_traceback(error)
            raise

    @property
    def _rolled_to_disk(self) -> bool:
        return self._rolled

    @property
    def _current(self) -> Any:
        return self._file if self._rolled else self._memory

    @property
    def name(self) -> int | None:
        """The file's name once on disk (its descriptor, as an unnamed
        temporary file's); None while in memory."""
        return getattr(self._current, "name", None)

    def __repr__(self) -> str:
        return file_repr("tempfile.SpooledTemporaryFile", self.closed, self.name, self.mode,
                         getattr(self._current, "encoding", None))

    @property
    def encoding(self) -> str:
        """The text encoding (text modes only, as the standard library's)."""
        return self._current.encoding  # type: ignore[no-any-return]

    @property
    def errors(self) -> str:
        """The decoding error handler (text modes only)."""
        return self._current.errors  # type: ignore[no-any-return]

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        """The newlines met so far in reading (text modes only)."""
        return self._current.newlines  # type: ignore[no-any-return]

    def readable(self) -> AwaitableBool:
        try:
            return answer(self._current.readable())
        except Exception as error:
            public_traceback(error)
            raise

    def writable(self) -> AwaitableBool:
        try:
            return answer(self._current.writable())
        except Exception as error:
            public_traceback(error)
            raise

    def seekable(self) -> AwaitableBool:
        try:
            return answer(self._current.seekable())
        except Exception as error:
            public_traceback(error)
            raise

    def isatty(self) -> AwaitableBool:
        try:
            return answer(self._current.isatty())
        except Exception as error:
            public_traceback(error)
            raise

    async def rollover(self) -> None:
        """Move the content to a temporary file on disk (once)."""
        try:
            if self._rolled:
                return
            memory = self._memory
            # First: where a text file refuses to tell (lines being iterated),
            # nothing is made and the content stays where it is.
            pos = memory.tell()
            # Taken on only once the content is there: until then a failure
            # (or a cancel) leaves the content in memory and the file
            # removed, and the next write tries again.
            context: _TemporaryFileContext[Any] = _TemporaryFileContext(
                self._kwargs, named=False, delete=True)
            file = await context.__aenter__()
            try:
                if isinstance(memory, _io.TextIOWrapper):
                    memory.flush()
                    raw: bytes = memory.buffer.getvalue()
                    if hasattr(file, "buffer"):
                        await file.buffer.write(raw)
                    else:
                        await file.write(raw)
                else:
                    await file.write(memory.getvalue())
                await file.seek(pos, 0)
            except BaseException:
                await run_to_end(context.__aexit__(None, None, None))
                raise
            self._context, self._file = context, file
            self._rolled = True
            self._memory = None
        except Exception as error:
            public_traceback(error)
            raise

    async def _check(self) -> None:
        if not self._rolled and self._max_size and self._memory.tell() > self._max_size:
            await self.rollover()

    @overload
    async def write(self: SpooledTemporaryFile[str], data: str) -> int: ...
    @overload
    async def write(self: SpooledTemporaryFile[bytes], data: Buffer) -> int: ...
    @overload
    async def write(self, data: AnyStr) -> int: ...
    async def write(self, data: Any) -> int:
        """Write at the position; moves to disk once past `max_size`."""
        try:
            if self._rolled:
                n: int = await self._file.write(data)
                return n
            n = self._memory.write(data)
            await self._check()
            return n
        except Exception as error:
            public_traceback(error)
            raise

    @overload
    async def writelines(self: SpooledTemporaryFile[str], lines: Iterable[str]) -> None: ...
    @overload
    async def writelines(self: SpooledTemporaryFile[bytes], lines: Iterable[Buffer]) -> None: ...
    @overload
    async def writelines(self, lines: Iterable[AnyStr]) -> None: ...
    async def writelines(self, lines: Any) -> None:
        try:
            for line in lines:
                await self.write(line)
        except Exception as error:
            public_traceback(error)
            raise

    async def read(self, size: int | None = -1) -> AnyStr:
        """Read from the position, as the file would."""
        try:
            if self._rolled:
                return await self._file.read(size)  # type: ignore[no-any-return]
            return self._memory.read(size)  # type: ignore[no-any-return]
        except Exception as error:
            public_traceback(error)
            raise

    async def _call(self, method: str, *args: Any) -> Any:
        # The storage's own method: awaited on disk, called in memory.
        if self._rolled:
            return await getattr(self._file, method)(*args)
        return getattr(self._memory, method)(*args)

    async def read1(self, size: int = -1) -> bytes:
        """At most one read of the file underneath (binary modes only)."""
        try:
            return await self._call("read1", size)  # type: ignore[no-any-return]
        except Exception as error:
            public_traceback(error)
            raise

    async def readinto(self, buffer: Buffer) -> int:
        """Read into `buffer` (binary modes only); the number of bytes read."""
        try:
            return await self._call("readinto", buffer)  # type: ignore[no-any-return]
        except Exception as error:
            public_traceback(error)
            raise

    async def readinto1(self, buffer: Buffer) -> int:
        """Read into `buffer` with at most one read underneath (binary modes only)."""
        try:
            return await self._call("readinto1", buffer)  # type: ignore[no-any-return]
        except Exception as error:
            public_traceback(error)
            raise

    async def readline(self, size: int | None = -1) -> AnyStr:
        """One line, of at most `size` bytes or characters when not negative."""
        try:
            return await self._call("readline", size)  # type: ignore[no-any-return]
        except Exception as error:
            public_traceback(error)
            raise

    async def readlines(self, hint: int | None = -1) -> list[AnyStr]:
        """The remaining lines, stopping once `hint` has been reached when positive."""
        try:
            return await self._call("readlines", hint)  # type: ignore[no-any-return]
        except Exception as error:
            public_traceback(error)
            raise

    def __aiter__(self) -> SpooledTemporaryFile[AnyStr]:
        return self

    async def __anext__(self) -> AnyStr:
        try:
            line = await self.readline()
            if not line:
                raise StopAsyncIteration
            return line
        except Exception as error:
            public_traceback(error)
            raise

    async def seek(self, offset: int, whence: int = 0) -> int:
        """Move the position."""
        try:
            if self._rolled:
                pos: int = await self._file.seek(offset, whence)
                return pos
            return int(self._memory.seek(offset, whence))
        except Exception as error:
            public_traceback(error)
            raise

    def tell(self) -> AwaitableInt:
        """The position; used at once or awaited, as every file's."""
        try:
            return AwaitableInt(self._current.tell())
        except Exception as error:
            public_traceback(error)
            raise

    async def truncate(self, size: int | None = None) -> int:
        """Cut (or extend) the content to `size` (default: the position)."""
        try:
            if self._rolled:
                n: int = await self._file.truncate(size)
                return n
            if size is None:
                return int(self._memory.truncate())
            if size > self._max_size:  # even with max_size 0, as tempfile does
                await self.rollover()
                return await self.truncate(size)
            return int(self._memory.truncate(size))
        except Exception as error:
            public_traceback(error)
            raise

    async def flush(self) -> None:
        """Flush the file's buffers."""
        try:
            if self._rolled:
                await self._file.flush()
            else:
                self._memory.flush()
        except Exception as error:
            public_traceback(error)
            raise

    @property
    def mode(self) -> str:
        """The mode asked for while in memory; the file's own once on disk."""
        return self._file.mode if self._rolled else self._mode

    def fileno(self) -> int:
        """The descriptor: moves nothing to disk, so it raises while in memory
        (call `rollover` first), unlike the standard library's."""
        try:
            if not self._rolled:
                raise _io.UnsupportedOperation("fileno: in memory; await rollover() first")
            fd: int = self._file.fileno()
            return fd
        except Exception as error:
            public_traceback(error)
            raise

    async def aclose(self) -> None:
        """`close`, by the name anyio's and trio's files give it."""
        await self.close()

    async def close(self) -> None:
        """Close; the content is gone."""
        try:
            if self.closed:
                return
            self.closed = True
            if self._context is not None:
                await self._context.__aexit__(None, None, None)
            elif self._memory is not None:
                self._memory.close()
        except Exception as error:
            public_traceback(error)
            raise

    async def __aenter__(self) -> SpooledTemporaryFile[AnyStr]:
        return self

    def __await__(self) -> Generator[Any, None, SpooledTemporaryFile[AnyStr]]:
        """``f = await SpooledTemporaryFile()``, as aiofiles offers: this
        object (nothing is made before it grows)."""
        yield from ()
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        try:
            await self.close()
        except Exception as error:
            public_traceback(error)
            raise
