"""Python loops that give the event loop a turn once they have held it for a
while: over the entries of a large folder (decoding its names, building
entries, matching patterns), over lines the page cache serves without
suspending, over text decoded or encoded in steps. Whatever the size, they
never keep the loop from other tasks for long."""

from __future__ import annotations

import asyncio
from time import perf_counter

from _velnor import Turns

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


_turns = Turns(TURN)

turn_due = _turns.due
"""Whether operations served on the spot (from the page cache, a buffer,
an open the kernel's caches resolved) have kept this thread's loop from
other tasks for `TURN`; the caller then awaits ``asyncio.sleep(0)``.

A task awaiting only such operations never suspends, so nothing else
would give the loop its turn. The first of them marks the loop with a
callback that ends the stretch once the loop runs; an operation after
a real suspension starts a new stretch and pays nothing more. It runs
before every such operation, so it is native: a clock read and a compare."""


async def give_turn() -> None:
    """Let the loop run other tasks, and go on only once this turn has room.

    Tasks that all found the turn used up yield in one turn and resume
    together in the next: were each to go on at once, that turn would be as
    long as the one they left. Each checks again instead, and those that
    find the new turn used up wait for the one after."""
    await asyncio.sleep(0)
    while turn_due():
        await asyncio.sleep(0)
