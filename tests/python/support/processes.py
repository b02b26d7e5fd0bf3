"""Fresh interpreters for tests that need a process of their own, and the
driver thread seen from outside."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path
from typing import Any

DRIVER_THREAD = "velnor-compio"

# The folder holding this package: a script run by `run_script` imports
# `support` from there.
_TESTS = Path(__file__).resolve().parent.parent


def driver_threads() -> int:
    """Threads of this process named like the driver thread. A thread the
    driver has just started (a pool worker) carries the driver's name until
    it names itself, so the count is the least of a few looks."""
    counts = []
    for _ in range(3):
        count = 0
        for task in Path("/proc/self/task").iterdir():
            try:
                if (task / "comm").read_text().strip() == DRIVER_THREAD:
                    count += 1
            except (FileNotFoundError, ProcessLookupError):
                pass  # the thread ended while we looked
        counts.append(count)
        if count <= 1:
            break
        time.sleep(0.01)
    return min(counts)


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


def other_interpreters(workdir: Path) -> dict[str, tuple[str, dict[str, str]]]:
    """Interpreters besides this one that can load the extension built for
    this one (it is built for the stable ABI): each label maps to the
    interpreter's path and the environment that lets it import `_velnor`,
    `velnor` and these helpers. Looked for: build/py313 (a 3.13 venv that
    `make test` prepares with uvloop), then pyenv's 3.13."""
    import _velnor
    import velnor
    root = _TESTS.parents[1]
    candidates = [root / "build" / "py313" / "bin" / "python"]
    pyenv_root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"))
    candidates += sorted(pyenv_root.glob("versions/3.13*/bin/python3"))
    found: dict[str, tuple[str, dict[str, str]]] = {}
    for candidate in candidates:
        if not candidate.exists() or "3.13" in found:
            continue
        # The installed extension and package, seen from a folder of their
        # own: this interpreter's site-packages holds modules built for it.
        lib = workdir / "py313-lib"
        lib.mkdir(exist_ok=True)
        for item in (Path(_velnor.__file__), Path(velnor.__file__).parent):
            link = lib / item.name
            if not link.exists():
                link.symlink_to(item)
        found["3.13"] = (str(candidate), {"PYTHONPATH": os.pathsep.join([str(lib), str(_TESTS)])})
    if sys.version_info[:2] == (3, 13):
        found.pop("3.13", None)
    return found


def has_module(python: str, env: dict[str, str], module: str) -> bool:
    return subprocess.run([python, "-c", f"import {module}"], env={**os.environ, **env},
                          capture_output=True).returncode == 0


def failed_exits(argv: list[str], env: dict[str, str], count: int, parallel: int = 6,
                 timeout: float = 120) -> list[str]:
    """Runs `argv` `count` times, `parallel` at a time, and describes every
    run that did not exit cleanly: code 0, nothing on stderr, 'leaving' on
    stdout. A run that hangs past `timeout` counts as failed."""

    def one(_: int) -> str | None:
        try:
            proc = subprocess.run(argv, env={**os.environ, **env}, capture_output=True, text=True,
                                  timeout=timeout)
        except subprocess.TimeoutExpired:
            return f"hung for {timeout} s"
        if proc.returncode != 0 or proc.stderr != "" or proc.stdout != "leaving\n":
            return f"exit {proc.returncode}, stdout {proc.stdout!r}, stderr {proc.stderr[-500:]!r}"
        return None

    with ThreadPoolExecutor(parallel) as pool:
        return [r for r in pool.map(one, range(count)) if r is not None]


def failing_calls_env(workdir: Path) -> dict[str, str | bytes | None]:
    """The environment for `run_script` that preloads tests/tools/fail_calls.c
    (built here with the system's C compiler), whose `velnor_fail` makes
    chosen C library calls fail on demand."""
    import pytest
    import shutil

    compiler = shutil.which("cc") or shutil.which("gcc")
    if compiler is None:
        pytest.skip("no C compiler to build the call-failing library")
    library = workdir / "fail_calls.so"
    subprocess.run([compiler, "-shared", "-fPIC", "-O1", "-o", str(library),
                    str(_TESTS.parent / "tools" / "fail_calls.c"), "-ldl"], check=True)
    # After a sanitizer's runtime, which must come first.
    preload = " ".join(filter(None, [os.environ.get("LD_PRELOAD"), str(library)]))
    return {"LD_PRELOAD": preload}
