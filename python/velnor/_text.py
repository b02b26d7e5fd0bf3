"""`TextFile`: the text file that ``velnor.open(p)`` and ``velnor.open(p, "w")`` return."""

from __future__ import annotations

import codecs
import io
import operator
import os
import re
from collections.abc import AsyncIterator, Iterable
from types import TracebackType
from typing import Any, Final

from _velnor import split_lines

from ._buffered import BufferedFile, _FileLock
from ._answers import AwaitableBool, AwaitableInt
from ._files import limit_arg
from ._lines import LINES_MAX, SPLIT_MAX, SplitLines, split_stop
from ._pace import Pace, give_turn, turn_due
from ._repr import file_repr
from ._errors import public_traceback

CHUNK_SIZE: Final = 8192
"""Bytes decoded at a time while positions may be asked for: the built-in's
chunk, so that `tell` cookies come out the same."""

ITER_CHUNK_SIZE: Final = 128 * 1024
"""Bytes decoded at a time while lines are iterated (positions are not
available then), so that iteration reads and decodes seldom."""

DECODE_STEP: Final = 256 * 1024
"""Bytes decoded at a time when a read decodes the rest of a file, and
characters encoded at a time when a write encodes a long text: between
steps the loop gets to run other tasks, at its `Pace`."""

_NEWLINES: Final = (None, "", "\n", "\r", "\r\n")

_UNIVERSAL_LINE: Final = re.compile(r"[^\r\n]*(?:\r\n|\r|\n)")
"""A line that ends in any of the universal line endings."""


def _pack_cookie(position: int, dec_flags: int = 0, bytes_to_feed: int = 0,
                 need_eof: bool = False, chars_to_skip: int = 0) -> int:
    # The built-in's layout (a 64-bit offset, three 32-bit counts, a flag
    # byte), so that cookies pass between the two.
    return (position | (dec_flags << 64) | (bytes_to_feed << 96)
            | (chars_to_skip << 128) | (int(need_eof) << 160))


def _unpack_cookie(cookie: int) -> tuple[int, int, int, bool, int]:
    rest, position = divmod(cookie, 1 << 64)
    rest, dec_flags = divmod(rest, 1 << 32)
    rest, bytes_to_feed = divmod(rest, 1 << 32)
    need_eof, chars_to_skip = divmod(rest, 1 << 32)
    return position, dec_flags, bytes_to_feed, bool(need_eof), chars_to_skip


async def _decode_steps(decoder: Any, data: bytes, final: bool) -> str:
    """`decoder.decode(data, final)` in steps, so that decoding much does
    not keep the loop from other tasks."""
    view = memoryview(data)
    parts: list[str] = []
    pace = Pace()
    # What the decoder held before `data`: one decode would count its
    # errors' positions from there.
    first = decoder.getstate()[0]
    for start in range(0, len(data), DECODE_STEP):
        held = len(decoder.getstate()[0])  # from the step before
        try:
            parts.append(decoder.decode(view[start:start + DECODE_STEP],
                                        final and start + DECODE_STEP >= len(data)))
        except UnicodeDecodeError as error:
            offset = len(first) + start - held
            raise UnicodeDecodeError(error.encoding, first + data, error.start + offset,
                                     error.end + offset, error.reason) from None
        if pace.due():
            await pace.pause()
    return "".join(parts)


async def _encode_long(encoder: Any, text: str) -> bytes:
    """`text` through `encoder` in steps, as `_decode_steps` decodes."""
    parts: list[bytes] = []
    pace = Pace()
    for start in range(0, len(text), DECODE_STEP):
        try:
            parts.append(encoder.encode(text[start:start + DECODE_STEP]))
        except UnicodeEncodeError as error:
            raise UnicodeEncodeError(error.encoding, text, error.start + start,
                                     error.end + start, error.reason) from None
        if pace.due():
            await pace.pause()
    return b"".join(parts)


def check_newline(newline: str | None) -> None:
    """Refuse what ``io.TextIOWrapper`` refuses as a `newline`."""
    if newline is not None and not isinstance(newline, str):
        raise TypeError(f"illegal newline type: {type(newline).__name__}")
    if newline not in _NEWLINES:
        raise ValueError(f"illegal newline value: {newline}")


class TextFile(SplitLines[str]):
    """A text file over a `BufferedFile`, as the built-in ``open`` returns
    for ``"r"``, ``"w"``, ``"a+"`` and the other text modes.

    Encoding, errors and newline translation, `tell` cookies and `seek` are
    those of ``io.TextIOWrapper``; every method that may touch the file is a
    coroutine. Reads decode whole chunks with an incremental decoder, so
    ``async for line in f`` mostly hands out lines already split from a
    chunk, refilled from the page cache on the calling thread. As with the
    built-in, `tell` is refused while lines are being iterated, until the
    iteration ends or the file is repositioned.

    Operations that wait for the file hold a lock of the file, so tasks
    sharing it see whole operations in turn.
    """

    __slots__ = ("_buffer", "_encoding", "_errors", "_readuniversal", "_readtranslate",
                 "_readnl", "_writetranslate", "_writenl", "_line_buffering", "_decoder",
                 "_encoder", "_decoded_chars", "_decoded_chars_used", "_snapshot",
                 "_b2cratio", "_telling", "_seekable", "_has_read1", "_lock", "_mode", "_codec",
                 "__weakref__")

    def __init__(self, buffer: BufferedFile, encoding: str, errors: str | None = None,
                 newline: str | None = None, line_buffering: bool = False,
                 mode: str = "r") -> None:
        try:
            check_newline(newline)
            if errors is None:
                errors = "strict"
            elif not isinstance(errors, str):
                raise TypeError(f"TextIOWrapper() argument 'errors' must be str or None, "
                                f"not {type(errors).__name__}")
            info = codecs.lookup(encoding)
            if not getattr(info, "_is_text_encoding", True):
                raise LookupError(f"{encoding!r} is not a text encoding; "
                                  "use codecs.open() to handle arbitrary codecs")
            self._codec = info
            self._buffer = buffer
            buffer.raw._shown_as("TextFile", mode, encoding)
            self._encoding = encoding
            self._errors = errors
            self._mode = mode
            self._readuniversal = not newline
            self._readtranslate = newline is None
            self._readnl = newline
            self._writetranslate = newline != ""
            self._writenl = newline or os.linesep
            self._line_buffering = line_buffering
            self._decoder: Any = None
            self._encoder: Any = None
            self._decoded_chars = ""
            self._decoded_chars_used = 0
            # (decoder flags, bytes fed since) at the start of the decoded chunk.
            self._snapshot: tuple[int, bytes] | None = None
            self._b2cratio = 0.0
            raw = buffer._raw
            if not getattr(raw, "_closed", True):
                # An open file, as every open makes: what the buffer's methods
                # would answer, without the checks they make on the way.
                seekable, readable, writable = raw._seekable, raw._mode.readable, raw._mode.writable
            else:
                seekable, readable, writable = (bool(buffer.seekable()), bool(buffer.readable()),
                                                bool(buffer.writable()))
            self._seekable = self._telling = seekable
            self._has_read1 = True
            self._no_lines()  # lines split from the decoded chunk for iteration
            self._lock = _FileLock()
            if readable:
                self._make_decoder()
            if writable:
                encoder = info.incrementalencoder
                if encoder is None:  # as codecs.getincrementalencoder refuses
                    raise LookupError(encoding)
                self._encoder = encoder(errors)
                if self._seekable and buffer.tell() != 0:
                    # Appending, or opened at an offset: no second byte-order mark.
                    self._encoder.setstate(0)
        except Exception as error:
            public_traceback(error)
            raise

    def _make_decoder(self) -> Any:
        # The codec looked up once, at the open: the lookup costs more than
        # the decoder, and a seek makes a new decoder.
        make = self._codec.incrementaldecoder
        if make is None:  # as codecs.getincrementaldecoder refuses
            raise LookupError(self._encoding)
        decoder: Any = make(self._errors)
        if self._readuniversal:
            decoder = io.IncrementalNewlineDecoder(decoder, self._readtranslate)
        self._decoder = decoder
        return decoder

    # -- state -------------------------------------------------------------

    @property
    def buffer(self) -> BufferedFile:
        """The buffered binary file underneath."""
        return self._buffer

    @property
    def name(self) -> str | bytes | int:
        """The path (or descriptor) the file was opened with."""
        return self._buffer.name

    @property
    def mode(self) -> str:
        """The mode as given to `velnor.open`."""
        return self._mode

    @property
    def encoding(self) -> str:
        """The encoding's name, as given or chosen by default."""
        return self._encoding

    @property
    def errors(self) -> str:
        """The name of the codec error scheme (``"strict"`` unless given)."""
        return self._errors

    @property
    def newlines(self) -> str | tuple[str, ...] | None:
        """The kinds of line ending read so far in universal-newline mode."""
        newlines: str | tuple[str, ...] | None = getattr(self._decoder, "newlines", None)
        return newlines

    @property
    def line_buffering(self) -> bool:
        """Whether a write with a line ending flushes."""
        return self._line_buffering

    @property
    def write_through(self) -> bool:
        """Always false: writes are buffered."""
        return False

    @property
    def closed(self) -> bool:
        """Whether `close` has been called."""
        return self._buffer.closed

    def fileno(self) -> int:
        """The file's descriptor."""
        try:
            return self._buffer.fileno()
        except Exception as error:
            public_traceback(error)
            raise

    def readable(self) -> AwaitableBool:
        """Whether the mode allows reading."""
        try:
            return self._buffer.readable()
        except Exception as error:
            public_traceback(error)
            raise

    def writable(self) -> AwaitableBool:
        """Whether the mode allows writing."""
        try:
            return self._buffer.writable()
        except Exception as error:
            public_traceback(error)
            raise

    def seekable(self) -> AwaitableBool:
        """Whether the file supports positioning."""
        try:
            return self._buffer.seekable()
        except Exception as error:
            public_traceback(error)
            raise

    def isatty(self) -> AwaitableBool:
        """Whether the file is a terminal."""
        try:
            return self._buffer.isatty()
        except Exception as error:
            public_traceback(error)
            raise

    def __repr__(self) -> str:
        return file_repr("TextFile", self.closed, self.name, self._mode, self._encoding)

    # -- decoded characters ------------------------------------------------

    def _drop_lines(self) -> None:
        """Fold the lines iteration handed out back into the decoded chunk's
        position; every operation but iteration starts with this."""
        offset = self._take_back_lines()
        if offset is not None:
            self._decoded_chars_used = offset

    def _set_decoded_chars(self, chars: str) -> None:
        self._decoded_chars = chars
        self._decoded_chars_used = 0

    def _get_decoded_chars(self, n: int = -1) -> str:
        offset = self._decoded_chars_used
        chars = self._decoded_chars[offset:] if n < 0 else self._decoded_chars[offset:offset + n]
        self._decoded_chars_used += len(chars)
        return chars

    async def _decode_or_give_back(self, data: bytes, final: bool) -> str:
        """`data` decoded in steps; cancelled between them, the decoder is
        as before and `data` back in front of the buffer, for the next read."""
        decoder = self._decoder
        assert decoder is not None
        state = decoder.getstate()
        try:
            return await _decode_steps(decoder, data, final)
        except BaseException as stop:
            if not isinstance(stop, Exception):  # errors lose it, as the built-in's do
                decoder.setstate(state)
                self._buffer._give_back(data)
            raise

    def _unread_chars(self, taken: str) -> None:
        """Put characters taken by a read that did not finish (cancelled
        while it waited for more) back in front of the decoded ones, for the
        next read to return."""
        if not taken:
            return
        used = self._decoded_chars_used
        if len(taken) <= used and self._decoded_chars[used - len(taken):used] == taken:
            self._decoded_chars_used = used - len(taken)  # still in the chunk: as if never taken
            return
        # From chunks decoded before this one: the position a snapshot would
        # give no longer holds, and `tell` falls back to the buffer's.
        self._set_decoded_chars(taken + self._decoded_chars[used:])
        self._snapshot = None

    def _rewind_decoded_chars(self, n: int) -> None:
        if self._decoded_chars_used < n:
            raise AssertionError("rewind decoded_chars out of bounds")
        self._decoded_chars_used -= n

    async def _read_chunk(self, size_hint: int = 0) -> bool:
        """Decode one more chunk of the file; False at end of file. While
        positions may be asked for, remember where the chunk started."""
        decoder = self._decoder
        if decoder is None:
            raise ValueError("no decoder")
        if self._telling:
            dec_buffer, dec_flags = decoder.getstate()
            chunk_size = CHUNK_SIZE
        else:
            chunk_size = ITER_CHUNK_SIZE
        if size_hint > 0:
            size_hint = int(max(self._b2cratio, 1.0) * size_hint)
        chunk = await self._buffer.read1(max(chunk_size, size_hint))
        eof = not chunk
        if len(chunk) <= DECODE_STEP:
            decoded = decoder.decode(chunk, eof)
        else:
            # A read of many characters: settled before decoding, so that a
            # `tell` meanwhile says where the chunk ends.
            self._set_decoded_chars("")
            self._snapshot = None
            decoded = await self._decode_or_give_back(chunk, eof)
        self._set_decoded_chars(decoded)
        self._b2cratio = len(chunk) / len(decoded) if decoded else 0.0
        if self._telling:
            self._snapshot = (dec_flags, dec_buffer + chunk)
        else:
            # Iteration moved past where the last snapshot was taken.
            self._snapshot = None
        # The last characters a decoder gives up at the end of the file are
        # one more chunk, as in the built-in.
        return not eof or bool(decoded)

    # -- reading -----------------------------------------------------------

    async def read(self, size: int | None = -1) -> str:
        """Up to `size` characters, or everything to the end of the file
        when `size` is -1 or None."""
        try:
            n = limit_arg(size)
            self._check_open()
            self._check_readable()
            if turn_due():
                # Characters already decoded come without any I/O: nothing else
                # would give the loop its turn.
                await give_turn()
                self._check_open()
            async with self._lock:
                self._drop_lines()
                buffer = self._buffer
                if buffer._wbuf:
                    await buffer.flush()
                decoder = self._decoder
                if n < 0:
                    data = await self._buffer.read()
                    head = self._get_decoded_chars()
                    # Settled before decoding: `tell` meanwhile says the end.
                    self._set_decoded_chars("")
                    self._snapshot = None
                    if len(data) <= DECODE_STEP:
                        whole: str = head + decoder.decode(data, True)
                        return whole
                    try:
                        rest = await self._decode_or_give_back(data, True)
                    except BaseException as stop:
                        if not isinstance(stop, Exception):
                            self._unread_chars(head)
                        raise
                    return head + rest
                result = self._get_decoded_chars(n)
                try:
                    while len(result) < n:
                        more = await self._read_chunk(n - len(result))
                        result += self._get_decoded_chars(n - len(result))
                        if not more:
                            break
                except BaseException as stop:
                    if not isinstance(stop, Exception):  # errors lose it, as the built-in's do
                        self._unread_chars(result)
                    raise
                return result
        except Exception as error:
            public_traceback(error)
            raise

    async def readline(self, size: int | None = -1) -> str:
        """One line with its ending (translated as `newline` says), of at
        most `size` characters when `size` is not negative; ``""`` at end of file."""
        try:
            if (size.__class__ is int and size == -1 and self._readtranslate and not self._lock.users
                    and self._lines is None):
                chars = self._decoded_chars
                start = self._decoded_chars_used
                end = chars.find("\n", start) + 1
                if end and not self._buffer.closed:
                    # The whole line is decoded already and nobody else is at
                    # the file: what the way below would hand out, without
                    # taking the lock for it.
                    self._decoded_chars_used = end
                    return chars[start:end]
            limit = -1 if size is None else operator.index(size)
            self._check_open()
            self._check_readable()
            async with self._lock:
                self._drop_lines()
                return await self._readline(limit)
        except Exception as error:
            public_traceback(error)
            raise

    def _find_line_ending(self, line: str, start: int) -> tuple[int, int]:
        """Where the first line ending after `start` ends, or -1; with -1,
        also how far the text is certainly not part of a line ending."""
        if self._readtranslate:
            pos = line.find("\n", start)
            return (pos + 1, 0) if pos >= 0 else (-1, len(line))
        if self._readuniversal:
            # The newline decoder never ends a chunk inside "\r\n" (a
            # trailing "\r" is held back until the end of the file).
            nlpos = line.find("\n", start)
            crpos = line.find("\r", start)
            if crpos < 0:
                return (nlpos + 1, 0) if nlpos >= 0 else (-1, len(line))
            if 0 <= nlpos < crpos:
                return nlpos + 1, 0
            return (crpos + 2 if line.startswith("\n", crpos + 1) else crpos + 1), 0
        readnl = self._readnl
        assert readnl is not None
        pos = line.find(readnl, start)
        if pos >= 0:
            return pos + len(readnl), 0
        # A line ending may begin in the last few characters.
        tail = max(len(line) - len(readnl) + 1, start)
        pos = line.find(readnl[0], tail)
        return -1, (len(line) if pos < 0 else pos)

    async def _readline(self, limit: int) -> str:
        # As the built-in: decode chunks until one holds a line ending, the
        # limit is reached or the file ends; what the line does not use stays
        # decoded for the next read.
        chunks: list[str] = []
        chunked = 0
        remaining = ""
        try:
            while True:
                more = True
                while len(self._decoded_chars) == 0:
                    more = await self._read_chunk()
                    if not more:
                        break
                if not more:
                    self._set_decoded_chars("")
                    self._snapshot = None
                    line, start, endpos, offset = "", 0, 0, 0
                    break
                if remaining:
                    line = remaining + self._decoded_chars
                    start = 0
                    offset = len(remaining)
                    remaining = ""
                else:
                    line = self._decoded_chars
                    start = self._decoded_chars_used
                    offset = 0
                endpos, consumed = self._find_line_ending(line, start)
                if endpos >= 0:
                    if limit >= 0 and (endpos - start) + chunked >= limit:
                        endpos = start + limit - chunked
                    break
                endpos = consumed
                if limit >= 0 and (endpos - start) + chunked >= limit:
                    endpos = start + limit - chunked
                    break
                if endpos > start:
                    chunks.append(line[start:endpos])
                    chunked += endpos - start
                remaining = line[endpos:]
                self._set_decoded_chars("")
                if (pace := self._paced()).due():  # a long line, decoded from the page cache
                    await pace.pause()
        except BaseException as stop:
            # Cancelled while waiting for more: what was taken stays readable.
            if not isinstance(stop, Exception):
                self._unread_chars("".join(chunks) + remaining)
            raise
        if line:
            self._decoded_chars_used = endpos - offset
            line = line[start:endpos]
        if remaining:
            chunks.append(remaining)
        if chunks:
            chunks.append(line)
            return "".join(chunks)
        return line

    async def readlines(self, hint: int | None = -1) -> list[str]:
        """The lines up to end of file, or while their total length stays
        within `hint` when it is positive (the line that crosses it included).
        Iterates the file, as the built-in's does, so `tell` is refused
        afterwards unless the end of the file was reached."""
        try:
            limit = limit_arg(hint)
            self._check_open()
            lines: list[str] = []
            total = 0
            while True:
                try:
                    line = await self.__anext__()
                except StopAsyncIteration:
                    return lines
                lines.append(line)
                if 0 < limit < total + len(line):
                    return lines
                total += len(line)
        except Exception as error:
            public_traceback(error)
            raise

    def __aiter__(self) -> AsyncIterator[str]:
        self._check_open()
        return self._iterate()

    async def _next_line(self) -> str:
        """The next line for iteration, ``""`` at the end, which makes the
        position available again."""
        self._telling = False
        self._check_open()
        self._check_readable()
        async with self._lock:
            self._drop_lines()
            # Lines served from the page cache never suspend, and the loop
            # must still get to run other tasks.
            if (pace := self._paced()).due():
                await pace.pause()
            split = self._split_lines()
            if split is not None:
                return self._start_lines(*split)
            line = await self._readline(-1)
        if not line:
            self._snapshot = None
            self._telling = self._seekable
        return line

    def _split_lines(self) -> tuple[list[str], int, int] | None:
        """The complete lines of the decoded chunk's next stretch, split at
        once for iteration exactly where `readline` would cut, with where
        they start and end; None when the stretch holds no complete line."""
        chars = self._decoded_chars
        used = self._decoded_chars_used
        stop = used + SPLIT_MAX
        newline = self._readnl
        if newline is None or newline == "\n":
            lines, end = split_lines(chars, used, stop, LINES_MAX)
            return (lines, used, end) if lines else None
        if newline == "":
            breaks = chars.count("\n", used, stop) + chars.count("\r", used, stop)
        else:
            breaks = chars.count("\n" if newline is None else newline, used, stop)
        stop = split_stop(used, len(chars), breaks)
        if newline == "":
            end = max(chars.rfind("\n", used, stop), chars.rfind("\r", used, stop)) + 1
            if end <= used:
                return None
            if chars.startswith("\n", end) and chars[end - 1] == "\r":
                end += 1  # the stretch ends inside "\r\n"
            chunk = chars[used:end]
            # str.splitlines (in C) also cuts at other line breaks; use it
            # unless the chunk holds any.
            lines = chunk.splitlines(True)
            if len(lines) != chunk.count("\n") + chunk.count("\r") - chunk.count("\r\n"):
                lines = _UNIVERSAL_LINE.findall(chunk)
        else:
            end = chars.rfind(newline, used, stop)
            if end < 0:
                return None
            end += len(newline)
            lines = [line + newline for line in chars[used:end].split(newline)[:-1]]
        return lines, used, end

    # -- writing -----------------------------------------------------------

    async def write(self, text: str) -> int:
        """Encode and buffer `text`, translating ``"\\n"`` as `newline`
        says; returns its length in characters."""
        try:
            self._check_open()
            if not isinstance(text, str):
                raise TypeError(f"write() argument must be str, not {type(text).__name__}")
            if self._encoder is None:
                raise io.UnsupportedOperation("not writable")
            length = len(text)
            haslf = (self._writetranslate or self._line_buffering) and "\n" in text
            if haslf and self._writetranslate and self._writenl != "\n":
                text = text.replace("\n", self._writenl)
            async with self._lock:
                # Encoded in the lock's turn: a stateful encoder (a byte-order
                # mark, shift states) must see the texts in the order they are written.
                if len(text) <= DECODE_STEP:
                    data = self._encoder.encode(text)
                else:
                    data = await _encode_long(self._encoder, text)
                self._drop_lines()
                await self._buffer.write(data)
                if self._line_buffering and (haslf or "\r" in text):
                    await self._buffer.flush()
                if self._decoded_chars or self._snapshot is not None:
                    self._set_decoded_chars("")
                    self._snapshot = None
                if self._decoder is not None:
                    self._decoder.reset()
            return length
        except Exception as error:
            public_traceback(error)
            raise

    async def writelines(self, lines: Iterable[str]) -> None:
        """Write every string of `lines`, in order."""
        try:
            self._check_open()
            for line in lines:
                await self.write(line)
        except Exception as error:
            public_traceback(error)
            raise

    async def flush(self) -> None:
        """Write out the buffered text."""
        try:
            self._check_open()
            # In the lock's turn, as every operation: one asked for later must
            # not go ahead of a read that waits for it.
            async with self._lock:
                self._telling = self._seekable
                await self._buffer.flush()
        except Exception as error:
            public_traceback(error)
            raise

    async def truncate(self, size: int | None = None) -> int:
        """Write out the buffer and resize the file to `size` bytes (default:
        the buffer's position, as the built-in's does)."""
        try:
            self._check_open()
            async with self._lock:
                self._telling = self._seekable
                await self._buffer.flush()
                return await self._buffer.truncate(size)
        except Exception as error:
            public_traceback(error)
            raise

    # -- positioning -------------------------------------------------------

    def tell(self) -> AwaitableInt:
        """An opaque number for `seek` to come back here, as
        ``io.TextIOWrapper.tell`` makes it (the byte offset when the decoder
        keeps no state). Answered at once: the buffer's position already
        counts the text waiting to be written."""
        try:
            return AwaitableInt(self._tell())
        except Exception as error:
            public_traceback(error)
            raise

    def _tell(self) -> int:
        # The position as the built-in computes it; see `tell`.
        self._check_open()
        if not self._seekable:
            raise io.UnsupportedOperation("underlying stream is not seekable")
        if not self._telling:
            raise OSError("telling position disabled by next() call")
        self._drop_lines()
        # The built-in writes out what waits first; only in append mode does
        # that move the position.
        position = self._buffer._tell_flushed()
        decoder = self._decoder
        if decoder is None or self._snapshot is None:
            # Text iteration decoded without a snapshot: as the built-in, the
            # buffer's position, wherever the decoded text stands.
            return position
        dec_flags, next_input = self._snapshot
        position -= len(next_input)
        chars_to_skip = self._decoded_chars_used
        if chars_to_skip == 0:
            return _pack_cookie(position, dec_flags)
        saved_state = decoder.getstate()
        try:
            # Guess where the skipped characters end from the chunk's ratio,
            # back off until the decoder is at a clean start, then walk forward.
            skip_bytes = int(self._b2cratio * chars_to_skip)
            skip_back = 1
            while skip_bytes > 0:
                self._decoder_setstate(position, dec_flags)
                n = len(decoder.decode(next_input[:skip_bytes]))
                if n <= chars_to_skip:
                    pending, flags = decoder.getstate()
                    if not pending:
                        dec_flags = flags
                        chars_to_skip -= n
                        break
                    skip_bytes -= len(pending)
                    skip_back = 1
                else:
                    skip_bytes -= skip_back
                    skip_back *= 2
            else:
                skip_bytes = 0
                self._decoder_setstate(position, dec_flags)
            start_pos = position + skip_bytes
            start_flags = dec_flags
            if chars_to_skip == 0:
                return _pack_cookie(start_pos, start_flags)
            bytes_fed = 0
            need_eof = False
            chars_decoded = 0
            for i in range(skip_bytes, len(next_input)):
                bytes_fed += 1
                chars_decoded += len(decoder.decode(next_input[i:i + 1]))
                pending, flags = decoder.getstate()
                if not pending and chars_decoded <= chars_to_skip:
                    # A clean start point no further than the position.
                    start_pos += bytes_fed
                    chars_to_skip -= chars_decoded
                    start_flags, bytes_fed, chars_decoded = flags, 0, 0
                if chars_decoded >= chars_to_skip:
                    break
            else:
                chars_decoded += len(decoder.decode(b"", True))
                need_eof = True
                if chars_decoded < chars_to_skip:
                    raise OSError("can't reconstruct logical file position")
            return _pack_cookie(start_pos, start_flags, bytes_fed, need_eof, chars_to_skip)
        finally:
            decoder.setstate(saved_state)

    async def seek(self, cookie: int, whence: int = os.SEEK_SET) -> int:
        """Go back to a position `tell` returned (``SEEK_SET``), or to the
        current position or the end of the file with an offset of 0."""
        try:
            self._check_open()
            if not self._seekable:
                raise io.UnsupportedOperation("underlying stream is not seekable")
            cookie = operator.index(cookie)
            whence = operator.index(whence)
            if whence == os.SEEK_CUR:
                if cookie != 0:
                    raise io.UnsupportedOperation("can't do nonzero cur-relative seeks")
                # Where the file is once the operations asked for before are done.
                async with self._lock:
                    return await self._seek_to(self._tell())
            elif whence == os.SEEK_END:
                if cookie != 0:
                    raise io.UnsupportedOperation("can't do nonzero end-relative seeks")
                async with self._lock:
                    self._drop_lines()
                    await self._buffer.flush()
                    position = await self._buffer.seek(0, os.SEEK_END)
                    self._set_decoded_chars("")
                    self._snapshot = None
                    self._telling = self._seekable
                    if self._decoder is not None:
                        self._decoder.reset()
                    self._reset_encoder(position == 0)
                    return position
            if whence != os.SEEK_SET:
                raise ValueError(f"invalid whence ({whence}, should be 0, 1 or 2)")
            if cookie < 0:
                raise ValueError(f"negative seek position {cookie}")
            async with self._lock:
                return await self._seek_to(cookie)
        except Exception as error:
            public_traceback(error)
            raise

    async def _seek_to(self, cookie: int) -> int:
        """`seek(cookie)` in the lock's turn."""
        self._drop_lines()
        await self._buffer.flush()
        start_pos, dec_flags, bytes_to_feed, need_eof, chars_to_skip = _unpack_cookie(cookie)
        await self._buffer.seek(start_pos)
        self._set_decoded_chars("")
        self._snapshot = None
        self._telling = self._seekable
        if self._decoder is not None:
            self._decoder_setstate(start_pos, dec_flags)
        if chars_to_skip:
            decoder = self._decoder or self._make_decoder()
            chunk = await self._buffer.read(bytes_to_feed)
            self._set_decoded_chars(decoder.decode(chunk, need_eof))
            self._snapshot = (dec_flags, chunk)
            if len(self._decoded_chars) < chars_to_skip:
                raise OSError("can't restore logical file position")
            self._decoded_chars_used = chars_to_skip
        else:
            self._snapshot = (dec_flags, b"")
        self._reset_encoder(start_pos == 0 and dec_flags == 0)
        return cookie

    def _reset_encoder(self, at_start: bool) -> None:
        # A byte-order mark belongs only at the very start of the file.
        if self._encoder is not None:
            if at_start:
                self._encoder.reset()
            else:
                self._encoder.setstate(0)

    def _decoder_setstate(self, position: int, dec_flags: int) -> None:
        # At the start of the file some decoders (utf-16) must expect a
        # byte-order mark again, which only reset() restores; it also forgets
        # the line endings seen, as the built-in's does.
        if position == 0 and dec_flags == 0:
            self._decoder.reset()
        else:
            self._decoder.setstate((b"", dec_flags))

    # -- closing -----------------------------------------------------------

    async def aclose(self) -> None:
        """`close`, by the name anyio's and trio's files give it."""
        await self.close()

    async def close(self) -> None:
        """Write out the buffer and close the file; closing twice is harmless."""
        try:
            if self._buffer.closed:
                return
            self._drop_lines()
            # Text goes to the buffer as it is written: the buffer's close writes
            # out whatever it holds, and raises what that write raises.
            await self._buffer.close()
        except Exception as error:
            public_traceback(error)
            raise

    def _close_here(self) -> bool:
        """`close` done right here when the buffer's can be (see
        `BufferedFile._close_here`); False, with nothing closed, otherwise."""
        if self._buffer.closed:
            return True
        self._drop_lines()
        return self._buffer._close_here()

    async def __aenter__(self) -> TextFile:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None,
                        exc: BaseException | None, tb: TracebackType | None) -> None:
        try:
            await self.close()
        except Exception as error:
            public_traceback(error)
            raise

    # -- checks ------------------------------------------------------------

    def _check_open(self) -> None:
        if self._buffer.closed:
            raise ValueError("I/O operation on closed file.")

    def _check_readable(self) -> None:
        if self._decoder is None and not self._buffer.readable():
            raise io.UnsupportedOperation("not readable")
