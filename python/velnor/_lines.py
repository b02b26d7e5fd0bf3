"""Line iteration shared by the buffered and the text files."""

from __future__ import annotations

from collections.abc import AsyncIterator, Awaitable, Callable
from typing import AnyStr, Generic


class SplitLines(Generic[AnyStr]):
    """Hands out the lines of a buffer split in one pass (`_lines` from
    `_line_next` on), and asks `_next_line` only once they are used up, so
    that lines served from the page cache never suspend."""

    __slots__ = ("_lines", "_line_next")

    _lines: list[AnyStr] | None
    _line_next: int

    async def _next_line(self) -> AnyStr:
        raise NotImplementedError

    async def _iterate(self) -> AsyncIterator[AnyStr]:
        # An async generator: resuming it costs less than a coroutine per
        # line, and most lines come straight from the split buffer.
        while True:
            lines = self._lines
            if lines is not None and self._line_next < len(lines):
                for i in range(self._line_next, len(lines)):
                    self._line_next = i + 1
                    yield lines[i]
                    if self._lines is not lines:
                        break  # another operation took the file meanwhile
                continue
            line = await self._next_line()
            if not line:
                return
            yield line

    async def __anext__(self) -> AnyStr:
        lines = self._lines
        if lines is not None:
            i = self._line_next
            if i < len(lines):
                self._line_next = i + 1
                return lines[i]
        line = await self._next_line()
        if not line:
            raise StopAsyncIteration
        return line


async def collect_lines(readline: Callable[[], Awaitable[AnyStr]], limit: int) -> list[AnyStr]:
    """`readlines`: lines until end of file, or while their total size stays
    within `limit` when it is positive (the line that crosses it included)."""
    lines: list[AnyStr] = []
    total = 0
    while line := await readline():
        lines.append(line)
        if 0 < limit < total + len(line):
            break
        total += len(line)
    return lines
