"""Binding and conversion errors: exact texts, raised synchronously, and
nothing submitted."""

from __future__ import annotations

import asyncio
import os
import pathlib
from collections.abc import Callable
from typing import Any

import _velnor
import pytest

from support.flags import READ_ONLY as FLAGS
from support.flags import RW_CREATE
from support.loops import Runner
from support.objects import IndexReturns

P = "/nonexistent-velnor-test"


class BytesPath:
    def __fspath__(self) -> bytes:
        return b"/tmp"


class BadFsPath:
    def __fspath__(self) -> str:
        raise TypeError("no path here")


def cause_chain_error() -> Any:
    class Chained:
        def __index__(self) -> int:
            try:
                raise KeyError("inner")
            except KeyError as e:
                raise TypeError("outer") from e
    return Chained()


# (call, exception type, exact message or None for "any text")
CASES: list[tuple[str, Callable[[], Any], type[BaseException], str | None]] = [
    ("missing-one", lambda: _velnor.close(), TypeError,
     "close() missing 1 required positional argument: 'handle'"),
    ("missing-two", lambda: _velnor.sync(), TypeError,
     "sync() missing 2 required positional arguments: 'handle' and 'data_only'"),
    ("missing-many", lambda: _velnor.open(P, True, False, False), TypeError,
     "open() missing 3 required positional arguments: 'truncate', 'create', and 'create_new'"),
    ("too-many", lambda: _velnor.size(1, 2), TypeError,
     "size() takes 1 positional arguments but 2 were given"),
    ("unexpected", lambda: _velnor.close(handle=1, fd=2), TypeError,
     "close() got an unexpected keyword argument 'fd'"),
    ("duplicate", lambda: _velnor.set_len(1, 2, handle=3), TypeError,
     "set_len() got multiple values for argument 'handle'"),
    ("binding-before-conversion", lambda: _velnor.set_len("x", 2, bogus=3), TypeError,
     "set_len() got an unexpected keyword argument 'bogus'"),
    ("int-flag", lambda: _velnor.open(P, 1, 0, 0, 0, 0, 0), TypeError,
     "argument 'read': 'int' object cannot be converted to 'PyBool'"),
    ("none-flag", lambda: _velnor.sync(1, None), TypeError,
     "argument 'data_only': 'NoneType' object cannot be converted to 'PyBool'"),
    ("bytes-path", lambda: _velnor.open(b"/tmp", *FLAGS), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("fspath-bytes", lambda: _velnor.open(BytesPath(), *FLAGS), TypeError,
     "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("not-a-path", lambda: _velnor.open(3, *FLAGS), TypeError,
     "argument 'path': expected str, bytes or os.PathLike object, not int"),
    ("fspath-raises", lambda: _velnor.open(BadFsPath(), *FLAGS), TypeError,
     "argument 'path': no path here"),
    ("first-bad-argument-wins", lambda: _velnor.open(P, True, 1, 2.0, 0, 0, 0), TypeError,
     "argument 'write': 'int' object cannot be converted to 'PyBool'"),
    ("float-handle", lambda: _velnor.close(1.0), TypeError,
     "argument 'handle': 'float' object cannot be interpreted as an integer"),
    ("str-size", lambda: _velnor.set_len(1, "2"), TypeError,
     "argument 'size': 'str' object cannot be interpreted as an integer"),
    ("negative", lambda: _velnor.close(-1), OverflowError, None),
    ("too-large", lambda: _velnor.close(2**64), OverflowError, None),
    ("negative-index", lambda: _velnor.size(IndexReturns(-5)), OverflowError, None),
    ("probe-args", lambda: _velnor.probe_nop(1), TypeError, None),
]


@pytest.mark.parametrize("call, exc_type, message", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_errors_are_raised_before_anything_is_submitted(
        run: Runner, call: Callable[[], Any], exc_type: type[BaseException],
        message: str | None) -> None:
    async def main() -> None:
        before = await _velnor.probe_nop()
        first = _velnor.probe_nop()
        with pytest.raises(exc_type) as info:
            call()
        second = _velnor.probe_nop()
        # Message ids are consecutive: the failed call submitted nothing.
        assert second.op_ids == (first.op_ids[0] + 1,)
        await asyncio.gather(first, second)
        assert before is None
        assert type(info.value) is exc_type
        if message is not None:
            assert str(info.value) == message
        if exc_type is OverflowError:
            assert not str(info.value).startswith("argument")

    run(main())


def test_prefixed_error_keeps_the_original_cause() -> None:
    with pytest.raises(TypeError) as info:
        _velnor.close(cause_chain_error())
    assert str(info.value) == "argument 'handle': outer"
    assert isinstance(info.value.__cause__, KeyError)


def test_accepted_conversions(run: Runner, tmp_path: pathlib.Path) -> None:
    async def main() -> None:
        # __index__ objects and int subclasses as handles; the handle does not
        # exist, so the call itself succeeded if the future fails later.
        class MyInt(int):
            pass
        for handle in (IndexReturns(2**64 - 1), MyInt(2**64 - 2)):
            with pytest.raises(OSError, match="unknown or closed velnor handle"):
                await _velnor.size(handle)  # type: ignore[arg-type]
        # A lone surrogate stands for an undecodable byte of the name.
        name = os.fsdecode(b"f\xff")
        h, _, _ = await _velnor.open(os.path.join(tmp_path, name), *RW_CREATE)
        await _velnor.close(h)

    run(main())
    assert os.listdir(os.fsencode(tmp_path)) == [b"f\xff"]


def numpy_like_bool(name: str, truth: bool | None) -> Any:
    """An instance of a type that looks like numpy's boolean scalar to the
    flag conversion: named bool_/bool in module numpy."""
    body: dict[str, Any] = {"__module__": "numpy"}
    if truth is not None:
        body["__bool__"] = lambda self: truth
    return type(name, (), body)()


def test_numpy_booleans_are_flags(run: Runner, tmp_path: pathlib.Path) -> None:
    async def main() -> None:
        yes, no = numpy_like_bool("bool_", True), numpy_like_bool("bool", False)
        h, _, _ = await _velnor.open(tmp_path / "f", yes, yes, no, no, yes, no)
        await _velnor.close(h)
        assert (tmp_path / "f").exists()

    run(main())


def test_numpy_boolean_without_bool_slot() -> None:
    with pytest.raises(TypeError) as info:
        _velnor.sync(1, numpy_like_bool("bool_", None))
    assert str(info.value) == (
        "argument 'data_only': object of type 'bool_' does not define a '__bool__' conversion")
    with pytest.raises(TypeError, match="^argument 'data_only': 'bool_' object cannot be "):
        _velnor.sync(1, type("bool_", (), {"__bool__": lambda self: True})())


def test_calls_outside_a_loop_raise_runtime_error() -> None:
    for call in (lambda: _velnor.probe_nop(), lambda: _velnor.close(1),
                 lambda: _velnor.probe_resolved_future()):
        with pytest.raises(RuntimeError, match="no running event loop"):
            call()
