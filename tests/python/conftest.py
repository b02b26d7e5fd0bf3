"""Shared fixtures: every asynchronous test runs on both event loops, and a
call of a loop's exception handler fails the test. Plain helpers are in the
`support` package."""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Iterator
from pathlib import Path

import pytest

from support.loops import LOOP_KINDS, Runner, run_on


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
