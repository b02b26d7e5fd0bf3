"""Line iteration shared by the buffered and the text files."""

from __future__ import annotations

import operator
from collections.abc import AsyncIterator, Awaitable, Callable, Iterator
from typing import AnyStr, Final, Generic

from _velnor import LineSteps

from ._pace import Pace
from ._errors import public_traceback

SPLIT_MAX: Final = 65536
"""Characters (or bytes) split into lines in one step of iteration at
most: each step costs a Python call or two, which many lines share."""

LINES_MAX: Final = 4096
"""Lines split in one step at most, about: splitting and handing them out
costs per line, and a step must leave the loop to other tasks soon,
however short the lines of a large buffer are."""


def split_stop(start: int, size: int, breaks: int) -> int:
    """Where the stretch split in one step ends, when it starts at `start`
    of a buffer of `size` and its longest form (`SPLIT_MAX` on) holds
    `breaks` line breaks."""
    if breaks <= LINES_MAX:
        return start + SPLIT_MAX
    return start + min(SPLIT_MAX, size - start) * LINES_MAX // breaks


class SplitLines(Generic[AnyStr]):
    """Hands out the lines of a buffer split in one pass, and asks
    `_next_line` only once they are used up, so that lines served from the
    page cache never suspend. `_lines` were split from offset `_lines_base`
    to `_lines_end` of the buffer; `_line_iter` hands them out."""

    __slots__ = ("_lines", "_line_iter", "_lines_base", "_lines_end", "_pace")

    _lines: list[AnyStr] | None
    _line_iter: Iterator[AnyStr] | None
    _lines_base: int
    _lines_end: int
    _pace: Pace | None

    def _no_lines(self) -> None:
        self._lines = None
        self._line_iter = None
        self._lines_base = self._lines_end = 0
        self._pace = None  # made when lines are first read: most files never are

    def _paced(self) -> Pace:
        """The pace of the reads of lines from this file."""
        pace = self._pace
        if pace is None:
            pace = self._pace = Pace()
        return pace

    async def _next_line(self) -> AnyStr:
        raise NotImplementedError

    def _start_lines(self, lines: list[AnyStr], base: int, end: int) -> AnyStr:
        """Hand out `lines`, split from `base` to `end`: the first one now."""
        self._lines, self._lines_base, self._lines_end = lines, base, end
        it = iter(lines)
        self._line_iter = it
        return next(it)

    def _take_back_lines(self) -> int | None:
        """Stop handing out split lines: the offset just past the last one
        handed out, or None when there were none."""
        lines, it = self._lines, self._line_iter
        if lines is None or it is None:
            return None
        left = operator.length_hint(it)  # exact for a list's iterator
        if left:
            offset = self._lines_base + sum(map(len, lines[:len(lines) - left]))
        else:
            offset = self._lines_end
        # An iteration suspended inside `lines` stops at its next step.
        lines.clear()
        self._lines = self._line_iter = None
        return offset

    def _iterate(self) -> AsyncIterator[AnyStr]:
        # Most lines come straight from the split list, with nothing to do
        # but hand them out: the C iterator does that without a Python
        # frame, and awaits `__anext__` only when the list is used up.
        return LineSteps(self, self.__anext__)

    async def __anext__(self) -> AnyStr:
        try:
            it = self._line_iter
            line = None if it is None else next(it, None)  # lines are never None
            if line is None:
                line = await self._next_line()
                if not line:
                    raise StopAsyncIteration
            return line
        except Exception as error:
            public_traceback(error)
            raise


async def collect_lines(readline: Callable[[], Awaitable[AnyStr]], limit: int) -> list[AnyStr]:
    """`readlines`: lines until end of file, or while their total size stays
    within `limit` when it is positive (the line that crosses it included)."""
    lines: list[AnyStr] = []
    total = 0
    pace = Pace()
    while line := await readline():
        lines.append(line)
        if 0 < limit < total + len(line):
            break
        total += len(line)
        if pace.due():
            await pace.pause()
    return lines
