"""On io_uring the driver thread never blocks in a file system call of its
own: open, statx, close, fsync and ftruncate all go through the ring."""

from __future__ import annotations

import os
import re
import shutil
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

SCRIPT = """
    import asyncio, os, sys, _velnor
    from pathlib import Path
    assert _velnor.backend_name() == "compio-io-uring"
    tid = next(int(t.name) for t in Path("/proc/self/task").iterdir()
               if (t / "comm").read_text().strip() == "velnor-compio")
    print(tid, flush=True)

    async def main(path):
        h, _, _ = await _velnor.open(path, True, True, False, False, True, False)
        await _velnor.set_len(h, 4096)
        assert await _velnor.size(h) == 4096
        await _velnor.sync(h, False)
        await _velnor.sync(h, True)
        await _velnor.close(h)

    os.access("/velnor-strace-begin", os.F_OK)
    asyncio.run(main(sys.argv[1]))
    os.access("/velnor-strace-end", os.F_OK)
"""

WATCHED = ("openat", "statx", "close", "fsync", "fdatasync", "ftruncate")


def test_driver_thread_makes_no_blocking_file_calls(tmp_path: Path,
                                                     expected_backend: str | None) -> None:
    if expected_backend not in (None, "compio-io-uring"):
        pytest.skip("the driver runs file calls on worker threads on this backend")
    strace = shutil.which("strace")
    if strace is None:
        pytest.skip("strace is not installed")
    if subprocess.run([strace, "-o", os.devnull, "true"], capture_output=True).returncode != 0:
        pytest.skip("ptrace is not permitted here")
    trace = tmp_path / "trace"
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(SCRIPT))
    proc = subprocess.run(
        [strace, "-f", "-qq", "-o", str(trace),
         "-e", "trace=" + ",".join(WATCHED + ("access", "faccessat", "faccessat2")),
         sys.executable, str(script), str(tmp_path / "data")],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    tid = int(proc.stdout.split()[0])

    lines = trace.read_text().splitlines()
    begin = next(i for i, line in enumerate(lines) if "/velnor-strace-begin" in line)
    end = next(i for i, line in enumerate(lines) if "/velnor-strace-end" in line)
    during = lines[begin:end]
    # The operations did run.
    assert (tmp_path / "data").stat().st_size == 4096
    call = re.compile(r"^(\d+)\s+(\w+)\(")
    from_driver = [line for line in during
                   if (m := call.match(line)) and int(m.group(1)) == tid
                   and m.group(2) in WATCHED]
    assert from_driver == []
