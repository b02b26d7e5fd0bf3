"""Turning the paths users pass into what the extension accepts."""

from __future__ import annotations

import os
from typing import TypeAlias

from ._errors import std_error

StrOrBytesPath: TypeAlias = str | bytes | os.PathLike[str] | os.PathLike[bytes]
"""Every kind of path the package accepts, like the standard library's."""


def fs_path(path: StrOrBytesPath) -> tuple[str, str | bytes]:
    """The path as the extension's ``str`` and as the name to show users.

    The extension takes only ``str`` paths; a ``bytes`` path is decoded with
    the filesystem encoding and its error handler, which the extension's
    encoding reverses exactly, so undecodable names still reach the same
    file. A NUL byte is refused here, as the standard library does, rather
    than by the kernel later.
    """
    name = os.fspath(path)
    text = os.fsdecode(name) if isinstance(name, bytes) else name
    if "\0" in text:
        raise ValueError("embedded null byte")
    return text, name


def with_filename(error: OSError, name: str | bytes) -> OSError:
    """The standard library's error for a failure on the path `name`."""
    return std_error(error, name)
