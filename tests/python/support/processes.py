"""Fresh interpreters for tests that need a process of their own, and the
driver thread seen from outside."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
from pathlib import Path
from typing import Any

DRIVER_THREAD = "velnor-compio"

# The folder holding this package: a script run by `run_script` imports
# `support` from there.
_TESTS = Path(__file__).resolve().parent.parent


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
    prologue = f"import sys; sys.path.insert(0, {str(_TESTS)!r})\n"
    proc = subprocess.run(
        [sys.executable, "-W", "error", "-c", prologue + textwrap.dedent(source)],
        env=full_env, capture_output=True, text=True, timeout=timeout,
    )
    assert proc.returncode == 0 and proc.stderr == "", (
        f"exit {proc.returncode}\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}")
    return proc
