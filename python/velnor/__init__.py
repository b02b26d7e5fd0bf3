"""Non-blocking file I/O for asyncio over one io_uring driver thread per process.

``velnor.open`` opens files as the built-in ``open`` does, and its files'
reads and writes never block the event loop: a `TextFile` for text modes, a
`BufferedFile` for binary ones, the unbuffered `BinaryFile` with
``buffering=0``. `read_bytes`, `write_bytes`, `read_text` and `write_text`
move a whole file at once, like their namesakes on ``pathlib.Path``.
"""

from __future__ import annotations

from _velnor import backend_name

from ._buffered import BufferedFile
from ._files import BinaryFile
from ._open import FileOpener, open
from ._text import TextFile
from .futures import KernelFuture
from ._whole_file import read_bytes, read_text, write_bytes, write_text

__all__ = [
    "BinaryFile",
    "BufferedFile",
    "FileOpener",
    "KernelFuture",
    "TextFile",
    "backend_name",
    "open",
    "read_bytes",
    "read_text",
    "write_bytes",
    "write_text",
]
