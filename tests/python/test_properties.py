"""Bad input never crashes the interpreter: every module function, fed
arbitrary arguments and buffers of every format and stride, either raises
one of the documented exception types at once or returns a future that
settles with a value or an OSError. Plus a model check of positional file
operations and the meaning of positions at the top of the 64-bit range."""

from __future__ import annotations

import array
import asyncio
import ctypes
import mmap
import operator
import os
import pickle
import resource
import signal
import threading
from collections import Counter
from collections.abc import Callable, Coroutine, Iterator
from concurrent.futures import Future as ThreadFuture
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import _velnor
import pytest
from hypothesis import HealthCheck, event, example, given, settings
from hypothesis import strategies as st

from support.fds import assert_no_fd_leak, settled_fd_count
from support.flags import READ_ONLY, RW, RW_CREATE
from support.loops import base_loop_class
from support.objects import IndexReturns
from velnor.futures import KernelFuture

EXAMPLES = settings(max_examples=150, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture])
# Writes and set_len past this size fail with EFBIG instead of filling the
# disk or memory when an argument happens to be a large position.
FILE_SIZE_LIMIT = 8 << 20
ADDRESS_SPACE_LIMIT = 12 << 30


class Boom(Exception):
    """Raised by user objects; it must come back out unchanged."""


SYNC_ERRORS = (TypeError, OverflowError, ValueError, BufferError, MemoryError, Boom)


class IndexRaises:
    def __init__(self, exc: type[BaseException]) -> None:
        self.exc = exc

    def __index__(self) -> int:
        raise self.exc("from __index__")

    def __repr__(self) -> str:
        return f"IndexRaises({self.exc.__name__})"


class FsPath:
    def __init__(self, value: Any) -> None:
        self.value = value

    def __fspath__(self) -> Any:
        if isinstance(self.value, type):
            raise self.value("from __fspath__")
        return self.value

    def __repr__(self) -> str:
        return f"FsPath({self.value!r})"


@dataclass(frozen=True)
class Ref:
    """Stands for an object that exists only while the test runs (a handle,
    a descriptor, a path in the sandbox); resolved at call time."""

    name: str


BOUNDARIES = [0, 1, 2**31 - 1, 2**31, 2**32, 2**63 - 1, 2**63, 2**64 - 2, 2**64 - 1,
              2**64, 2**100, -1, -(2**63), -(2**64)]
GARBAGE = st.one_of(
    st.none(), st.booleans(), st.floats(), st.text(max_size=4), st.binary(max_size=4),
    st.just([1]), st.just(object()), st.just(1j),
    st.builds(IndexReturns, st.one_of(st.integers(-(2**70), 2**70), st.just("7"), st.none())),
    st.builds(IndexRaises, st.sampled_from([Boom, TypeError, OverflowError, MemoryError])),
)


def ints(limit: st.SearchStrategy[int]) -> st.SearchStrategy[Any]:
    # Mostly plain integers, so that calls with several arguments are often
    # accepted as a whole and reach the driver.
    return st.one_of(limit, limit, limit, limit.map(IndexReturns), GARBAGE)


# Any unsigned 64-bit argument whose size does not decide an allocation.
ANY_INT = ints(st.one_of(st.integers(0, 64), st.integers(0, 2**64 - 1),
                         st.integers(-(2**70), 2**70), st.sampled_from(BOUNDARIES)))
# Lengths are allocated up front: small ones are served, huge ones must fail
# with MemoryError or OverflowError; the middle would only exhaust memory.
LENGTH = ints(st.one_of(st.integers(0, 65536), st.integers(2**50, 2**70),
                        st.integers(-(2**70), -1), st.sampled_from(BOUNDARIES[5:])))
SMALL_LENGTH = ints(st.one_of(st.integers(0, 4096), st.integers(2**50, 2**70),
                              st.integers(-(2**70), -1), st.sampled_from(BOUNDARIES[5:])))
FLAG = st.one_of(st.booleans(), st.booleans(), GARBAGE, st.sampled_from([0, 1]))
HANDLE = st.one_of(st.sampled_from([Ref("ro"), Ref("rw"), Ref("closed"), Ref("dir")]),
                   st.sampled_from([Ref("ro"), Ref("rw")]), ANY_INT)
# Descriptors for the synchronous paths: only ones this test owns, or ones
# that cannot be open, so no read ever consumes (or waits for ever on) a
# pipe of the process, such as a loop's doorbell or self-pipe. Every number
# drawn, however it is spelled (a bool, an __index__), is one of those.
IMPOSSIBLE_FDS = [-1, -(2**31), 2**31 - 1, 2**31, 2**63, 2**64]
PREPARED_FDS = ["ro_fd", "rw_fd", "dir_fd"]
FD = st.one_of(
    st.sampled_from([Ref(name) for name in PREPARED_FDS]),
    st.sampled_from(IMPOSSIBLE_FDS), st.sampled_from(IMPOSSIBLE_FDS).map(IndexReturns),
    st.none(), st.floats(), st.text(max_size=4), st.binary(max_size=4), st.just([1]),
    st.just(object()), st.just(1j), st.builds(IndexReturns, st.sampled_from(["7", None])),
    st.builds(IndexRaises, st.sampled_from([Boom, TypeError, OverflowError, MemoryError])),
)

NAME = st.text(st.characters(blacklist_characters="/\0"), min_size=1, max_size=24).filter(
    lambda s: s not in (".", ".."))
SURROGATE_NAME = st.tuples(NAME, st.sampled_from(["\udcff", "\udc80", "\ud800"])).map("".join)
SPECIAL_NAME = st.sampled_from(["data", "dir", "dir/inner", "missing", "nul\0inside", "x" * 300,
                                "d/" * 3 + "deep"])


def sandboxed(name: str) -> Ref:
    return Ref("path:" + name)


PATH = st.one_of(
    st.one_of(NAME, SURROGATE_NAME, SPECIAL_NAME).map(sandboxed),
    st.one_of(NAME, SPECIAL_NAME).map(lambda n: Ref("pathlib:" + n)),
    st.one_of(NAME, SPECIAL_NAME).map(lambda n: Ref("fspath:" + n)),
    st.builds(FsPath, st.sampled_from([b"/tmp", Boom, TypeError, None, 3])),
    st.sampled_from([b"data", bytearray(b"data"), 3, None, ""]),
    # Garbage without text: any str is a path, and only names built above
    # are guaranteed to stay inside the sandbox.
    GARBAGE.filter(lambda v: not isinstance(v, str)),
)

TYPECODES = "bBhHiIlLqQfd"
CAST_FORMATS = "BbcHhIiLlQqfd?"
CTYPES = [ctypes.c_ubyte, ctypes.c_char, ctypes.c_byte, ctypes.c_bool, ctypes.c_int,
          ctypes.c_double, ctypes.c_uint16.__ctype_be__]


class Pair(ctypes.Structure):
    _fields_ = [("a", ctypes.c_ubyte), ("b", ctypes.c_ubyte)]


def pattern(n: int) -> bytes:
    return bytes(i % 251 for i in range(n))


@st.composite
def buffers(draw: st.DrawFn) -> Any:
    """Objects with and without the buffer protocol, in every format,
    shape, stride and writability the standard library can make."""
    n = draw(st.integers(0, 48))
    kind = draw(st.sampled_from([
        "bytes", "bytearray", "array", "view", "readonly_view", "cast", "slice", "2d",
        "ctypes", "ctypes_2d", "struct", "mmap", "closed_mmap", "pickle", "not_a_buffer"]))
    if kind == "bytes":
        return pattern(n)
    if kind == "bytearray":
        return bytearray(pattern(n))
    if kind == "array":
        return array.array(draw(st.sampled_from(TYPECODES)), [0] * n)
    if kind == "view":
        return memoryview(bytearray(n))
    if kind == "readonly_view":
        return memoryview(bytearray(n)).toreadonly()
    if kind == "cast":
        return memoryview(bytearray(n * 8)).cast(draw(st.sampled_from(CAST_FORMATS)))
    if kind == "slice":
        start = draw(st.integers(-n - 2, n + 2))
        stop = draw(st.integers(-n - 2, n + 2))
        step = draw(st.sampled_from([-7, -2, -1, 1, 2, 3, 100]))
        base = memoryview(bytearray(pattern(n)))
        if draw(st.booleans()):
            base = base.toreadonly()
        return base[start:stop:step]
    if kind == "2d":
        rows, cols = draw(st.integers(1, 6)), max(n, 1)
        return memoryview(bytearray(rows * cols)).cast("B", shape=[rows, cols])
    if kind == "ctypes":
        return (draw(st.sampled_from(CTYPES)) * n)()
    if kind == "ctypes_2d":
        return ((ctypes.c_ubyte * n) * draw(st.integers(0, 4)))()
    if kind == "struct":
        return (Pair * n)()
    if kind == "mmap":
        return mmap.mmap(-1, max(n, 1))
    if kind == "closed_mmap":
        m = mmap.mmap(-1, max(n, 1))
        m.close()
        return m
    if kind == "pickle":
        return pickle.PickleBuffer(bytearray(n) if draw(st.booleans()) else bytes(n))
    return draw(st.sampled_from([5, "text", None, [1, 2], 2.5]))


class Sandbox:
    """A directory with the files the arguments may name, handles and
    descriptors onto them, and one event loop on its own thread that every
    submitting call runs in."""

    def __init__(self, root: Path, loop_kind: str) -> None:
        self.root = root
        (root / "data").write_bytes(bytes(range(256)) * 16)
        (root / "dir").mkdir()
        (root / "dir" / "inner").write_bytes(b"inner")
        self.reported: list[dict[str, Any]] = []
        self.loop = base_loop_class(loop_kind)()
        self.loop.set_exception_handler(lambda _l, ctx: self.reported.append(ctx))
        self.thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self.thread.start()
        self.handles: dict[str, int] = {}
        self.fds: dict[str, int] = {}
        self.opened: set[int] = set()  # handles opened by examples, closed after each
        self.outcomes: Counter[str] = Counter()

        async def setup() -> None:
            self.handles["ro"] = (await _velnor.open(root / "data", *READ_ONLY))[0]
            self.handles["rw"] = (await _velnor.open(root / "scratch", *RW_CREATE))[0]
            self.handles["dir"] = (await _velnor.open(root / "dir", *READ_ONLY))[0]
            closed = (await _velnor.open(root / "data", *READ_ONLY))[0]
            await _velnor.close(closed)
            self.handles["closed"] = closed
        self.run(setup())
        self.fds = {
            "ro_fd": os.open(root / "data", os.O_RDONLY),
            "rw_fd": os.open(root / "scratch", os.O_RDWR),
            "dir_fd": os.open(root / "dir", os.O_RDONLY | os.O_DIRECTORY),
        }

    def run(self, coro: Coroutine[Any, Any, Any]) -> Any:
        fut: ThreadFuture[Any] = asyncio.run_coroutine_threadsafe(coro, self.loop)
        return fut.result(timeout=60)

    def resolve(self, value: Any) -> Any:
        if not isinstance(value, Ref):
            return value
        kind, _, name = value.name.partition(":")
        if kind == "path":
            return str(self.root / name)
        if kind == "pathlib":
            return self.root / name
        if kind == "fspath":
            return FsPath(str(self.root / name))
        return self.handles.get(value.name, self.fds.get(value.name))

    def saw_both_outcomes(self) -> None:
        # Arguments that are never accepted, or never refused, would leave
        # half of the promise untested.
        assert self.outcomes["raised"] and self.outcomes["settled"], self.outcomes

    def close(self) -> None:
        async def teardown() -> None:
            for name in ("ro", "rw", "dir"):
                try:
                    await _velnor.close(self.handles[name])
                except OSError as e:
                    # An arbitrary integer handed to close() may have named it.
                    assert str(e) == "unknown or closed velnor handle", e
        self.run(teardown())
        for fd in self.fds.values():
            os.close(fd)
        self.loop.call_soon_threadsafe(self.loop.stop)
        self.thread.join()
        self.loop.close()
        assert self.reported == [], f"loop exception handler called: {self.reported}"


@pytest.fixture
def sandbox(tmp_path: Path, loop_kind: str, monkeypatch: pytest.MonkeyPatch) -> Iterator[Sandbox]:
    # Should any relative name slip through, it lands in the sandbox too.
    monkeypatch.chdir(tmp_path)
    old_handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    old_limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    resource.setrlimit(resource.RLIMIT_FSIZE, (FILE_SIZE_LIMIT, old_limit[1]))
    # Generated arguments once drove this process to the machine's whole
    # memory and the OOM killer ended the run; with a cap, such an example
    # fails with MemoryError (or the driver's "memory allocation failed")
    # instead. The sanitizer reserves terabytes of address space: no cap.
    old_as = resource.getrlimit(resource.RLIMIT_AS)
    if not os.environ.get("VELNOR_SANITIZED"):
        resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE_LIMIT, old_as[1]))
    fds = settled_fd_count()
    box = Sandbox(tmp_path, loop_kind)
    try:
        yield box
    finally:
        box.close()
        resource.setrlimit(resource.RLIMIT_FSIZE, old_limit)
        resource.setrlimit(resource.RLIMIT_AS, old_as)
        signal.signal(signal.SIGXFSZ, old_handler)
    # Every handle an example opened was closed again.
    # A bridge still held by an operation finishing on the driver goes a
    # moment later: polled, as for closes.
    assert_no_fd_leak(fds)


def is_handle_triple(value: Any) -> bool:
    return (type(value) is tuple and len(value) == 3
            and all(type(v) is int for v in value))


def submit_and_settle(box: Sandbox, fn: Callable[..., Any], args: list[Any],
                      kwargs: dict[str, Any], check: Callable[[Any], None],
                      settle_errors: tuple[type[BaseException], ...] = (OSError,)) -> None:
    args = [box.resolve(a) for a in args]
    kwargs = {k: box.resolve(v) for k, v in kwargs.items()}

    async def main() -> str:
        try:
            fut = fn(*args, **kwargs)
        except SYNC_ERRORS as e:
            return f"raised {type(e).__name__}"
        assert type(fut) is KernelFuture
        try:
            value = await fut
        except settle_errors as e:
            return f"settled with {type(e).__name__}"
        if is_handle_triple(value):
            box.opened.add(value[0])
        check(value)
        return "settled with a value"

    outcome = box.run(main())
    event(outcome)
    box.outcomes[outcome.split(' ')[0]] += 1
    close_opened(box)


def close_opened(box: Sandbox) -> None:
    async def close_all() -> None:
        for h in box.opened:
            await _velnor.close(h)
    box.run(close_all())
    box.opened.clear()


def keywords(names: tuple[str, ...]) -> st.SearchStrategy[Any]:
    """Passes the arguments positionally, by keyword, or with a stray
    keyword that binding must refuse."""
    return st.sampled_from(["positional", "keyword", "stray"]).map(lambda how: (names, how))


def call_shape(names: tuple[str, ...], how: str, values: list[Any]) -> tuple[list[Any], dict[str, Any]]:
    if how == "positional":
        return values, {}
    kwargs = dict(zip(names, values))
    if how == "stray":
        kwargs["bogus"] = 1
    return [], kwargs


def is_bytes(limit: Any) -> Callable[[Any], None]:
    def check(value: Any) -> None:
        assert type(value) is bytes
        if isinstance(limit, int) and not isinstance(limit, bool):
            assert len(value) <= limit
    return check


def is_handle(values: list[Any], v: Any) -> None:
    assert is_handle_triple(v), v


def returns(kind: type) -> Callable[[list[Any], Any], None]:
    def check(values: list[Any], v: Any) -> None:
        assert type(v) is kind, v
    return check


def bytes_within(index: int) -> Callable[[list[Any], Any], None]:
    def check(values: list[Any], v: Any) -> None:
        is_bytes(values[index])(v)
    return check


def fills_at_most_the_buffer(values: list[Any], v: Any) -> None:
    assert type(v) is int and 0 <= v <= memoryview(values[2]).nbytes


def writes_everything(values: list[Any], v: Any) -> None:
    # A write resolves only when the whole payload was written.
    n, end = v
    assert n == memoryview(values[2]).nbytes and type(end) is int


def wrote_file(values: list[Any], v: Any) -> None:
    assert v == memoryview(values[1]).nbytes


@dataclass(frozen=True)
class Submitting:
    """A submitting function, how to draw its arguments, what a settled
    value must look like, and explicit calls: at least one that must be
    accepted and one that must be refused, whatever the random draws, since
    the test insists on both outcomes."""

    name: str
    params: tuple[str, ...]
    draws: tuple[st.SearchStrategy[Any], ...]
    check: Callable[[list[Any], Any], None]
    examples: tuple[tuple[list[Any], str], ...]


OPEN_PARAMS = ("path", "read", "write", "append", "truncate", "create", "create_new")
SUBMITTING = [
    Submitting("open", OPEN_PARAMS, (PATH, *[FLAG] * 6), is_handle, (
        ([Ref("path:data"), True, False, False, False, False, False], "keyword"),
        ([None, *[True] * 6], "positional"))),
    *[Submitting(name, params, (HANDLE,) * len(params), returns(kind), (
        ([Ref("rw")] * len(params), "positional"), ([-1] * len(params), "positional")))
      for name, params, kind in [("close", ("handle",), type(None)), ("size", ("handle",), int),
                                 ("read_to_end", ("handle", "pos"), bytes)]],
    Submitting("sync", ("handle", "data_only"), (HANDLE, FLAG), returns(type(None)), (
        ([Ref("rw"), True], "keyword"), ([Ref("rw"), True], "stray"))),
    Submitting("set_len", ("handle", "size"), (HANDLE, ANY_INT), returns(type(None)), (
        ([Ref("rw"), 10], "stray"), ([Ref("rw"), 10], "keyword"))),
    Submitting("read", ("handle", "pos", "len"), (HANDLE, ANY_INT, LENGTH), bytes_within(2), (
        ([Ref("ro"), 0, 10], "keyword"), ([Ref("ro"), 0, -1], "positional"))),
    Submitting("read_parallel", ("handle", "pos", "len", "chunk"),
               (HANDLE, ANY_INT, SMALL_LENGTH, ANY_INT), bytes_within(2), (
        ([Ref("ro"), 1, 100, 7], "keyword"), ([Ref("ro"), 1, 100, 0], "positional"))),
    Submitting("readinto", ("handle", "pos", "buffer"), (HANDLE, ANY_INT, buffers()),
               fills_at_most_the_buffer, (
        ([Ref("ro"), 3, bytearray(9)], "keyword"), ([Ref("ro"), 3, b"read-only"], "positional"))),
    Submitting("write", ("handle", "pos", "data", "append"), (HANDLE, ANY_INT, buffers(), FLAG),
               writes_everything, (
        ([Ref("rw"), 5, b"data", False], "keyword"), ([Ref("rw"), 5, b"data", 0], "positional"))),
    Submitting("write_file", ("path", "data"), (PATH, buffers()), wrote_file, (
        ([Ref("path:new"), b"data"], "keyword"), ([Ref("path:new"), "text"], "positional"))),
]


@pytest.mark.parametrize("spec", SUBMITTING, ids=[s.name for s in SUBMITTING])
def test_submitting_functions(sandbox: Sandbox, spec: Submitting) -> None:
    fn = getattr(_velnor, spec.name)

    def prop(values: tuple[Any, ...], shape: Any) -> None:
        if spec.name == "close" and values[0] in (Ref("ro"), Ref("rw"), Ref("dir")):
            return  # the sandbox's own handles must stay open
        args, kwargs = call_shape(shape[0], shape[1], list(values))
        submit_and_settle(sandbox, fn, args, kwargs, lambda v: spec.check(list(values), v))
        # Paths drawn may have named the data file and rewritten it.
        (sandbox.root / "data").write_bytes(bytes(range(256)) * 16)

    test = given(st.tuples(*spec.draws), keywords(spec.params))(prop)
    for values, how in spec.examples:
        test = example(tuple(values), (spec.params, how))(test)
    EXAMPLES(test)()
    sandbox.saw_both_outcomes()


def test_read_file(sandbox: Sandbox) -> None:
    def settles(fut: Any, handle: int, fd: int) -> None:
        sandbox.opened.add(handle)
        fut.set_result(("settled", handle, fd))

    def raises(fut: Any, handle: int, fd: int) -> None:
        # The drain closes a handle whose on_handle raised.
        raise Boom("from on_handle")

    @EXAMPLES
    @given(PATH, ANY_INT, st.sampled_from([None, settles, raises, "omitted"]),
           keywords(("path", "inline_max", "on_handle")))
    def prop(path: Any, inline_max: Any, on_handle: Any, shape: Any) -> None:
        values = [path, inline_max] + ([] if on_handle == "omitted" else [on_handle])
        args, kwargs = call_shape(shape[0][:len(values)], shape[1], values)

        def check(v: Any) -> None:
            assert type(v) is bytes or is_handle_triple(v) or v[0] == "settled"
        submit_and_settle(sandbox, _velnor.read_file, args, kwargs, check, (OSError, Boom))
    prop()


def test_cancel_ops(sandbox: Sandbox) -> None:
    @EXAMPLES
    @given(st.one_of(st.lists(ANY_INT, max_size=5), st.lists(ANY_INT, max_size=5).map(tuple),
                     st.integers(0, 5).map(range), GARBAGE,
                     st.just(iter([1, 2])), st.just({1: 2}), st.just({3})))
    def prop(ops: Any) -> None:
        async def main() -> None:
            try:
                assert _velnor.cancel_ops(ops) is None
            except SYNC_ERRORS:
                pass
            # Whatever was cancelled, the driver still serves.
            assert await _velnor.probe_nop() is None
        sandbox.run(main())
    prop()


def test_fast_path(sandbox: Sandbox) -> None:
    @EXAMPLES
    @given(FD, ANY_INT, LENGTH, buffers())
    def prop(fd: Any, pos: Any, length: Any, buffer: Any) -> None:
        try:
            fp = _velnor.FastPath(sandbox.resolve(fd))
        except SYNC_ERRORS:
            return
        calls: list[tuple[Callable[[], Any], Callable[[Any], bool]]] = [
            (lambda: fp.read(pos, length), lambda v: v is None or type(v) is bytes),
            (lambda: fp.readinto(pos, buffer), lambda v: v is None or type(v) is int),
            (lambda: fp.read_all(pos), lambda v: v is None or type(v) is bytes),
            (lambda: fp.size(), lambda v: v is None or type(v) is int),
            (lambda: fp.supported(), lambda v: type(v) is bool),
        ]
        for call, ok in calls:
            try:
                value = call()
            except SYNC_ERRORS:
                continue
            assert ok(value), value
    prop()


def test_descriptors_drawn_are_prepared_or_cannot_be_open() -> None:
    @settings(max_examples=400, deadline=None)
    @given(FD)
    def prop(fd: Any) -> None:
        if isinstance(fd, Ref):
            assert fd.name in PREPARED_FDS
            return
        try:
            number = operator.index(fd)
        except Exception:
            return  # refused before any descriptor is used
        assert number in IMPOSSIBLE_FDS, number
    prop()


def test_whole_file_and_kernel_probes(sandbox: Sandbox) -> None:
    @EXAMPLES
    @given(PATH, FD, LENGTH)
    def prop(path: Any, fd: Any, length: Any) -> None:
        try:
            got = _velnor.try_read_file(sandbox.resolve(path))
            assert got is None or type(got) is bytes
        except SYNC_ERRORS:
            pass
        for probe in (_velnor.probe_inline_read, _velnor.probe_pread_nowait):
            try:
                value = probe(sandbox.resolve(fd), length)
            except (*SYNC_ERRORS, OSError):
                continue
            assert type(value) is bytes
    prop()


def test_functions_without_arguments_refuse_them(sandbox: Sandbox) -> None:
    @EXAMPLES
    @given(st.sampled_from(["probe_ffi", "probe_resolved_future", "probe_nop", "backend_name"]),
           st.lists(ANY_INT, min_size=1, max_size=2), st.booleans())
    def prop(name: str, extra: list[Any], as_keyword: bool) -> None:
        async def main() -> None:
            fn = getattr(_velnor, name)
            with pytest.raises(TypeError):
                if as_keyword:
                    fn(x=extra[0])
                else:
                    fn(*extra)
            value = fn()
            if isinstance(value, asyncio.Future):
                value = await value
            assert value in (0, None) or value in ("compio-io-uring", "compio-polling")
        sandbox.run(main())
    prop()


class Model:
    """The file as a bytearray: what positional operations must produce."""

    def __init__(self) -> None:
        self.data = bytearray()

    def write(self, pos: int, payload: bytes) -> tuple[int, int]:
        if not payload:
            return 0, pos  # nothing reaches the kernel, so no hole either
        if pos > len(self.data):
            self.data.extend(bytes(pos - len(self.data)))
        self.data[pos:pos + len(payload)] = payload
        return len(payload), pos + len(payload)

    def set_len(self, size: int) -> None:
        del self.data[size:]
        self.data.extend(bytes(size - len(self.data)))


POS = st.integers(0, 20000)
MODEL_OPS = st.lists(st.one_of(
    st.tuples(st.just("write"), POS, st.binary(max_size=3000)),
    st.tuples(st.just("set_len"), POS),
    st.tuples(st.just("read"), POS, st.integers(0, 5000)),
    st.tuples(st.just("readinto"), POS, st.integers(0, 5000)),
    st.tuples(st.just("parallel"), POS, st.integers(0, 5000), st.integers(1, 2048)),
    st.tuples(st.just("read_to_end"), POS),
    st.tuples(st.just("size"),),
), max_size=40)


def test_positional_operations_match_a_model(sandbox: Sandbox) -> None:
    @settings(max_examples=100, deadline=None,
              suppress_health_check=[HealthCheck.function_scoped_fixture])
    @given(MODEL_OPS)
    def prop(ops: list[tuple[Any, ...]]) -> None:
        model = Model()

        async def main() -> None:
            h, size, _ = await _velnor.open(sandbox.root / "model", True, True, False, True,
                                            True, False)
            assert size == 0
            try:
                for op in ops:
                    name, args = op[0], op[1:]
                    if name == "write":
                        want = model.write(*args)
                        assert await _velnor.write(h, args[0], args[1], False) == want
                    elif name == "set_len":
                        model.set_len(args[0])
                        assert await _velnor.set_len(h, args[0]) is None
                    elif name == "read":
                        want = bytes(model.data[args[0]:args[0] + args[1]])
                        assert await _velnor.read(h, *args) == want
                    elif name == "readinto":
                        want = bytes(model.data[args[0]:args[0] + args[1]])
                        buf = bytearray(b"\xaa" * args[1])
                        assert await _velnor.readinto(h, args[0], buf) == len(want)
                        assert buf == want + b"\xaa" * (args[1] - len(want))
                    elif name == "parallel":
                        want = bytes(model.data[args[0]:args[0] + args[1]])
                        assert await _velnor.read_parallel(h, *args) == want
                    elif name == "read_to_end":
                        assert await _velnor.read_to_end(h, args[0]) == model.data[args[0]:]
                    else:
                        assert await _velnor.size(h) == len(model.data)
            finally:
                await _velnor.close(h)
            assert (sandbox.root / "model").read_bytes() == model.data

        sandbox.run(main())
    prop()


@pytest.mark.parametrize("op", ["read", "readinto", "read_to_end", "read_parallel", "write"])
def test_the_last_position_is_past_every_end(run: Any, tmp_path: Path, op: str) -> None:
    # Positions are unsigned 64-bit: 2**64-1 lies past the end of any file.
    # A read there finds nothing (or fails) and a write there fails; neither
    # may use the descriptor's own position, which is what offset -1 means to
    # the kernel.
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")
    last = 2**64 - 1

    async def main() -> Any:
        h, _, _ = await _velnor.open(path, *RW)
        buf = bytearray(4)
        fut = {
            "read": lambda: _velnor.read(h, last, 4),
            "readinto": lambda: _velnor.readinto(h, last, buf),
            "read_to_end": lambda: _velnor.read_to_end(h, last),
            "read_parallel": lambda: _velnor.read_parallel(h, last, 8, 3),
            "write": lambda: _velnor.write(h, last, b"XY", False),
        }[op]()
        try:
            result = await fut
        except OSError:
            result = None
        await _velnor.close(h)
        return result, bytes(buf)

    result, buf = run(main())
    assert path.read_bytes() == b"0123456789"
    assert buf == bytes(4)
    assert result in (None, b"", 0), result
