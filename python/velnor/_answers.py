"""Answers that serve both habits: code written for the built-in files uses
``f.tell()`` at once; code written for aiofiles, anyio or trio, where
`tell`, `readable`, `writable`, `seekable` and `isatty` are coroutines,
awaits them. Both get the same answer, from the same call."""

from __future__ import annotations

from collections.abc import Generator
from typing import Any, Final


class AwaitableInt(int):
    """An ``int`` (a file's position) that may also be awaited, giving
    itself as a plain ``int``."""

    __slots__ = ()

    def __await__(self) -> Generator[Any, None, int]:
        yield from ()
        return int(self)


class AwaitableBool(int):
    """``True`` or ``False`` that may also be awaited, giving the plain
    ``bool``. It tests, compares, hashes and prints as that ``bool``; as
    ``bool`` cannot be subclassed, it is an ``int``, and ``is True`` does
    not hold."""

    __slots__ = ()

    def __await__(self) -> Generator[Any, None, bool]:
        yield from ()
        return bool(self)

    def __repr__(self) -> str:
        return "True" if self else "False"

    __str__ = __repr__


TRUE: Final = AwaitableBool(1)
FALSE: Final = AwaitableBool(0)


def answer(value: bool) -> AwaitableBool:
    return TRUE if value else FALSE
