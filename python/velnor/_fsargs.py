"""Arguments of the os-style functions, checked as the os module checks them."""

from __future__ import annotations

import os
import sys
import warnings
from typing import TypeAlias

from ._paths import StrOrBytesPath

FileDescriptorOrPath: TypeAlias = int | StrOrBytesPath
"""A path, or an open descriptor where the os function accepts one."""

AT_FDCWD: int = getattr(os, "AT_FDCWD", -100)

_INT_MAX = 2**31 - 1  # a C int, which the os module's descriptors are
_INT_MIN = -(2**31)


class Target:
    """One path argument: what the extension takes and what errors show.

    `text` is the ``str`` the extension encodes back to the same bytes
    (empty for a descriptor),
    `name` the ``str``/``bytes`` (or descriptor) that the standard library
    puts in its errors' ``filename``, `fd` the descriptor when one was given.
    """

    __slots__ = ("text", "name", "fd", "is_bytes")

    def __init__(self, text: str, name: str | bytes | int, fd: int | None, is_bytes: bool) -> None:
        self.text = text
        self.name = name
        self.fd = fd
        self.is_bytes = is_bytes


def _kinds(allow_fd: bool, allow_none: bool) -> str:
    if allow_none:
        return "string, bytes, os.PathLike, integer or None" if allow_fd else "string, bytes, os.PathLike or None"
    return "string, bytes, os.PathLike or integer" if allow_fd else "string, bytes or os.PathLike"


def target(function: str, path: object, *, allow_fd: bool = False, allow_none: bool = False) -> Target:
    """The path argument `path` of os.`function`, or the os module's error."""
    if allow_fd and isinstance(path, int) and not isinstance(path, bool):
        if not _INT_MIN <= path <= _INT_MAX:
            raise OverflowError("fd is greater than maximum" if path > 0 else "fd is less than minimum")
        return Target("", path, path, False)
    if allow_fd and isinstance(path, bool):
        # As the os module takes it: the descriptor 0 or 1 (with a warning
        # from 3.13 on).
        if sys.version_info >= (3, 13):
            warnings.warn("bool is used as a file descriptor", RuntimeWarning, stacklevel=3)
        return Target("", path, int(path), False)
    if path is None and allow_none:
        return Target(".", ".", None, False)
    try:
        name = os.fspath(path)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{function}: path should be {_kinds(allow_fd, allow_none)}, "
                        f"not {type(path).__name__}") from None
    if isinstance(name, bytes):
        text = os.fsdecode(name)
        is_bytes = True
    else:
        text = name
        is_bytes = False
    if "\0" in text:
        if sys.version_info >= (3, 13):
            raise ValueError(f"{function}: embedded null character in path")
        raise ValueError("embedded null byte")
    return Target(text, name, None, is_bytes)


def dir_fd(value: int | None) -> int:
    """A ``dir_fd`` argument as the extension takes it."""
    if value is None:
        return AT_FDCWD
    if not isinstance(value, int):
        try:
            return int(value.__index__())
        except AttributeError:
            raise TypeError(f"argument should be integer or None, not {type(value).__name__}") from None
    return value


def dir_fd_with_fd(function: str, t: Target, value: int | None) -> None:
    if value is not None and t.fd is not None:
        raise ValueError(f"{function}: can't specify dir_fd without matching path")


def fd_and_follow(function: str, t: Target, follow_symlinks: bool) -> None:
    if not follow_symlinks and t.fd is not None:
        raise ValueError(f"{function}: cannot use fd and follow_symlinks together")
