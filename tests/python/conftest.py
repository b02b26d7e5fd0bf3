"""Shared fixtures: every asynchronous test runs on both event loops, and a
call of a loop's exception handler fails the test. Plain helpers are in the
`support` package."""

from __future__ import annotations

import faulthandler
import os
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import Any

import pytest

from support.loops import LOOP_KINDS, Runner, run_on

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
def _native_hang_watchdog(request: pytest.FixtureRequest) -> Iterator[None]:
    marker = request.node.get_closest_marker("timeout")
    timeout = float(marker.args[0]) if marker and marker.args else float(
        request.config.getini("timeout") or 0)
    if timeout > 0:
        faulthandler.dump_traceback_later(timeout + WATCHDOG_GRACE, exit=True,
                                          file=_watchdog_out[0])
    yield
    if timeout > 0:
        faulthandler.cancel_dump_traceback_later()


@pytest.fixture(params=LOOP_KINDS)
def loop_kind(request: pytest.FixtureRequest) -> str:
    return str(request.param)


@pytest.fixture
def run(loop_kind: str) -> Runner:
    return lambda main, loop_class=None: run_on(loop_kind, main, loop_class)


@pytest.fixture
def expected_backend() -> str | None:
    return os.environ.get("VELNOR_EXPECT_BACKEND")


@pytest.fixture
def disk_dir() -> Iterator[Path]:
    """A directory on a real disk, where a file's cached pages can be dropped
    (tmpfs pages cannot, and pytest's tmp_path may live on tmpfs)."""
    path = Path(tempfile.mkdtemp(prefix="velnor-files-", dir="/var/tmp"))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)
