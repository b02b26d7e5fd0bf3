"""Shared fixtures: every asynchronous test runs on both event loops, and a
call of a loop's exception handler fails the test."""

from __future__ import annotations

import asyncio
import faulthandler
import os
import subprocess
import sys
import textwrap
from collections.abc import Callable, Coroutine
from pathlib import Path
from typing import Any

import pytest
import uvloop

LOOP_KINDS = ("asyncio", "uvloop")

# pytest-timeout's timer is a Python thread: it cannot run while a test is
# stuck in native code holding the interpreter lock. This watchdog is the
# interpreter's own native timer thread: past the test's timeout and a
# grace period it writes every thread's stack to the real stderr and ends
# the run, so that such a hang still fails, with the test named in the stack.
WATCHDOG_GRACE = 10.0
_watchdog_out: list[Any] = []


def pytest_configure(config: pytest.Config) -> None:
    # Output capture is suspended here: descriptor 2 is the real stderr.
    _watchdog_out.append(os.fdopen(os.dup(2), "w"))


def pytest_unconfigure(config: pytest.Config) -> None:
    while _watchdog_out:
        _watchdog_out.pop().close()


@pytest.fixture(autouse=True)
def _native_hang_watchdog(request: pytest.FixtureRequest) -> Any:
    marker = request.node.get_closest_marker("timeout")
    timeout = float(marker.args[0]) if marker and marker.args else float(
        request.config.getini("timeout") or 0)
    if timeout > 0:
        faulthandler.dump_traceback_later(timeout + WATCHDOG_GRACE, exit=True,
                                          file=_watchdog_out[0])
    yield
    if timeout > 0:
        faulthandler.cancel_dump_traceback_later()
DRIVER_THREAD = "velnor-compio"


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


Runner = Callable[..., Any]


@pytest.fixture(params=LOOP_KINDS)
def loop_kind(request: pytest.FixtureRequest) -> str:
    return str(request.param)


@pytest.fixture
def run(loop_kind: str) -> Runner:
    return lambda main, loop_class=None: run_on(loop_kind, main, loop_class)


@pytest.fixture
def expected_backend() -> str | None:
    return os.environ.get("VELNOR_EXPECT_BACKEND")


def driver_threads() -> int:
    """Threads of this process named like the driver thread."""
    count = 0
    for task in Path("/proc/self/task").iterdir():
        try:
            if (task / "comm").read_text().strip() == DRIVER_THREAD:
                count += 1
        except FileNotFoundError:
            pass  # the thread ended while we looked
    return count


def run_script(source: str, env: dict[str, str | bytes | None] | None = None,
               timeout: float = 120) -> subprocess.CompletedProcess[str]:
    """Runs `source` in a fresh interpreter (warnings as errors) and requires
    a clean exit: code 0 and nothing on stderr."""
    full_env: dict[Any, Any] = dict(os.environb)
    for key, value in (env or {}).items():
        k = key.encode()
        if value is None:
            full_env.pop(k, None)
        else:
            full_env[k] = value.encode() if isinstance(value, str) else value
    # The script can import this module's helpers.
    prologue = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", prologue + textwrap.dedent(source)],
        env=full_env, capture_output=True, text=True, timeout=timeout,
    )
    assert proc.returncode == 0 and proc.stderr == "", (
        f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc


def write_fifo(path: Any, data: bytes) -> None:
    """Writes to a FIFO whose reader is already open, without waiting."""
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)
