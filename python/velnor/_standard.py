"""The process's standard streams, awaited: `stdin`, `stdout` and `stderr`
as text, and their ``_bytes`` forms."""

from __future__ import annotations

import asyncio
import atexit
import os
import sys
import warnings
from collections.abc import Buffer, Iterable
from typing import Any, AnyStr, Generic, Literal, overload

from ._buffered import BufferedFile
from ._answers import AwaitableBool, answer
from ._errors import public_traceback
from ._open import named, open as _open
from ._text import TextFile

_NAMES = ("<stdin>", "<stdout>", "<stderr>")


class _Descriptor:
    """`BufferedFile`s over duplicates of descriptor 0, 1 or 2, one made on
    each event loop at its first use there (a file belongs to one loop).

    The descriptor itself is never closed. The duplicate of a loop that
    has closed is closed when another loop opens its own; those still
    open at the interpreter's exit go with it, unwarned."""

    __slots__ = ("fd", "_files", "_opening")

    def __init__(self, fd: int) -> None:
        self.fd = fd
        self._files: dict[asyncio.AbstractEventLoop, BufferedFile] = {}
        self._opening: dict[asyncio.AbstractEventLoop, asyncio.Task[BufferedFile]] = {}

    async def file(self) -> BufferedFile:
        loop = asyncio.get_running_loop()
        file = self._files.get(loop)
        if file is not None:
            return file
        task = self._opening.get(loop)
        if task is None:
            task = self._opening[loop] = loop.create_task(self._open(loop))
        try:
            # Shielded: one opening serves every task that asked meanwhile,
            # whichever of them is cancelled.
            return await asyncio.shield(task)
        finally:
            if task.done() and self._opening.get(loop) is task:
                del self._opening[loop]  # a failed opening is tried again at the next use

    async def _open(self, loop: asyncio.AbstractEventLoop) -> BufferedFile:
        for gone in [other for other in self._files if other.is_closed()]:
            # Nothing waits in its buffer (every write flushes); closed from
            # here, as a file can be from any loop. Its duplicate only: a
            # failure there is no reason to refuse this loop its stream.
            try:
                await self._files.pop(gone).close()
            except OSError:
                pass
        mode: Literal["rb", "wb"] = "rb" if self.fd == 0 else "wb"
        file = await named(_open(self.fd, mode, closefd=False), _NAMES[self.fd])
        self._files[loop] = file
        return file

    def forget(self) -> None:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", ResourceWarning)
            self._files.clear()


class StandardStream(Generic[AnyStr]):
    """One of the process's standard streams (`velnor.stdin`,
    `velnor.stdout`, `velnor.stderr` and their ``_bytes`` forms), read or
    written as the built-in ``sys.stdin`` and the others are, without
    blocking the event loop.

    The stream is a file of this package over a duplicate of descriptor 0,
    1 or 2, opened on each event loop at its first use; the descriptor
    itself is never closed. A text stream sits on its ``_bytes`` form's
    buffer, with ``sys.stdin``'s (or ``sys.stdout``'s, ``sys.stderr``'s)
    encoding and errors, and splits lines at ``"\\n"`` as they do on this
    system. Reads answer with what a pipe or a terminal has, as the
    built-in's do: a line as soon as it is whole. Each write is flushed
    before it returns, so nothing waits in a buffer when the program ends;
    text that ``print`` left in ``sys.stdout``'s own buffer is not ordered
    with it.
    """

    __slots__ = ("_descriptor", "_text", "_built")

    def __init__(self, descriptor: _Descriptor, text: bool) -> None:
        self._descriptor = descriptor
        self._text = text
        self._built: tuple[BufferedFile, TextFile] | None = None

    async def _file(self) -> Any:
        buffer = await self._descriptor.file()
        if not self._text:
            return buffer
        built = self._built
        if built is None or built[0] is not buffer:
            std = (sys.__stdin__, sys.__stdout__, sys.__stderr__)[self._descriptor.fd]
            encoding = getattr(std, "encoding", None) or "utf-8"
            errors = getattr(std, "errors", None)
            mode = "r" if self._descriptor.fd == 0 else "w"
            built = self._built = (buffer, TextFile(buffer, encoding, errors, "\n", mode=mode))
        return built[1]

    @property
    def name(self) -> str:
        """``"<stdin>"``, ``"<stdout>"`` or ``"<stderr>"``."""
        return _NAMES[self._descriptor.fd]

    @property
    def mode(self) -> str:
        """``"r"`` or ``"w"``, with ``"b"`` for the ``_bytes`` forms."""
        return ("r" if self._descriptor.fd == 0 else "w") + ("" if self._text else "b")

    def fileno(self) -> int:
        """The standard descriptor: 0, 1 or 2."""
        return self._descriptor.fd

    def isatty(self) -> AwaitableBool:
        """Whether the descriptor is a terminal."""
        return answer(os.isatty(self._descriptor.fd))

    async def read(self, size: int | None = -1) -> AnyStr:
        """Up to `size` characters (bytes), or everything to the end of input."""
        try:
            file = await self._file()
            result: AnyStr = await file.read(size)
            return result
        except Exception as error:
            public_traceback(error)
            raise

    async def readline(self, size: int | None = -1) -> AnyStr:
        """The next line, as soon as it is whole; empty at the end of input."""
        try:
            file = await self._file()
            result: AnyStr = await file.readline(size)
            return result
        except Exception as error:
            public_traceback(error)
            raise

    async def readlines(self, hint: int | None = -1) -> list[AnyStr]:
        """The lines to the end of input, or until `hint` characters (bytes)."""
        try:
            file = await self._file()
            result: list[AnyStr] = await file.readlines(hint)
            return result
        except Exception as error:
            public_traceback(error)
            raise

    def __aiter__(self) -> StandardStream[AnyStr]:
        return self

    async def __anext__(self) -> AnyStr:
        file = await self._file()
        line: AnyStr = await file.readline()
        if not line:
            raise StopAsyncIteration
        return line

    @overload
    async def write(self: StandardStream[str], data: str) -> int: ...
    @overload
    async def write(self: StandardStream[bytes], data: Buffer) -> int: ...

    async def write(self, data: Any) -> int:
        """Writes and flushes `data`; returns its length."""
        try:
            file = await self._file()
            written: int = await file.write(data)
            await file.flush()
            return written
        except Exception as error:
            public_traceback(error)
            raise

    @overload
    async def writelines(self: StandardStream[str], lines: Iterable[str]) -> None: ...
    @overload
    async def writelines(self: StandardStream[bytes], lines: Iterable[Buffer]) -> None: ...

    async def writelines(self, lines: Iterable[Any]) -> None:
        """Writes and flushes each of `lines`."""
        try:
            file = await self._file()
            await file.writelines(lines)
            await file.flush()
        except Exception as error:
            public_traceback(error)
            raise

    async def flush(self) -> None:
        """Nothing waits to be written (each write flushes); kept for
        code written for files."""
        try:
            file = await self._file()
            await file.flush()
        except Exception as error:
            public_traceback(error)
            raise

    def __repr__(self) -> str:
        return f"<velnor.StandardStream name={self.name!r} mode={self.mode!r}>"


_descriptors = (_Descriptor(0), _Descriptor(1), _Descriptor(2))
stdin: StandardStream[str] = StandardStream(_descriptors[0], True)
stdout: StandardStream[str] = StandardStream(_descriptors[1], True)
stderr: StandardStream[str] = StandardStream(_descriptors[2], True)
stdin_bytes: StandardStream[bytes] = StandardStream(_descriptors[0], False)
stdout_bytes: StandardStream[bytes] = StandardStream(_descriptors[1], False)
stderr_bytes: StandardStream[bytes] = StandardStream(_descriptors[2], False)


@atexit.register
def _forget() -> None:
    for descriptor in _descriptors:
        descriptor.forget()
