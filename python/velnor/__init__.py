"""Non-blocking file I/O for asyncio over one io_uring driver thread per process.

``velnor.open`` gives a `BinaryFile` whose reads and writes never block the
event loop; `read_bytes`, `write_bytes`, `read_text` and `write_text` move a
whole file at once, like their namesakes on ``pathlib.Path``.
"""

from __future__ import annotations

import sys

if sys.platform != "linux":
    # The extension is built only for Linux; say so rather than fail on a
    # missing module further down.
    raise ImportError(f"velnor needs Linux (io_uring, preadv2, openat2); this system is "
                      f"{sys.platform!r}")

from importlib.metadata import PackageNotFoundError, version

from _velnor import backend_name

from . import os, tempfile
from ._async_path import Path
from ._files import BinaryFile, FileOpener, open
from .futures import KernelFuture
from ._whole_file import read_bytes, read_text, write_bytes, write_text

try:
    __version__: str = version("velnor")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "BinaryFile",
    "FileOpener",
    "KernelFuture",
    "Path",
    "backend_name",
    "open",
    "os",
    "read_bytes",
    "read_text",
    "tempfile",
    "write_bytes",
    "write_text",
]
