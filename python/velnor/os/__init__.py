"""File-system operations of the `os` module, as coroutines.

Named and shaped like the functions of ``os`` (and of ``aiofiles.os``: its
``loop=`` and ``executor=`` keywords are accepted and ignored): the
same arguments, the same results (``os.stat_result``, ``os.statvfs_result``,
lists of names) and the same errors, raised with the same class, ``errno``,
``strerror`` and file names. Each call is one kernel operation run by the
driver thread (the ring's own opcode where the kernel has one, the driver's
worker pool otherwise); none blocks the event loop. The one exception is a
status that needs no wait: a path the kernel's caches resolve, on a local
file system, is answered on the loop thread.

`scandir` gives entries whose ``is_dir()``, ``is_file()`` and
``is_symlink()`` answer from the type the directory listing reported, and
whose ``stat()`` caches its result and is used at once or awaited.
"""

from __future__ import annotations

import asyncio
import errno as _errno
import operator as _operator
import os as _os
import shutil as _shutil
import sys as _sys
import stat as _stat_mod
from typing import Any, AnyStr, TypeVar, overload

import _velnor

from .._errors import std_error, public_traceback
from .._fsargs import (AT_FDCWD, FileDescriptorOrPath, dir_fd, dir_fd_with_fd, fd_and_follow,
                       target)
from .._kernel import await_kernel
from .._pace import give_turn, turn_due
from .._paths import StrOrBytesPath
from .._stat import listing, statvfs_result
from . import path

__all__ = [
    "DirEntry", "ScandirIterator", "access", "chmod", "close", "copy_file", "link", "listdir", "lstat",
    "makedirs", "mkdir", "open", "path", "readlink", "remove", "removedirs", "rename", "renames",
    "replace", "rmdir", "scandir", "sendfile", "stat", "statvfs", "symlink", "truncate",
    "unlink", "utime", "getcwd", "getcwdb",
]

_index = _operator.index  # TypeError, as the os module's, for what is not an integer

_AT_SYMLINK_NOFOLLOW = 0x100
_AT_REMOVEDIR = 0x200
_AT_SYMLINK_FOLLOW = 0x400
_AT_EACCESS = 0x200
_AT_EMPTY_PATH = 0x1000
_UTIME_NOW = (1 << 30) - 1


async def _run(fut: Any, name: object, name2: object = None) -> Any:
    try:
        return await await_kernel(fut)
    except OSError as e:
        raise std_error(e, name, name2) from None  # type: ignore[arg-type]


def _decoded(value: bytes, as_bytes: bool) -> str | bytes:
    return value if as_bytes else _os.fsdecode(value)


# ----------------------------------------------------------------- metadata

async def stat(path: FileDescriptorOrPath, *, dir_fd: int | None = None,
               follow_symlinks: bool = True,
               loop: object = None, executor: object = None) -> _os.stat_result:
    """``os.stat``: the status of a path, or of an open descriptor."""
    try:
        if type(path) is str and dir_fd is None and follow_symlinks is True and "\0" not in path:
            # The commonest call, which every check below lets through: `_stat`
            # written out, one frame fewer.
            if turn_due():
                await give_turn()
            raw = _velnor.stat_cached(path, AT_FDCWD, 0)
            if raw is None:
                raw = await _run(_velnor.stat(path, AT_FDCWD, 0), path)
            return _velnor.stat_result_of(raw, _STAT_RESULT)
        t = target("stat", path, allow_fd=True)
        dir_fd_with_fd("stat", t, dir_fd)
        fd_and_follow("stat", t, follow_symlinks)
        if t.fd == -1:
            # The os module's "no descriptor": it stats a null path instead.
            raise OSError(_errno.EFAULT, _os.strerror(_errno.EFAULT), t.name)
        if t.fd is not None:
            return await _stat("", t.fd, _AT_EMPTY_PATH, t.name)
        return await _stat(t.text, _dir(dir_fd), 0 if follow_symlinks else _AT_SYMLINK_NOFOLLOW, t.name)
    except Exception as error:
        public_traceback(error)
        raise


async def lstat(path: StrOrBytesPath, *, dir_fd: int | None = None,
                loop: object = None, executor: object = None) -> _os.stat_result:
    """``os.lstat``: the status of a path without following a final symlink."""
    try:
        t = target("lstat", path)
        return await _stat(t.text, _dir(dir_fd), _AT_SYMLINK_NOFOLLOW, t.name)
    except Exception as error:
        public_traceback(error)
        raise


_STAT_RESULT = _os.stat_result


async def _stat(text: str, at: int, flags: int, name: object) -> _os.stat_result:
    if turn_due():
        await give_turn()
    # A path the kernel's caches resolve, on a file system that keeps the
    # status in memory, is answered right here; anything else (a miss, an
    # error to report) goes to the driver.
    raw = _velnor.stat_cached(text, at, flags)
    if raw is None:
        raw = await _run(_velnor.stat(text, at, flags), name)
    return _velnor.stat_result_of(raw, _STAT_RESULT)


async def statvfs(path: FileDescriptorOrPath,
                  *, loop: object = None, executor: object = None) -> _os.statvfs_result:
    """``os.statvfs``: the file system's status, for a path or a descriptor."""
    try:
        t = target("statvfs", path, allow_fd=True)
        fut = _velnor.statvfs(None, t.fd) if t.fd is not None else _velnor.statvfs(t.text, AT_FDCWD)
        return statvfs_result(await _run(fut, t.name))
    except Exception as error:
        public_traceback(error)
        raise


async def access(path: StrOrBytesPath, mode: int, *, dir_fd: int | None = None,
                 effective_ids: bool = False, follow_symlinks: bool = True,
                 loop: object = None, executor: object = None) -> bool:
    """``os.access``: whether the real (or effective) ids may use `path` so."""
    try:
        t = target("access", path)
        flags = (_AT_EACCESS if effective_ids else 0) | (0 if follow_symlinks else _AT_SYMLINK_NOFOLLOW)
        try:
            await await_kernel(_velnor.access(t.text, _dir(dir_fd), mode, flags))
        except OSError:
            return False
        return True
    except Exception as error:
        public_traceback(error)
        raise


async def getcwd(*, loop: object = None, executor: object = None) -> str:
    """``os.getcwd``: the current folder. The kernel keeps its path in
    memory and answers without any I/O, so it is answered on the spot."""
    try:
        return _os.getcwd()
    except Exception as error:
        public_traceback(error)
        raise


async def getcwdb(*, loop: object = None, executor: object = None) -> bytes:
    """``os.getcwdb``: the current folder as ``bytes``."""
    try:
        return _os.getcwdb()
    except Exception as error:
        public_traceback(error)
        raise


async def readlink(path: AnyStr | _os.PathLike[AnyStr], *, dir_fd: int | None = None,
                   loop: object = None, executor: object = None) -> AnyStr:
    """``os.readlink``: a symlink's target, ``bytes`` for a ``bytes`` path."""
    try:
        t = target("readlink", path)
        raw = await _run(_velnor.readlink(t.text, _dir(dir_fd)), t.name)
        return _decoded(raw, t.is_bytes)  # type: ignore[return-value]
    except Exception as error:
        public_traceback(error)
        raise


async def open(path: StrOrBytesPath, flags: int, mode: int = 0o777, *,  # noqa: A001
               dir_fd: int | None = None, loop: object = None, executor: object = None) -> int:
    """``os.open``: a new descriptor, opened by the driver thread. The
    descriptor is the caller's (close it with ``os.close``); it is
    close-on-exec, as ``os.open`` makes it."""
    try:
        t = target("open", path)
        fut = _velnor.open_fd(t.text, _dir(dir_fd), _index(flags) | _os.O_CLOEXEC, _index(mode))
        try:
            fd: int = await await_kernel(fut, abandoned=_os.close)
        except OSError as e:
            raise std_error(e, t.name) from None
        return fd
    except Exception as error:
        public_traceback(error)
        raise


async def close(fd: int, *, loop: object = None, executor: object = None) -> None:
    """``os.close``, by the driver thread: a close that may flush (a network
    file system) never holds up the event loop."""
    # Never cancelled: a close withdrawn before the driver ran it would leave
    # the descriptor open for good.
    try:
        try:
            await asyncio.shield(_velnor.close_fd(fd))
        except OSError as e:
            raise std_error(e) from None
    except Exception as error:
        public_traceback(error)
        raise


# ------------------------------------------------------- names and folders

async def rename(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
                 dst_dir_fd: int | None = None,
                 loop: object = None, executor: object = None) -> None:
    """``os.rename``: rename a file or folder, replacing a file at `dst`."""
    try:
        await _rename("rename", src, dst, src_dir_fd, dst_dir_fd)
    except Exception as error:
        public_traceback(error)
        raise


async def replace(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
                  dst_dir_fd: int | None = None,
                  loop: object = None, executor: object = None) -> None:
    """``os.replace``: the same as `rename` on this platform."""
    try:
        await _rename("replace", src, dst, src_dir_fd, dst_dir_fd)
    except Exception as error:
        public_traceback(error)
        raise


async def _rename(function: str, src: StrOrBytesPath, dst: StrOrBytesPath,
                  src_dir_fd: int | None, dst_dir_fd: int | None) -> None:
    s = target(function, src)
    d = target(function, dst)
    await _run(_velnor.rename(s.text, d.text, _dir(src_dir_fd), _dir(dst_dir_fd), 0), s.name, d.name)


async def renames(old: StrOrBytesPath, new: StrOrBytesPath,
                  *, loop: object = None, executor: object = None) -> None:
    """``os.renames``: rename, creating the new parents and pruning the old
    ones that became empty."""
    try:
        head, tail = _os.path.split(_os.fspath(new))
        if head and tail and not await path.exists(head):
            await makedirs(head)
        await rename(old, new)
        head, tail = _os.path.split(_os.fspath(old))
        if head and tail:
            try:
                await removedirs(head)
            except OSError:
                pass
    except Exception as error:
        public_traceback(error)
        raise


async def remove(path: StrOrBytesPath, *, dir_fd: int | None = None,
                 loop: object = None, executor: object = None) -> None:
    """``os.remove``: delete a file (not a folder)."""
    try:
        t = target("remove", path)
        await _run(_velnor.unlink(t.text, _dir(dir_fd), 0), t.name)
    except Exception as error:
        public_traceback(error)
        raise


async def unlink(path: StrOrBytesPath, *, dir_fd: int | None = None,
                 loop: object = None, executor: object = None) -> None:
    """``os.unlink``: delete a file (not a folder)."""
    try:
        t = target("unlink", path)
        await _run(_velnor.unlink(t.text, _dir(dir_fd), 0), t.name)
    except Exception as error:
        public_traceback(error)
        raise


async def rmdir(path: StrOrBytesPath, *, dir_fd: int | None = None,
                loop: object = None, executor: object = None) -> None:
    """``os.rmdir``: delete an empty folder."""
    try:
        t = target("rmdir", path)
        await _run(_velnor.unlink(t.text, _dir(dir_fd), _AT_REMOVEDIR), t.name)
    except Exception as error:
        public_traceback(error)
        raise


async def mkdir(path: StrOrBytesPath, mode: int = 0o777, *, dir_fd: int | None = None,
                loop: object = None, executor: object = None) -> None:
    """``os.mkdir``: create a folder (`mode` masked by the umask)."""
    try:
        t = target("mkdir", path)
        await _run(_velnor.mkdir(t.text, _dir(dir_fd), _index(mode)), t.name)
    except Exception as error:
        public_traceback(error)
        raise


async def makedirs(name: StrOrBytesPath, mode: int = 0o777, exist_ok: bool = False,
                   *, loop: object = None, executor: object = None) -> None:
    """``os.makedirs``: create a folder and every missing parent."""
    try:
        name = _os.fspath(name)
        head, tail = _os.path.split(name)
        if not tail:
            head, tail = _os.path.split(head)
        if head and tail and not await path.exists(head):
            try:
                await makedirs(head, exist_ok=exist_ok)
            except FileExistsError:
                pass  # created meanwhile by someone else
            cdir: str | bytes = _os.curdir
            if isinstance(tail, bytes):
                cdir = bytes(_os.curdir, "ASCII")
            if tail == cdir:
                return
        try:
            await mkdir(name, mode)
        except OSError:
            # Cannot rely on the errno alone: a read-only file system answers
            # EROFS even for a folder that exists.
            if not exist_ok or not await path.isdir(name):
                raise
    except Exception as error:
        public_traceback(error)
        raise


async def removedirs(name: StrOrBytesPath, *, loop: object = None, executor: object = None) -> None:
    """``os.removedirs``: remove a folder, then its parents while empty."""
    try:
        await rmdir(name)
        name = _os.fspath(name)
        head, tail = _os.path.split(name)
        if not tail:
            head, tail = _os.path.split(head)
        while head and tail:
            try:
                await rmdir(head)
            except OSError:
                break
            head, tail = _os.path.split(head)
    except Exception as error:
        public_traceback(error)
        raise


async def link(src: StrOrBytesPath, dst: StrOrBytesPath, *, src_dir_fd: int | None = None,
               dst_dir_fd: int | None = None, follow_symlinks: bool = True,
               loop: object = None, executor: object = None) -> None:
    """``os.link``: a hard link `dst` to `src`."""
    try:
        s = target("link", src)
        d = target("link", dst)
        # The os module calls plain link(2), which never follows a symlink,
        # unless a directory descriptor or follow_symlinks=False asks for linkat.
        uses_linkat = src_dir_fd is not None or dst_dir_fd is not None or not follow_symlinks
        flags = _AT_SYMLINK_FOLLOW if follow_symlinks and uses_linkat else 0
        await _run(_velnor.link(s.text, d.text, _dir(src_dir_fd), _dir(dst_dir_fd), flags), s.name, d.name)
    except Exception as error:
        public_traceback(error)
        raise


async def symlink(src: StrOrBytesPath, dst: StrOrBytesPath, target_is_directory: bool = False,
                  *, dir_fd: int | None = None,
                  loop: object = None, executor: object = None) -> None:
    """``os.symlink``: a symbolic link `dst` pointing at `src`."""
    try:
        s = target("symlink", src)
        d = target("symlink", dst)
        await _run(_velnor.symlink(s.text, d.text, _dir(dir_fd)), s.name, d.name)
    except Exception as error:
        public_traceback(error)
        raise


# ----------------------------------------------------------- file contents

async def truncate(path: FileDescriptorOrPath, length: int,
                   *, loop: object = None, executor: object = None) -> None:
    """``os.truncate``: set the size of a file, by path or descriptor."""
    try:
        t = target("truncate", path, allow_fd=True)
        length = _index(length)
        if t.fd is not None:
            await _run(_velnor.truncate(None, t.fd, length), None)  # os names no file for a descriptor
        else:
            await _run(_velnor.truncate(t.text, AT_FDCWD, length), t.name)
    except Exception as error:
        public_traceback(error)
        raise


async def chmod(path: FileDescriptorOrPath, mode: int, *, dir_fd: int | None = None,
                follow_symlinks: bool = True, loop: object = None, executor: object = None) -> None:
    """``os.chmod``: change the permission bits of a path or descriptor."""
    try:
        t = target("chmod", path, allow_fd=True)
        dir_fd_with_fd("chmod", t, dir_fd)
        mode = _index(mode)
        if t.fd is not None:
            await _run(_velnor.chmod(None, t.fd, mode, 0), t.name)
            return
        flags = 0 if follow_symlinks else _AT_SYMLINK_NOFOLLOW
        try:
            await _run(_velnor.chmod(t.text, _dir(dir_fd), mode, flags), t.name)
        except OSError as e:
            if not follow_symlinks and e.errno in (_errno.EOPNOTSUPP, _errno.ENOTSUP):
                raise NotImplementedError("chmod: follow_symlinks unavailable on this platform") from None
            raise
    except Exception as error:
        public_traceback(error)
        raise


_TIME_T_MIN = -(2**63)


def _timespec(value: float | int) -> tuple[int, int]:
    # os.utime rounds float seconds down to whole nanoseconds, and refuses
    # what a time_t cannot hold with its own words.
    if isinstance(value, float):
        import math
        if math.isnan(value):
            raise ValueError("Invalid value NaN (not a number)")
        frac, whole = math.modf(value)
        if not _TIME_T_MIN <= whole < -_TIME_T_MIN:
            raise OverflowError("timestamp out of range for platform time_t")
        ns = math.floor(frac * 1e9)
        if ns >= 1_000_000_000:
            ns -= 1_000_000_000
            whole += 1.0
        elif ns < 0:
            ns += 1_000_000_000
            whole -= 1.0
        return int(whole), ns
    seconds = _index(value)
    if not _TIME_T_MIN <= seconds < -_TIME_T_MIN:
        raise OverflowError("timestamp out of range for platform time_t")
    return seconds, 0


class _Missing:
    def __repr__(self) -> str:
        return "<missing>"


_MISSING: Any = _Missing()


async def utime(path: FileDescriptorOrPath,
                times: tuple[int, int] | tuple[float, float] | None = _MISSING, *,
                ns: tuple[int, int] | None = _MISSING, dir_fd: int | None = None,
                follow_symlinks: bool = True, loop: object = None, executor: object = None) -> None:
    """``os.utime``: set access and modification times (now, by default)."""
    try:
        t = target("utime", path, allow_fd=True)
        # As os.utime: `ns` counts as given even when it is None.
        if times is _MISSING:
            times = None
        if times is not None and ns is not _MISSING:
            raise ValueError("utime: you may specify either 'times' or 'ns' but not both")
        if times is not None:
            if not isinstance(times, tuple) or len(times) != 2:
                raise TypeError("utime: 'times' must be either a tuple of two ints or None")
            (a_s, a_ns), (m_s, m_ns) = _timespec(times[0]), _timespec(times[1])
        elif ns is not _MISSING:
            if not isinstance(ns, tuple) or len(ns) != 2:
                raise TypeError("utime: 'ns' must be a tuple of two ints")
            # Split first, then taken as integers: os.utime's order, and its errors.
            a_s, a_ns = map(_index, divmod(ns[0], 1_000_000_000))
            m_s, m_ns = map(_index, divmod(ns[1], 1_000_000_000))
        else:
            a_s = a_ns = m_s = m_ns = 0
            a_ns = m_ns = _UTIME_NOW
        dir_fd_with_fd("utime", t, dir_fd)
        fd_and_follow("utime", t, follow_symlinks)
        if t.fd is not None:
            fut = _velnor.utime(None, t.fd, 0, a_s, a_ns, m_s, m_ns)
        else:
            flags = 0 if follow_symlinks else _AT_SYMLINK_NOFOLLOW
            fut = _velnor.utime(t.text, _dir(dir_fd), flags, a_s, a_ns, m_s, m_ns)
        # Python 3.12's os.utime leaves the file name out of its errors.
        await _run(fut, t.name if _sys.version_info >= (3, 13) else None)
    except Exception as error:
        public_traceback(error)
        raise


async def sendfile(out_fd: int, in_fd: int, offset: int | None, count: int,
                   *, loop: object = None, executor: object = None) -> int:
    """``os.sendfile``: up to `count` bytes from `in_fd` (at `offset`, or at
    its position when None) to `out_fd`; the number of bytes sent."""
    try:
        sent: int = await _run(_velnor.sendfile(out_fd, in_fd, offset, count), None)
        return sent
    except Exception as error:
        public_traceback(error)
        raise


_PathT = TypeVar("_PathT", bound=StrOrBytesPath)


async def copy_file(src: StrOrBytesPath, dst: _PathT,
                    *, loop: object = None, executor: object = None) -> _PathT:
    """Copy the contents of `src` into `dst` (created or truncated) inside
    the kernel, with ``shutil.copyfile``'s result and errors: `dst` is
    returned, the same file on both sides raises ``shutil.SameFileError``."""
    try:
        s = target("copy_file", src)
        d = target("copy_file", dst)
        try:
            src_st: _os.stat_result | None = await stat(src)
        except OSError:
            src_st = None  # the open below reports it as the built-in open would
        try:
            dst_st: _os.stat_result | None = await stat(dst)
        except OSError:
            dst_st = None
        if src_st is not None and dst_st is not None and \
                (src_st.st_dev, src_st.st_ino) == (dst_st.st_dev, dst_st.st_ino):
            raise _shutil.SameFileError(f"{src!r} and {dst!r} are the same file")
        for st, name in ((src_st, src), (dst_st, dst)):
            if st is not None and _stat_mod.S_ISFIFO(st.st_mode):
                raise _shutil.SpecialFileError("`" + str(name) + "` is a named pipe")
        src_handle, _, src_fd = await _run(
            _velnor.open(s.text, True, False, False, False, False, False), s.name)
        try:
            if src_st is not None and _stat_mod.S_ISDIR(src_st.st_mode):
                raise IsADirectoryError(_errno.EISDIR, _os.strerror(_errno.EISDIR), s.name)
            try:
                dst_handle, _, dst_fd = await _run(
                    _velnor.open(d.text, False, True, False, True, True, False), d.name)
            except IsADirectoryError as e:
                # A name ending in "/": shutil's message, for a folder that is not there.
                if dst_st is None:
                    raise FileNotFoundError("Directory does not exist: " + str(dst)) from e
                raise
            try:
                await _run(_velnor.copy_range(dst_fd, src_fd), s.name, d.name)
            finally:
                await asyncio.shield(_velnor.close(dst_handle))
        finally:
            await asyncio.shield(_velnor.close(src_handle))
        return dst
    except Exception as error:
        public_traceback(error)
        raise


# ---------------------------------------------------------------- listings

@overload
async def listdir(path: str | _os.PathLike[str] | None = None,
                  *, loop: object = None, executor: object = None) -> list[str]: ...
@overload
async def listdir(path: bytes | _os.PathLike[bytes],
                  *, loop: object = None, executor: object = None) -> list[bytes]: ...
@overload
async def listdir(path: int, *, loop: object = None, executor: object = None) -> list[str]: ...
async def listdir(path: FileDescriptorOrPath | None = None,
                  *, loop: object = None, executor: object = None) -> list[Any]:
    """``os.listdir``: the names in a folder (``bytes`` for a ``bytes`` path)."""
    try:
        t = target("listdir", path, allow_fd=True, allow_none=True)
        if t.fd is not None:
            fut = _velnor.listdir(None, t.fd)
        else:
            fut = _velnor.listdir(t.text, AT_FDCWD)
        names, _, _ = await listing(await _run(fut, t.name), t.is_bytes)
        return names
    except Exception as error:
        public_traceback(error)
        raise


def _dir(value: int | None) -> int:
    return dir_fd(value)


# Last: the entries' lookups use `stat` and `_run` above.
from ._scandir import DirEntry, ScandirIterator, scandir  # noqa: E402
from ._scandir import _entries as _entries  # noqa: E402  (for the package's walks)
