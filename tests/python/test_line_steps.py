"""The native iterator behind ``async for line in f``: lines already split
are handed out as awaitables that are done at once, and everything an
awaitable may be asked to do still works."""

from __future__ import annotations

import asyncio
import gc
from pathlib import Path
from typing import Any

import pytest
from _velnor import LineSteps, split_lines
from hypothesis import given
from hypothesis import strategies as st

import velnor
from support.loops import Runner


class Lines:
    """A stand-in for a file: split lines in `_line_iter`, and a step that
    counts how often the iterator had to come back to Python."""

    def __init__(self, *lines: str) -> None:
        self._line_iter: Any = iter(lines)
        self.steps = 0

    async def step(self) -> str:
        self.steps += 1
        if self.steps > 1:
            raise StopAsyncIteration
        self._line_iter = iter(["after\n", "more\n"])
        return "stepped\n"


def test_split_lines_come_without_a_step_and_the_step_refills_them(run: Runner) -> None:
    async def main() -> None:
        owner = Lines("a\n", "b\n")
        steps = LineSteps(owner, owner.step)
        assert aiter(steps) is steps
        got = [line async for line in steps]
        assert got == ["a\n", "b\n", "stepped\n", "after\n", "more\n"]
        assert owner.steps == 2
        # A list emptied behind its back (as the file does when another
        # operation takes the position) ends at the next step.
        owner = Lines()
        lines = ["x\n", "y\n", "z\n"]
        owner._line_iter = iter(lines)
        steps = LineSteps(owner, owner.step)
        assert await anext(steps) == "x\n"
        lines.clear()
        assert await anext(steps) == "stepped\n"
    run(main())


def test_awaitables_taken_ahead_keep_their_own_lines(run: Runner) -> None:
    async def main() -> None:
        owner = Lines("a\n", "b\n", "c\n")
        steps = LineSteps(owner, owner.step)
        first, second = anext(steps), anext(steps)
        assert (await second, await first) == ("b\n", "a\n")
        # As tasks, in gather, and twice: the second await is refused.
        third = anext(steps)
        assert await asyncio.gather(third, asyncio.ensure_future(anext(steps))) == ["c\n", "stepped\n"]
        with pytest.raises(RuntimeError, match="already awaited"):
            await third
        assert await asyncio.create_task(_next(steps)) == "after\n"
    run(main())


async def _next(steps: Any) -> Any:
    return await anext(steps)


def test_a_kept_stop_is_not_changed_by_later_lines(run: Runner) -> None:
    async def main() -> None:
        owner = Lines("a\n", "b\n", "c\n", "d\n", "e\n")
        steps = LineSteps(owner, owner.step)
        kept = []
        for _ in range(2):
            try:
                anext(steps).__await__().__next__()
            except StopIteration as stop:
                kept.append(stop)
        assert [stop.value for stop in kept] == ["a\n", "b\n"]
        assert kept[0] is not kept[1]
        assert await anext(steps) == "c\n"
        assert [stop.value for stop in kept] == ["a\n", "b\n"]
        # A line taken inside a handler leaves nothing of it on the next.
        try:
            raise KeyError("handled")
        except KeyError:
            assert await anext(steps) == "d\n"
        try:
            anext(steps).__await__().__next__()
        except StopIteration as stop:
            assert stop.value == "e\n"
            assert stop.__context__ is None
        assert owner.steps == 0
    run(main())


def test_errors_and_arguments() -> None:
    with pytest.raises(TypeError):
        LineSteps(Lines())  # type: ignore[call-arg]
    with pytest.raises(TypeError, match="callable"):
        LineSteps(Lines(), 1)  # type: ignore[arg-type]

    class Broken:
        @property
        def _line_iter(self) -> Any:
            raise OSError("no lines")

    async def never() -> str:
        return ""

    with pytest.raises(OSError, match="no lines"):
        anext(LineSteps(Broken(), never))

    class NotAnIterator:
        _line_iter = 5

    with pytest.raises(TypeError):
        anext(LineSteps(NotAnIterator(), never))


def test_an_iterator_in_a_cycle_is_collected(tmp_path: Path, run: Runner) -> None:
    path = tmp_path / "f"
    path.write_text("a\nb\n")

    def alive() -> int:
        return sum(type(o) is LineSteps for o in gc.get_objects())

    async def main() -> None:
        gc.collect()
        before = alive()
        async with velnor.open(path) as f:
            holder: dict[str, Any] = {}
            steps = aiter(f)
            holder["self"], holder["steps"] = holder, steps
            assert await anext(steps) == "a\n"
            del steps, holder
            gc.collect()
            assert alive() == before
            assert [line async for line in f] == ["b\n"]
    run(main())


def reference_split(data: Any, start: int, stop: int, most: int) -> tuple[list[Any], int]:
    nl = "\n" if isinstance(data, str) else b"\n"
    lines: list[Any] = []
    at = start
    while len(lines) < most:
        cut = data.find(nl, at, stop)
        if cut < 0:
            break
        lines.append(data[at:cut + 1])
        at = cut + 1
    return lines, at


# Characters of every width, and the other breaks str.splitlines would cut at.
CHARS = st.sampled_from(list("ab\n\r\x0b\x1c\x85\u2028é€日\U0001f600"))


@given(st.lists(CHARS, max_size=60).map("".join), st.integers(0, 70), st.integers(0, 70),
       st.integers(0, 8), st.booleans())
def test_lines_are_cut_after_each_newline_only_and_within_bounds(
        text: str, start: int, stop: int, most: int, as_bytes: bool) -> None:
    data: Any = text.encode() if as_bytes else text
    assert split_lines(data, start, stop, most) == reference_split(data, start, stop, most)


def test_cutting_lines_refuses_what_it_cannot_cut() -> None:
    with pytest.raises(TypeError, match="must be str or bytes, not bytearray"):
        split_lines(bytearray(b"a\n"), 0, 2, 1)  # type: ignore[call-overload]
    with pytest.raises(ValueError, match="start must not be negative"):
        split_lines("a\n", -1, 2, 1)
    with pytest.raises(TypeError, match="exactly 4 arguments"):
        split_lines("a\n", 0, 2)  # type: ignore[call-overload]
