"""Comparing velnor's file-system calls with the standard library's: the
outcome of a call as a value that holds everything a user can observe."""

from __future__ import annotations

import os
from collections.abc import Awaitable, Callable
from pathlib import Path
from typing import Any

STAT_FIELDS = ("st_mode", "st_ino", "st_dev", "st_nlink", "st_uid", "st_gid", "st_size",
               "st_atime", "st_mtime", "st_ctime", "st_atime_ns", "st_mtime_ns", "st_ctime_ns",
               "st_blksize", "st_blocks", "st_rdev")


def error_facts(e: BaseException) -> tuple[Any, ...]:
    """Class, arguments, errno, strerror, file names and text of an error."""
    return (type(e), e.args, getattr(e, "errno", None), getattr(e, "strerror", None),
            getattr(e, "filename", None), getattr(e, "filename2", None), str(e))


def sync_outcome(call: Callable[[], Any]) -> tuple[Any, ...]:
    try:
        return ("ok", call())
    except Exception as e:  # noqa: BLE001 - every error is part of the comparison
        return ("raised", *error_facts(e))


async def async_outcome(call: Callable[[], Awaitable[Any]]) -> tuple[Any, ...]:
    try:
        return ("ok", await call())
    except Exception as e:  # noqa: BLE001
        return ("raised", *error_facts(e))


def stat_facts(st: os.stat_result) -> tuple[Any, ...]:
    return tuple(getattr(st, f) for f in STAT_FIELDS)


def tree(root: Path) -> list[tuple[str, str, Any]]:
    """Every name below `root` with its kind and its content or target."""
    out: list[tuple[str, str, Any]] = []
    for dirpath, dirnames, filenames in os.walk(root):
        for name in sorted(dirnames + filenames):
            p = Path(dirpath, name)
            rel = str(p.relative_to(root))
            if p.is_symlink():
                out.append((rel, "link", os.readlink(p)))
            elif p.is_dir():
                out.append((rel, "dir", oct(p.stat().st_mode & 0o777)))
            else:
                out.append((rel, "file", (p.read_bytes(), oct(p.stat().st_mode & 0o777))))
    return sorted(out)
