"""`velnor.open`: the built-in ``open``'s contract, with files whose I/O is awaited."""

from __future__ import annotations

import asyncio
import errno
import io
import locale
import operator
import os
import stat
import sys
import warnings
from collections.abc import Callable, Coroutine, Generator
from types import TracebackType
from typing import Any, Generic, Literal, TypeAlias, TypeVar, overload

import _velnor

from ._buffered import DEFAULT_BUFFER_SIZE, BufferedFile
from ._errors import std_error, public_traceback
from ._files import BinaryFile, _open as open_path, open_on_the_spot
from ._kernel import await_kernel, close_soon
from ._modes import OpenMode, parse_mode
from ._pace import turn_due
from ._paths import StrOrBytesPath, fs_path
from ._text import TextFile, check_newline

AnyFile: TypeAlias = TextFile | BufferedFile | BinaryFile
# Covariant: an opener only hands its file out, so an opener of the
# unbuffered file is one of "a buffered or unbuffered binary file" too.
FileT = TypeVar("FileT", bound=AnyFile, covariant=True)
FileDescriptorOrPath: TypeAlias = int | StrOrBytesPath
Opener: TypeAlias = Callable[[str, int], int]

OpenTextMode: TypeAlias = Literal[
    "r", "w", "a", "x", "r+", "w+", "a+", "x+", "+r", "+w", "+a", "+x",
    "rt", "wt", "at", "xt", "tr", "tw", "ta", "tx",
    "r+t", "w+t", "a+t", "x+t", "rt+", "wt+", "at+", "xt+", "+rt", "+wt", "+at", "+xt",
    "t+r", "t+w", "t+a", "t+x", "tr+", "tw+", "ta+", "tx+",
]
OpenBinaryMode: TypeAlias = Literal[
    "rb", "wb", "ab", "xb", "br", "bw", "ba", "bx",
    "rb+", "wb+", "ab+", "xb+", "r+b", "w+b", "a+b", "x+b", "+rb", "+wb", "+ab", "+xb",
    "br+", "bw+", "ba+", "bx+", "b+r", "b+w", "b+a", "b+x", "+br", "+bw", "+ba", "+bx",
]


_PARSED: dict[str, OpenMode] = {}
"""Modes already parsed: the same few strings come back on every call."""


class FileOpener(Generic[FileT]):
    """What `velnor.open` returns: ``await`` it for the file, or use it with
    ``async with`` to have the file closed at the end of the block. Nothing
    is opened until then; the file opened is kept, so awaiting again gives
    the same file, and a block entered after an await closes it."""

    __slots__ = ("_open", "_args", "_file", "_name", "_mode", "_here")

    def __init__(self, open_file: Callable[..., Coroutine[Any, None, FileT]], args: tuple[Any, ...],
                 name: str | bytes | int, mode: str) -> None:
        self._open = open_file  # called with `args` at each await
        self._args = args
        self._file: FileT | None = None
        self._name = name
        self._mode = mode
        # Whether `args` are those of a read-only buffered open of a path,
        # which may be made right here, without coroutines of its own.
        self._here = False

    def __repr__(self) -> str:
        return f"<velnor.FileOpener name={self._name!r} mode={self._mode!r}>"

    def __await__(self) -> Generator[Any, None, FileT]:
        # The file is kept: awaited again, or then entered, this opener
        # gives the same file (and its block closes it), as aiofiles' does.
        try:
            if self._file is not None:
                return self._file
            if self._here and not turn_due():
                file = _open_here(*self._args)
                if file is not None:
                    self._file = file  # type: ignore[assignment]
                    return file  # type: ignore[return-value]
            self._file = opened = yield from self._open(*self._args).__await__()
            return opened
        except Exception as error:
            public_traceback(error)
            raise

    async def __aenter__(self) -> FileT:
        try:
            if self._file is not None:
                return self._file
            if self._here and not turn_due():
                here_file = _open_here(*self._args)
                if here_file is not None:
                    self._file = here_file  # type: ignore[assignment]
                    return here_file  # type: ignore[return-value]
            self._file = file = await self._open(*self._args)
            return file
        except Exception as error:
            public_traceback(error)
            raise

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        try:
            file = self._file
            if file is not None and not (self._here and file._close_here()):  # type: ignore[union-attr]
                await file.close()
        except Exception as error:
            public_traceback(error)
            raise


def named(opener: FileOpener[FileT], name: str | bytes | int,
          made_for_it: bool = False) -> FileOpener[FileT]:
    """`opener`, made by `open` from a descriptor, giving a file that
    reports `name` (a temporary file's path) instead of the descriptor.
    With `made_for_it` the descriptor was made for this file alone: a
    failure before the file holds it closes it."""
    opener._args = (*opener._args, name, made_for_it)
    opener._name = name
    return opener


def _optional_str(value: object, what: str) -> None:
    if value is not None and not isinstance(value, str):
        raise TypeError(f"open() argument '{what}' must be str or None, "
                        f"not {type(value).__name__}")


@overload
def open(file: FileDescriptorOrPath, mode: OpenTextMode = "r", buffering: int = -1,  # noqa: A001
         encoding: str | None = None, errors: str | None = None, newline: str | None = None,
         closefd: bool = True, opener: Opener | None = None,
         *, loop: object = None, executor: object = None) -> FileOpener[TextFile]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryMode, buffering: Literal[0],  # noqa: A001
         encoding: None = None, errors: None = None, newline: None = None,
         closefd: bool = True, opener: Opener | None = None,
         *, loop: object = None, executor: object = None) -> FileOpener[BinaryFile]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryMode,  # noqa: A001
         buffering: Literal[-1, 1] = -1, encoding: None = None, errors: None = None,
         newline: None = None, closefd: bool = True,
         opener: Opener | None = None,
         *, loop: object = None, executor: object = None) -> FileOpener[BufferedFile]: ...
@overload
def open(file: FileDescriptorOrPath, mode: OpenBinaryMode, buffering: int = -1,  # noqa: A001
         encoding: None = None, errors: None = None, newline: None = None,
         closefd: bool = True,
         opener: Opener | None = None,
         *, loop: object = None, executor: object = None) -> FileOpener[BufferedFile | BinaryFile]: ...
# A mode known only at run time may give any of the three files, which share
# no base class: as typeshed's ``open`` gives ``IO[Any]`` for it, the file is
# left to the caller rather than made a union every use must narrow.
@overload
def open(file: FileDescriptorOrPath, mode: str, buffering: int = -1,  # noqa: A001
         encoding: str | None = None, errors: str | None = None, newline: str | None = None,
         closefd: bool = True, opener: Opener | None = None,
         *, loop: object = None, executor: object = None) -> FileOpener[Any]: ...


def open(file: FileDescriptorOrPath, mode: str = "r", buffering: int = -1,  # noqa: A001
         encoding: str | None = None, errors: str | None = None, newline: str | None = None,
         closefd: bool = True, opener: Opener | None = None,
         *, loop: object = None, executor: object = None) -> FileOpener[Any]:
    """Open a file as the built-in ``open`` does, for I/O that is awaited.

    ``f = await velnor.open(path)`` or ``async with velnor.open(path, "w")
    as f:``. The arguments and their meaning are the built-in's: text modes
    (``"r"``, ``"w"``, ``"a"``, ``"x"``, with ``+`` and ``t``) give a
    `TextFile` with the built-in's default encoding, `errors` and `newline`
    handling; binary modes (with ``b``) give a `BufferedFile`, or the
    unbuffered `BinaryFile` with ``buffering=0``; ``buffering=1`` asks for
    line buffering in text mode, a larger number for a buffer of that size.
    `file` is a path (``str``, ``bytes`` or path-like) or a descriptor that is
    already open, which the file closes unless `closefd` is false; an
    `opener` is called on this thread, as the built-in calls it, and returns
    such a descriptor.

    The arguments are checked here, at the call, raising what the built-in
    raises; opening happens when the result is awaited or entered.
    aiofiles' ``loop=`` and ``executor=`` are accepted and ignored: the
    driver thread does the work, for whichever loop awaits it.
    """
    try:
        if (file.__class__ is str and mode.__class__ is str and buffering.__class__ is int
                and buffering == -1 and encoding is None and errors is None and newline is None
                and closefd is True and opener is None):
            # The commonest call, a path and a binary mode seen before, with
            # nothing else to check: programs going through many small files
            # make it once per file.
            known = _PARSED.get(mode)
            if known is not None and known.binary and "\0" not in file:
                made: FileOpener[Any] = FileOpener(_open_path, (file, file, known, -1, None, None, None),
                                                   file, known.text)
                made._here = known.cached_open
                return made
        if not isinstance(file, int):
            text_path, name = fs_path(file)
        buffering = operator.index(buffering)
        _optional_str(encoding, "encoding")
        _optional_str(errors, "errors")
        _optional_str(newline, "newline")
        parsed = _PARSED.get(mode) if type(mode) is str else None
        if parsed is None:
            parsed = parse_mode(mode)
            if len(_PARSED) < 64:
                _PARSED[mode] = parsed
        if parsed.binary:
            if encoding is not None:
                raise ValueError("binary mode doesn't take an encoding argument")
            if errors is not None:
                raise ValueError("binary mode doesn't take an errors argument")
            if newline is not None:
                raise ValueError("binary mode doesn't take a newline argument")
            if buffering == 1:
                warnings.warn("line buffering (buffering=1) isn't supported in binary mode, "
                              "the default buffer size will be used", RuntimeWarning, stacklevel=2)
        else:
            # The built-in's default, with its EncodingWarning under -X warn_default_encoding.
            encoding = io.text_encoding(encoding, 2)
            if encoding == "locale":
                encoding = "utf-8" if sys.flags.utf8_mode else locale.getencoding()
        # What the file will report: a binary file's mode in the standard spelling.
        shown = parsed.text if parsed.binary else parsed.given
        if isinstance(file, int):
            if file < 0:
                raise ValueError("negative file descriptor")
            return FileOpener(_open_fd, (file, parsed, closefd, buffering, encoding, errors, newline),
                              file, shown)
        if not closefd:
            raise ValueError("Cannot use closefd=False with file name")
        if opener is not None:
            return FileOpener(_open_with_opener,
                              (opener, text_path, name, parsed, buffering, encoding, errors, newline),
                              name, shown)
        made = FileOpener(_open_path, (text_path, name, parsed, buffering, encoding, errors, newline),
                          name, shown)
        made._here = buffering == -1 and parsed.cached_open
        return made
    except Exception as error:
        public_traceback(error)
        raise


def _buffer_size(blksize: int) -> int:
    """The default buffer of a file whose st_blksize is `blksize`, as the built-in's."""
    return blksize if blksize > 1 else DEFAULT_BUFFER_SIZE


def _open_here(path: str, name: str | bytes, mode: OpenMode, buffering: int, encoding: str | None,
               errors: str | None, newline: str | None) -> BufferedFile | TextFile | None:
    """The usual open of a file to read (default buffering), whole here when
    the kernel resolves the path from its caches; None when it cannot. A
    regular file is no terminal, and its st_blksize sizes the buffer. The
    caller has checked that the loop's turn is not due."""
    raw = open_on_the_spot(path, name, mode)
    if raw is None:
        return None
    try:
        buffered = BufferedFile(raw, _buffer_size(raw._blksize))
        if mode.binary:
            return buffered
        assert encoding is not None
        return TextFile(buffered, encoding, errors, newline, False, mode=mode.given)
    except BaseException:
        raw._close_unseen()
        raise


async def _open_path(path: str, name: str | bytes, mode: OpenMode, buffering: int,
                     encoding: str | None, errors: str | None, newline: str | None) -> Any:
    # The opener has tried `_open_here` already wherever it could.
    raw = await open_path(path, name, mode)
    return await _wrap(raw, mode, buffering, encoding, errors, newline)


_OS_FLAGS = {
    (True, False): os.O_RDONLY, (False, True): os.O_WRONLY, (True, True): os.O_RDWR,
}


def _os_flags(mode: OpenMode) -> int:
    read, write, append, truncate, create, create_new = mode.flags
    flags = _OS_FLAGS[(read, write)] | os.O_CLOEXEC
    if append:
        flags |= os.O_APPEND
    if truncate:
        flags |= os.O_TRUNC
    if create:
        flags |= os.O_CREAT
    if create_new:
        flags |= os.O_CREAT | os.O_EXCL
    return flags


async def _open_with_opener(opener: Opener, path: str, name: str | bytes, mode: OpenMode,
                            buffering: int, encoding: str | None, errors: str | None,
                            newline: str | None) -> Any:
    fd = opener(path, _os_flags(mode))
    if not isinstance(fd, int):
        raise TypeError("expected integer from opener")
    if fd < 0:
        raise ValueError(f"opener returned {fd}")
    return await _open_fd(fd, mode, True, buffering, encoding, errors, newline, name=name)


async def _open_fd(fd: int, mode: OpenMode, closefd: bool, buffering: int,
                   encoding: str | None, errors: str | None, newline: str | None,
                   name: str | bytes | None = None, made_for_it: bool = False) -> Any:
    """A file over the descriptor `fd`, or over a duplicate of it when
    `closefd` is false, so that the caller's descriptor outlives the file.
    As the built-in's, a failure leaves `fd` open, unless it was
    `made_for_it` (a temporary file's): then it is closed, up to the moment
    the file holds it (after which closing the file closes it)."""
    loop = asyncio.get_running_loop()
    try:
        try:
            st_mode = os.fstat(fd).st_mode
            # The file starts where the descriptor stands, as the built-in's does.
            pos = os.lseek(fd, 0, os.SEEK_END if mode.append else os.SEEK_CUR)
        except OSError as error:
            if error.errno != errno.ESPIPE:
                raise std_error(error) from None
            pos = 0
        if stat.S_ISDIR(st_mode):
            raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR),
                                    fd if name is None else name)
        owned = fd if closefd else os.dup(fd)
        try:
            # The driver takes the descriptor over when an operation first needs it.
            raw = BinaryFile._create(handle=None, fd=owned, size=pos,
                                     name=fd if name is None else name, mode=mode, loop=loop,
                                     st_mode=st_mode, pos=pos)
        except BaseException:
            if not closefd:
                os.close(owned)
            raise
    except BaseException:
        if made_for_it:
            os.close(fd)
        raise
    return await _wrap(raw, mode, buffering, encoding, errors, newline)


async def _wrap(raw: BinaryFile, mode: OpenMode, buffering: int, encoding: str | None,
                errors: str | None, newline: str | None) -> Any:
    """Layer a buffer and a text file over `raw` as the built-in ``open``
    does; on failure `raw` is closed and the error raised."""
    try:
        line_buffering = False
        if buffering == 1 or (buffering < 0 and raw.isatty()):
            buffering = -1
            line_buffering = True
        if buffering < 0:
            buffering = _buffer_size(raw._blksize or os.fstat(raw.fileno()).st_blksize)
        if buffering == 0:
            if mode.binary:
                return raw
            raise ValueError("can't have unbuffered text I/O")
        buffered = BufferedFile(raw, buffering)
        if mode.binary:
            return buffered
        assert encoding is not None
        return TextFile(buffered, encoding, errors, newline, line_buffering, mode=mode.given)
    except BaseException:
        await raw.close()
        raise
