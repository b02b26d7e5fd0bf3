"""Running the same operations on velnor and on the standard library, on two
files named "ours" and "theirs", and comparing what each gives back."""
from __future__ import annotations

import asyncio
from pathlib import Path
from typing import Any, NamedTuple


class Failed(NamedTuple):
    """An operation that raised: compared by type and message (the message
    as if it named "ours"), or by type alone when `message` is None."""
    kind: type[BaseException]
    message: str | None


def failure(exc: Exception, message: bool = True) -> Failed:
    return Failed(type(exc), str(exc).replace("theirs", "ours") if message else None)


def outcome(call: Any, message: bool = True) -> Any:
    """What `call()` returns, or how it failed."""
    try:
        return call()
    except Exception as exc:
        return failure(exc, message)


async def async_outcome(call: Any, message: bool = True) -> Any:
    """What awaiting `call()` gives, or how it failed."""
    try:
        return await call()
    except Exception as exc:
        return failure(exc, message)


def file_pair(folder: Path, initial: bytes | None) -> tuple[Path, Path]:
    """"ours" and "theirs" in an otherwise empty `folder`, both holding
    `initial`, or absent when it is None."""
    for old in folder.iterdir():
        old.unlink()
    ours, theirs = folder / "ours", folder / "theirs"
    if initial is not None:
        ours.write_bytes(initial)
        theirs.write_bytes(initial)
    return ours, theirs


def assert_same_files(ours: Path, theirs: Path) -> None:
    assert ours.exists() == theirs.exists()
    if theirs.exists():
        assert ours.read_bytes() == theirs.read_bytes()


_iterators: dict[int, tuple[Any, Any]] = {}


def iterator_of(f: Any) -> Any:
    """The async iterator over `f`'s lines that every step of one sequence
    takes from, so that a step follows whatever other operations came
    between, as the built-in's ``next(f)`` does."""
    mine = _iterators.get(id(f))
    if mine is None or mine[0] is not f:
        if len(_iterators) > 64:
            _iterators.clear()
        mine = _iterators[id(f)] = (f, aiter(f))
    return mine[1]


async def outcomes_together(calls: list[Any], cancel: list[bool] | None = None, turns: int = 0) -> list[Any]:
    """What `calls` give run as tasks started in order. With `cancel`, the
    tasks flagged there are cancelled after `turns` turns of the loop; those
    it stopped give `asyncio.CancelledError`."""
    tasks = [asyncio.ensure_future(async_outcome(call)) for call in calls]
    for _ in range(turns):
        await asyncio.sleep(0)
    for task, stop in zip(tasks, cancel or []):
        if stop:
            task.cancel()
    return await asyncio.gather(*tasks, return_exceptions=True)
