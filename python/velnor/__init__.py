"""Non-blocking file I/O for asyncio over one io_uring driver thread per process.

``velnor.open`` gives a `BinaryFile` whose reads and writes never block the
event loop; `read_bytes`, `write_bytes`, `read_text` and `write_text` move a
whole file at once, like their namesakes on ``pathlib.Path``.
"""

from __future__ import annotations

from _velnor import backend_name

from ._files import BinaryFile, FileOpener, open
from .futures import KernelFuture
from ._whole_file import read_bytes, read_text, write_bytes, write_text

__all__ = [
    "BinaryFile",
    "FileOpener",
    "KernelFuture",
    "backend_name",
    "open",
    "read_bytes",
    "read_text",
    "write_bytes",
    "write_text",
]
