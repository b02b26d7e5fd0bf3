"""A hang fails its test instead of stalling the run for ever: the suite's
timeout must fire even when a test is blocked in native code holding the
interpreter lock, where neither a signal handler nor a Python timer thread
can run."""

from __future__ import annotations

import ctypes
import os
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
PLANT = "VELNOR_PLANT_NATIVE_HANG"


@pytest.mark.skipif(not os.environ.get(PLANT), reason="run only by the test below")
def test_planted_native_hang() -> None:
    # A second lock of a default mutex by its owner never returns, and the
    # calls hold the interpreter lock (PyDLL), as a stuck extension would.
    mutex = ctypes.create_string_buffer(64)
    libc = ctypes.PyDLL(None)
    assert libc.pthread_mutex_lock(mutex) == 0
    libc.pthread_mutex_lock(mutex)


@pytest.mark.timeout(300)
def test_a_test_blocked_in_native_code_fails_within_the_configured_timeout() -> None:
    proc = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-o", "timeout=2",
         f"{__file__}::test_planted_native_hang"],
        cwd=ROOT, env={**os.environ, PLANT: "1"}, capture_output=True, text=True, timeout=120)
    assert proc.returncode != 0
    assert "test_planted_native_hang" in proc.stdout + proc.stderr
