"""Running a coroutine on each kind of event loop the package supports."""

from __future__ import annotations

import asyncio
from collections.abc import Callable, Coroutine
from typing import Any

import uvloop

LOOP_KINDS = ("asyncio", "uvloop")

Runner = Callable[..., Any]
"""The `run` fixture: runs a coroutine on the test's loop kind, optionally
on a subclass of that loop."""


def base_loop_class(kind: str) -> type[asyncio.AbstractEventLoop]:
    return uvloop.Loop if kind == "uvloop" else asyncio.SelectorEventLoop


def run_on(kind: str, main: Coroutine[Any, Any, Any],
           loop_class: type[asyncio.AbstractEventLoop] | None = None) -> Any:
    """asyncio.run on a loop of `kind` (or of `loop_class`), failing when the
    loop's exception handler is called."""
    cls = loop_class or base_loop_class(kind)
    reported: list[dict[str, Any]] = []

    def make() -> asyncio.AbstractEventLoop:
        loop = cls()
        loop.set_exception_handler(lambda _loop, context: reported.append(context))
        return loop

    with asyncio.Runner(loop_factory=make) as runner:
        result = runner.run(main)
    assert reported == [], f"loop exception handler called: {reported}"
    return result


class Ticks:
    """Counts the turns of the loop, from a task of its own."""

    def __init__(self) -> None:
        self.count = 0
        self._task = asyncio.create_task(self._run())

    async def _run(self) -> None:
        while True:
            self.count += 1
            await asyncio.sleep(0)

    def stop(self) -> None:
        self._task.cancel()


def hold_pacing_off(monkeypatch: Any) -> None:
    """No file operation gives the loop a turn before it starts: tasks
    started in order then reach their files in that order."""
    import velnor._buffered
    import velnor._files
    import velnor._text

    for module in (velnor._files, velnor._buffered, velnor._text):
        monkeypatch.setattr(module, "turn_due", lambda: False)
    for module in (velnor._files, velnor._buffered):
        monkeypatch.setattr(module, "read_here", lambda fast, pos, n, loop: fast.read(pos, n))


async def cancelled_after(turns: int, work: Coroutine[Any, Any, Any]) -> Any:
    """Runs `work` as a task, cancels it after `turns` turns of the loop and
    waits for it: its result, or None where the cancel stopped it."""
    task = asyncio.ensure_future(work)
    for _ in range(turns):
        await asyncio.sleep(0)
    task.cancel()
    try:
        return await task
    except asyncio.CancelledError:
        return None
