"""Kernels older than the fast path's system calls: without openat2 (before
5.6), without RESOLVE_CACHED (5.6 to 5.11), without preadv2 (before 4.6) or
without RWF_NOWAIT (4.6 to 4.13). A seccomp filter in a fresh interpreter
answers those calls as such a kernel does; the fast paths must then answer
"not cached" and every operation must still work through the driver."""

from __future__ import annotations

import errno
from pathlib import Path

import pytest

from support.processes import run_script

SYS_PREADV2 = 327
SYS_OPENAT2 = 437
RWF_NOWAIT = 0x8

# name: (system call, errno, refuse only when the flags argument has RWF_NOWAIT)
OLD_KERNELS = {
    "no-openat2": (SYS_OPENAT2, errno.ENOSYS, False),
    "no-resolve-cached": (SYS_OPENAT2, errno.EINVAL, False),
    "no-preadv2": (SYS_PREADV2, errno.ENOSYS, False),
    "no-rwf-nowait": (SYS_PREADV2, errno.EOPNOTSUPP, True),
    # Not a kernel: an interruption that never ends, which the reads on the
    # loop's thread must give up on rather than retry for good.
    "eintr-nowait": (SYS_PREADV2, errno.EINTR, True),
}

# Installs a filter that answers one system call with an errno (optionally
# only when its sixth argument, preadv2's flags, has RWF_NOWAIT), then imports
# velnor, so the driver thread and its workers inherit the filter.
FILTER = """
import ctypes, struct
AUDIT_ARCH_X86_64 = 0xC000003E
LD_W_ABS, JEQ_K, JSET_K, RET_K = 0x20, 0x15, 0x45, 0x06
ALLOW, RET_ERRNO = 0x7FFF0000, 0x00050000
def op(code, k, jt=0, jf=0):
    return struct.pack("HBBI", code, jt, jf, k)
nr, err, only_nowait = RULE
prog = [op(LD_W_ABS, 4), op(JEQ_K, AUDIT_ARCH_X86_64, 1, 0), op(RET_K, ALLOW),
        op(LD_W_ABS, 0), op(JEQ_K, nr, 0, 3 if only_nowait else 1)]
if only_nowait:
    prog += [op(LD_W_ABS, 16 + 5 * 8), op(JSET_K, RWF_NOWAIT, 0, 1)]
prog += [op(RET_K, RET_ERRNO | err), op(RET_K, ALLOW)]
code = b"".join(prog)
buf = ctypes.create_string_buffer(code, len(code))
class Fprog(ctypes.Structure):
    _fields_ = [("len", ctypes.c_ushort), ("filter", ctypes.c_void_p)]
fprog = Fprog(len(prog), ctypes.addressof(buf))
libc = ctypes.CDLL(None, use_errno=True)
libc.prctl.argtypes = [ctypes.c_int, ctypes.c_ulong, ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong]
PR_SET_NO_NEW_PRIVS, PR_SET_SECCOMP, SECCOMP_MODE_FILTER = 38, 22, 2
if libc.prctl(PR_SET_NO_NEW_PRIVS, 1, None, 0, 0) or \\
        libc.prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, ctypes.addressof(fprog), 0, 0):
    raise OSError(ctypes.get_errno(), "seccomp")
"""

CHECKS = """
import asyncio, os
import _velnor, velnor

small, big = PATH + "-small", PATH + "-big"
data = os.urandom(100_000)
large = os.urandom(5 << 20)  # above the size read as parallel chunks
for path, content in ((small, data), (big, large)):
    with open(path, "wb") as f:
        f.write(content)
    with open(path, "rb") as f:
        assert f.read() == content  # in the page cache and the dentry cache now

fd = os.open(small, os.O_RDONLY)
fast = _velnor.FastPath(fd)
fast_read = fast.read(0, 10)
fast_ok = fast.supported()
whole = _velnor.try_read_file(small)
os.close(fd)
if EXPECT_NOWAIT_READS:
    assert fast_read == data[:10] and fast_ok is True, (fast_read, fast_ok)
else:
    assert fast_read is None and fast_ok is False, (fast_read, fast_ok)
if EXPECT_CACHED_OPEN:
    assert whole == data
else:
    assert whole is None

async def main():
    assert await velnor.read_bytes(small) == data
    assert await velnor.read_bytes(big) == large
    async with velnor.open(small, "rb+", buffering=0) as f:
        assert await f.read(10) == data[:10]
        buffer = bytearray(20)
        assert await f.readinto(buffer) == 20 and buffer == data[10:30]
        assert await f.pread(5, 99_995) == data[-5:]
        assert await f.read() == data[30:]
        assert await f.seek(0) == 0 and await f.write(b"new") == 3
        assert await f.pread(4, 0) == b"new" + data[3:4]
    async with velnor.open(big, "rb", buffering=0) as f:  # read-only: tries the cached open first
        assert await f.read() == large
        assert await f.pread(3, 10) == large[10:13]
    await velnor.write_text(small, "done")
    assert await velnor.read_text(small) == "done"

asyncio.run(main())
print(velnor.backend_name())
"""


@pytest.mark.parametrize("kernel", ["current", *OLD_KERNELS])
def test_fast_paths_refuse_and_the_rest_works(kernel: str, tmp_path: Path,
                                              expected_backend: str | None) -> None:
    no_nowait = kernel in ("no-preadv2", "no-rwf-nowait", "eintr-nowait")
    settings = (f"PATH = {str(tmp_path / 'file')!r}\n"
                f"EXPECT_NOWAIT_READS = {not no_nowait}\n"
                f"EXPECT_CACHED_OPEN = {kernel == 'current'}\n"
                f"RWF_NOWAIT = {RWF_NOWAIT}\n")
    prologue = "" if kernel == "current" else f"RULE = {OLD_KERNELS[kernel]!r}\n" + FILTER
    proc = run_script(settings + prologue + CHECKS)
    if expected_backend is not None:
        assert proc.stdout.strip() == expected_backend


def test_a_write_that_every_interruption_stops_ends_at_its_cancel(tmp_path: Path) -> None:
    # Where writes run as system calls (the fallback's workers), a write
    # that is interrupted each time it is tried must still end when it is
    # cancelled; on io_uring the ring's writes are not interrupted at all.
    script = f"RULE = ({18!r}, {errno.EINTR!r}, False)\n" + FILTER + f"""
import asyncio, velnor

async def main():
    async with velnor.open({str(tmp_path / 'f')!r}, "wb", buffering=0) as f:
        task = asyncio.ensure_future(f.write(b"x" * 100))
        await asyncio.sleep(0.2)
        task.cancel()
        async with asyncio.timeout(60):
            try:
                await task
            except asyncio.CancelledError:
                pass
    print("ended")

asyncio.run(main())
"""
    assert run_script(script).stdout.split() == ["ended"]
