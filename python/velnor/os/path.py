"""``os.path`` with the functions that touch the file system as coroutines.

Every name that ``aiofiles.os.path`` has is a coroutine function here, as
there (`abspath` too, which reads the working folder); the pure helpers it
lacks (`join`, `split`, `normpath`, ...) are the standard library's own,
re-exported unchanged and synchronous. As in ``aiofiles.os.path``, the
coroutines accept ``loop=`` and ``executor=``, which they ignore.
"""

from __future__ import annotations

import os as _os
import stat as _st
from os.path import (altsep, basename, commonpath, commonprefix, curdir, defpath,
                     devnull, dirname, expanduser, expandvars, extsep, isabs, join, normcase,
                     normpath, pardir, pathsep, relpath, sep, split, splitdrive, splitext,
                     splitroot, supports_unicode_filenames)
from typing import Any, AnyStr

from .._fsargs import FileDescriptorOrPath
from .._paths import StrOrBytesPath
from .._errors import public_traceback

__all__ = [
    "abspath", "altsep", "basename", "commonpath", "commonprefix", "curdir", "defpath", "devnull",
    "dirname", "exists", "expanduser", "expandvars", "extsep", "getatime", "getctime",
    "getmtime", "getsize", "isabs", "isdevdrive", "isdir", "isfile", "isjunction", "islink",
    "ismount", "join", "lexists", "normcase", "normpath", "pardir", "pathsep", "realpath",
    "relpath", "samefile", "sameopenfile", "samestat", "sep", "split", "splitdrive",
    "splitext", "splitroot", "supports_unicode_filenames",
]

samestat = _os.path.samestat


async def _stat(path: FileDescriptorOrPath, follow: bool = True) -> _os.stat_result:
    # Not following means lstat, as the os.path functions call it: it takes
    # no descriptor, so a descriptor raises TypeError as there.
    from . import lstat, stat
    return await stat(path) if follow else await lstat(path)  # type: ignore[arg-type]


async def exists(path: FileDescriptorOrPath,
                 *, loop: object = None, executor: object = None) -> bool:
    """Whether `path` names something (following symlinks); never raises
    for a missing or unusable path, as ``os.path.exists``."""
    try:
        try:
            await _stat(path)
        except (OSError, ValueError):
            return False
        return True
    except Exception as error:
        public_traceback(error)
        raise


async def lexists(path: FileDescriptorOrPath,
                  *, loop: object = None, executor: object = None) -> bool:
    """Whether `path` names something, a broken symlink included."""
    try:
        try:
            await _stat(path, follow=False)
        except (OSError, ValueError):
            return False
        return True
    except Exception as error:
        public_traceback(error)
        raise


async def _mode_is(path: FileDescriptorOrPath, test: object, follow: bool = True) -> bool:
    try:
        st = await _stat(path, follow)
    except (OSError, ValueError):
        return False
    return bool(test(st.st_mode))  # type: ignore[operator]


async def isfile(path: FileDescriptorOrPath,
                 *, loop: object = None, executor: object = None) -> bool:
    """Whether `path` is a regular file (or a symlink to one)."""
    try:
        return await _mode_is(path, _st.S_ISREG)
    except Exception as error:
        public_traceback(error)
        raise


async def isdir(path: FileDescriptorOrPath,
                *, loop: object = None, executor: object = None) -> bool:
    """Whether `path` is a folder (or a symlink to one)."""
    try:
        return await _mode_is(path, _st.S_ISDIR)
    except Exception as error:
        public_traceback(error)
        raise


async def islink(path: FileDescriptorOrPath,
                 *, loop: object = None, executor: object = None) -> bool:
    """Whether `path` is a symbolic link."""
    try:
        return await _mode_is(path, _st.S_ISLNK, follow=False)
    except Exception as error:
        public_traceback(error)
        raise


async def isjunction(path: FileDescriptorOrPath,
                     *, loop: object = None, executor: object = None) -> bool:
    """Always False: junctions exist only on Windows."""
    try:
        _os.fspath(path)  # type: ignore[arg-type]  # the standard library's TypeError
        return False
    except Exception as error:
        public_traceback(error)
        raise


async def isdevdrive(path: FileDescriptorOrPath,
                     *, loop: object = None, executor: object = None) -> bool:
    """Always False: Dev Drives exist only on Windows."""
    return False


async def ismount(path: StrOrBytesPath, *, loop: object = None, executor: object = None) -> bool:
    """Whether `path` is a mount point: on another device than its parent,
    or its own parent (``/``), as ``os.path.ismount`` tells."""
    try:
        from . import lstat
        try:
            s1 = await lstat(path)
        except (OSError, ValueError):
            return False
        if _st.S_ISLNK(s1.st_mode):
            return False  # a symlink is never a mount point
        name: Any = _os.fspath(path)
        dots: Any = b".." if isinstance(name, bytes) else ".."
        parent: Any = await realpath(join(name, dots))
        try:
            s2 = await lstat(parent)
        except (OSError, ValueError):
            return False
        return s1.st_dev != s2.st_dev or s1.st_ino == s2.st_ino
    except Exception as error:
        public_traceback(error)
        raise


async def getsize(path: FileDescriptorOrPath,
                  *, loop: object = None, executor: object = None) -> int:
    """The size of `path` in bytes; raises as ``os.stat`` does."""
    return (await _stat(path)).st_size


async def getmtime(path: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> float:
    """The time of last modification, in seconds since the epoch."""
    return (await _stat(path)).st_mtime


async def getatime(path: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> float:
    """The time of last access, in seconds since the epoch."""
    return (await _stat(path)).st_atime


async def getctime(path: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> float:
    """The time of the last metadata change, in seconds since the epoch."""
    return (await _stat(path)).st_ctime


async def samefile(f1: FileDescriptorOrPath, f2: FileDescriptorOrPath,
                   *, loop: object = None, executor: object = None) -> bool:
    """Whether both paths name the same file (device and inode)."""
    try:
        return samestat(await _stat(f1), await _stat(f2))
    except Exception as error:
        public_traceback(error)
        raise


async def sameopenfile(fp1: int, fp2: int, *, loop: object = None, executor: object = None) -> bool:
    """Whether both descriptors refer to the same file."""
    try:
        return samestat(await _stat(fp1), await _stat(fp2))
    except Exception as error:
        public_traceback(error)
        raise


async def abspath(path: AnyStr | _os.PathLike[AnyStr],
                  *, loop: object = None, executor: object = None) -> AnyStr:
    """``os.path.abspath``: `path` made absolute against the working folder."""
    try:
        return _os.path.abspath(path)
    except Exception as error:
        public_traceback(error)
        raise


async def realpath(filename: AnyStr | _os.PathLike[AnyStr], *, strict: bool = False,
                   loop: object = None, executor: object = None) -> AnyStr:
    """``os.path.realpath``: the canonical path, symlinks resolved.

    Each component is looked up with `lstat` and each link read with
    `readlink`, both through the driver; with ``strict`` a missing component
    or a loop raises as the standard library does.
    """
    try:
        name = _os.fspath(filename)
        path, _ = await _join_real(name[:0], name, strict, {})
        return _os.path.abspath(path)
    except Exception as error:
        public_traceback(error)
        raise


async def _join_real(path: AnyStr, rest: AnyStr, strict: bool,
                     seen: dict[AnyStr, AnyStr | None]) -> tuple[AnyStr, bool]:
    # Resolves `rest` onto the already resolved `path`; False when a symlink
    # loop stopped the resolution.
    from . import lstat, readlink
    if isinstance(path, bytes):
        sep_, cur, par = b"/", b".", b".."
    else:
        sep_, cur, par = "/", ".", ".."
    if isabs(rest):
        rest = rest[1:]
        path = sep_
    while rest:
        name, _, rest = rest.partition(sep_)
        if not name or name == cur:
            continue
        if name == par:
            if path:
                path, name = split(path)
                if name == par:
                    path = join(path, par, par)
            else:
                path = par
            continue
        newpath = join(path, name)
        try:
            st = await lstat(newpath)
        except OSError:
            if strict:
                raise
            is_link = False
        else:
            is_link = _st.S_ISLNK(st.st_mode)
        if not is_link:
            path = newpath
            continue
        if newpath in seen:
            known = seen[newpath]
            if known is not None:
                path = known
                continue
            if strict:
                await _stat(newpath)  # raises ELOOP, as the standard library does
            else:
                return join(newpath, rest), False
        seen[newpath] = None
        path, ok = await _join_real(path, await readlink(newpath), strict, seen)
        if not ok:
            return join(path, rest), False
        seen[newpath] = path
    return path, True
