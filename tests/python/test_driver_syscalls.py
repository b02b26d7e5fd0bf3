"""On io_uring the driver thread never blocks in a file system call of its
own: open, statx, close, fsync, ftruncate, reads and positional writes, and
the calls on names (rename, unlink, mkdir, symlink, link) all go through the
ring; appends, listings, readlink, chmod, access, statvfs, utime, truncate by
name, sendfile and copies run on worker threads."""

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
        assert await _velnor.write(h, 0, b"positional", False) == (10, 10)
        assert await _velnor.read(h, 0, 10) == b"positional"
        assert await _velnor.readinto(h, 0, bytearray(4)) == 4
        assert await _velnor.read_parallel(h, 0, 4096, 1024) == b"positional".ljust(4096, bytes(1))
        assert len(await _velnor.read_to_end(h, 0)) == 4096
        await _velnor.close(h)
        a, _, _ = await _velnor.open(path, False, False, True, False, False, False)
        assert await _velnor.write(a, 0, b"APPENDED", True) == (8, 4104)
        await _velnor.close(a)
        assert await _velnor.write_file(path + ".w", b"whole") == 5
        assert await _velnor.read_file(path + ".w", 100) == b"whole"
        await path_calls(path)

    async def path_calls(path):
        # Every file-system call on names: ring opcodes and pool jobs alike.
        cwd = -100
        d = path + ".d"
        await _velnor.mkdir(d, cwd, 0o700)
        assert len(await _velnor.stat(path, cwd, 0)) > 0
        await _velnor.symlink("x", d + "/s", cwd)
        await _velnor.link(path + ".w", d + "/h", cwd, cwd, 0)
        await _velnor.rename(d + "/h", d + "/h2", cwd, cwd, 0)
        assert await _velnor.readlink(d + "/s", cwd) == b"x"
        assert len(await _velnor.listdir(d, cwd)) > 8
        await _velnor.chmod(d + "/h2", cwd, 0o600, 0)
        await _velnor.access(d + "/h2", cwd, os.R_OK, 0)
        assert len(await _velnor.statvfs(d, cwd)) == 88
        await _velnor.utime(d + "/h2", cwd, 0, 1, 0, 2, 0)
        await _velnor.truncate(d + "/h2", cwd, 2)
        fd_in = await _velnor.open_fd(path, cwd, os.O_RDONLY, 0)
        fd_out = await _velnor.open_fd(d + "/out", cwd, os.O_WRONLY | os.O_CREAT, 0o600)
        assert await _velnor.copy_range(fd_out, fd_in) == 4104
        assert await _velnor.sendfile(fd_out, fd_in, 0, 10) == 10
        await _velnor.close_fd(fd_in)
        await _velnor.close_fd(fd_out)
        for name in ("s", "h2", "out"):
            await _velnor.unlink(d + "/" + name, cwd, 0)
        await _velnor.unlink(d, cwd, 0x200)

    os.access("/velnor-strace-begin", os.F_OK)
    asyncio.run(main(sys.argv[1]))
    os.access("/velnor-strace-end", os.F_OK)
"""

WATCHED = ("openat", "statx", "close", "fsync", "fdatasync", "ftruncate",
           "read", "pread64", "readv", "preadv", "preadv2",
           "write", "pwrite64", "writev", "pwritev", "pwritev2",
           "newfstatat", "rename", "renameat", "renameat2", "unlink", "unlinkat", "rmdir",
           "mkdir", "mkdirat", "symlink", "symlinkat", "link", "linkat", "getdents64",
           "readlink", "readlinkat", "chmod", "fchmod", "fchmodat", "fchmodat2",
           "faccessat", "faccessat2", "statfs", "fstatfs", "utimensat", "truncate",
           "sendfile", "copy_file_range", "splice", "lseek")


def test_driver_thread_makes_no_blocking_file_calls(tmp_path: Path,
                                                     expected_backend: str | None) -> None:
    if expected_backend not in (None, "compio-io-uring"):
        pytest.skip("the driver runs file calls on worker threads on this backend")
    if os.environ.get("VELNOR_SANITIZED"):
        pytest.skip("the sanitizer runtime makes system calls of its own on every thread")
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
         # "?": names this strace does not know (newer calls) are skipped.
         "-e", "trace=" + ",".join("?" + name for name in WATCHED + ("access",)),
         "-e", "signal=none", "-s", "16",
         sys.executable, str(script), str(tmp_path / "data")],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    tid = int(proc.stdout.split()[0])

    lines = trace.read_text().splitlines()
    begin = next(i for i, line in enumerate(lines) if "/velnor-strace-begin" in line)
    end = next(i for i, line in enumerate(lines) if "/velnor-strace-end" in line)
    during = lines[begin:end]
    # The operations did run.
    assert (tmp_path / "data").stat().st_size == 4104
    call = re.compile(r"^(\d+)\s+(\w+)\((\d+)?")
    # The one write the driver thread makes itself is the doorbell: a single
    # byte 0x01 into a loop's pipe. strace splits a call that another thread's
    # call interrupts into "<unfinished ...>" and "<... resumed>" lines.
    doorbell = re.compile(r'^\d+\s+write\(\d+, "\\1", 1(\)| <unfinished \.\.\.>)')
    from_driver = [line for line in during
                   if (m := call.match(line)) and int(m.group(1)) == tid
                   and m.group(2) in WATCHED and not doorbell.match(line)]
    assert from_driver == []
    # The listing, the in-kernel copy and the other calls without an opcode
    # ran on worker threads.
    for name in ("getdents64", "readlinkat", "copy_file_range", "sendfile", "utimensat",
                 "truncate", "statfs"):
        seen = [line for line in during if (m := call.match(line)) and m.group(2) == name]
        assert seen and all(int(call.match(line).group(1)) != tid for line in seen), name
    # The append went through write(2) on another thread.
    appends = [line for line in during if '"APPENDED"' in line and " write(" in line]
    assert appends and all(int(call.match(line).group(1)) != tid for line in appends)
