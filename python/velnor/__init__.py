"""Non-blocking file I/O for asyncio over one io_uring driver thread per process.

``velnor.open`` opens files as the built-in ``open`` does, and its files'
reads and writes never block the event loop: a `TextFile` for text modes, a
`BufferedFile` for binary ones, the unbuffered `BinaryFile` with
``buffering=0``. `read_bytes`, `write_bytes`, `read_text` and `write_text`
move a whole file at once, like their namesakes on ``pathlib.Path``.
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
from ._answers import AwaitableBool, AwaitableInt
from ._async_path import Path
from ._buffered import BufferedFile
from ._files import BinaryFile
from ._open import FileOpener, open
from ._standard import (StandardStream, stderr, stderr_bytes, stdin, stdin_bytes, stdout,
                        stdout_bytes)
from ._text import TextFile
from .futures import KernelFuture
from ._whole_file import read_bytes, read_text, write_bytes, write_text

try:
    __version__: str = version("velnor")
except PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "AwaitableBool",
    "AwaitableInt",
    "BinaryFile",
    "BufferedFile",
    "FileOpener",
    "KernelFuture",
    "Path",
    "StandardStream",
    "TextFile",
    "backend_name",
    "open",
    "os",
    "read_bytes",
    "read_text",
    "stderr",
    "stderr_bytes",
    "stdin",
    "stdin_bytes",
    "stdout",
    "stdout_bytes",
    "tempfile",
    "write_bytes",
    "write_text",
]
