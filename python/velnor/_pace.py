"""Python loops that give the event loop a turn once they have held it for a
while: over the entries of a large folder (decoding its names, building
entries, matching patterns), over lines the page cache serves without
suspending, over text decoded or encoded in steps. Whatever the size, they
never keep the loop from other tasks for long."""

from __future__ import annotations

import asyncio
import threading
from collections import deque
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


CATCH = 10e-6
"""Seconds a driver operation may be waited for on the spot, once
completions have lately come that fast: about what a trip through the event
loop to settle it costs, so the wait only saves the loop's time."""

_turns = Turns(TURN)
# Such operations count in the same stretches as everything served here.
_turns.catch_completions(CATCH)

turn_due = _turns.due
"""Whether operations served on the spot (from the page cache, a buffer,
an open the kernel's caches resolved) have kept this thread's loop from
other tasks for `TURN`; the caller then awaits ``asyncio.sleep(0)``.

A task awaiting only such operations never suspends, so nothing else
would give the loop its turn. The first of them marks the loop with a
callback that ends the stretch once the loop runs; an operation after
a real suspension starts a new stretch and pays nothing more. It runs
before every such operation, so it is native: a clock read and a compare."""

read_here = _turns.read
"""``read_here(fast, pos, n, loop)``: ``fast.read(pos, n)`` when `loop` runs
on this thread and `turn_due()` is false, else False without reading: the
three calls a file object's commonest read makes, in one."""


class _TurnQueue:
    """The tasks of one loop waiting in `give_turn`, let go a batch a turn.

    Each let-go batch runs in the loop's next turn, before the next release;
    so from one release to the next is one whole turn of the loop, and the
    next batch is as many as would have fitted in `TURN`. A task let go goes
    on without looking again: one yield for each turn given, however many
    tasks wait."""

    __slots__ = ("loop", "waiting", "batch", "released", "released_at", "armed")

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.waiting: deque[asyncio.Future[None]] = deque()
        self.batch = 1
        self.released = 0
        self.released_at = 0.0
        self.armed = False

    def release(self) -> None:
        now = perf_counter()
        if self.released:
            # As many as fitted in `TURN` last time, the rest of the turn
            # counted as theirs; at most twice as many as then.
            took = now - self.released_at
            fit = int(TURN * self.released / took) if took > 0 else BATCH_MAX
            self.batch = max(1, min(fit, 2 * self.batch, BATCH_MAX))
        waiting = self.waiting
        n = 0
        while waiting and n < self.batch:
            waiter = waiting.popleft()
            if not waiter.done():  # a cancelled task left its place empty
                waiter.set_result(None)
                n += 1
        self.released = n
        self.released_at = now
        if waiting:
            self.loop.call_soon(self.release)
        else:
            self.armed = False


BATCH_MAX = 256
"""The most tasks let go in one turn, however short their work."""

_local = threading.local()


async def give_turn() -> None:
    """Let the loop run other tasks, and go on once this task's turn comes.

    Tasks that all found the turn used up wait in line, and are let go a
    few at a time, as many as lately fitted in a turn: were each to go on at
    once, the next turn would be as long as the one they left, and were each
    to look again and yield once more, the loop would spend its turns
    waking tasks that go nowhere."""
    loop = asyncio.get_running_loop()
    queue: _TurnQueue | None = getattr(_local, "queue", None)
    if queue is None or queue.loop is not loop:
        queue = _local.queue = _TurnQueue(loop)
    waiting = queue.waiting
    first = True
    while True:
        waiter: asyncio.Future[None] = loop.create_future()
        if first:
            waiting.append(waiter)
        else:
            # Let go with more than the turn had room for (the work grew):
            # first in line for the next one.
            waiting.appendleft(waiter)
        if not queue.armed:
            queue.armed = True
            queue.released = 0
            queue.batch = max(1, queue.batch // 2)  # the work may have changed since
            loop.call_soon(queue.release)
        await waiter
        if not turn_due():
            return
        first = False
