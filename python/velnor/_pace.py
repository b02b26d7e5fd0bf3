"""Python loops that give the event loop a turn once they have held it for a
while: over the entries of a large folder (decoding its names, building
entries, matching patterns), over lines the page cache serves without
suspending, over text decoded or encoded in steps. Whatever the size, they
never keep the loop from other tasks for long."""

from __future__ import annotations

import asyncio
import threading
from time import perf_counter

TURN = 0.0005
"""Seconds such a loop may run before it lets the event loop run others:
well under the 2 ms any operation may hold the loop, slow machines included."""


class Pace:
    """``if pace.due(): await pace.pause()`` inside a loop over entries."""

    __slots__ = ("_until",)

    def __init__(self) -> None:
        self._until = perf_counter() + TURN

    def due(self) -> bool:
        return perf_counter() >= self._until

    async def pause(self) -> None:
        await asyncio.sleep(0)
        self._until = perf_counter() + TURN


class _Stretch(threading.local):
    """This thread's run of operations that finished without suspending,
    since its loop last got a turn."""

    until = 0.0
    loop: asyncio.AbstractEventLoop | None = None


_stretch = _Stretch()


def _turned() -> None:
    # Runs as soon as the loop gets a turn: the stretch is over.
    _stretch.loop = None
    _stretch.until = 0.0


def turn_due() -> bool:
    """Whether operations served on the spot (from the page cache, a buffer,
    an open the kernel's caches resolved) have kept this thread's loop from
    other tasks for `TURN`; the caller then awaits ``asyncio.sleep(0)``.

    A task awaiting only such operations never suspends, so nothing else
    would give the loop its turn. The first of them marks the loop with a
    callback that ends the stretch once the loop runs; an operation after
    a real suspension starts a new stretch and pays nothing more."""
    s = _stretch
    now = perf_counter()
    if now < s.until:
        return False
    loop = asyncio.get_running_loop()
    if s.loop is loop:
        return True
    # A stretch not started, or left by a loop that stopped before its turn.
    s.loop = loop
    s.until = now + TURN
    loop.call_soon(_turned)
    return False
