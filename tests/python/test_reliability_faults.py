"""Faults from the kernel reach the caller as that error, and nothing is
reported as success: a full disk (file size limit, small tmpfs), the
descriptor limit, permissions, and a file removed while open."""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
import textwrap
from pathlib import Path

import _velnor
import pytest

from support.flags import READ_ONLY, RW, RW_CREATE
from support.loops import Runner
from support.processes import failing_calls_env, run_script

# Each script runs in a fresh interpreter and finishes with "ok".
PRELUDE = """
    import asyncio, errno, os, resource, signal, sys
    import _velnor
    from support.fds import fd_count
    from support.flags import APPEND_CREATE, READ_ONLY, RW, RW_CREATE
    from support.loops import run_on

    KIND = {kind!r}

    async def fails_with(code, fut):
        try:
            got = await fut
        except OSError as e:
            assert e.errno == code, (e, code)
            return e
        raise AssertionError(f"reported success {{got!r}} instead of {{errno.errorcode[code]}}")
"""


def script(kind: str, body: str) -> str:
    return PRELUDE.format(kind=kind) + body


def in_dir(path: Path | str) -> dict[str, str | bytes | None]:
    """The environment that tells a script which directory to work in."""
    return {"VELNOR_TEST_DIR": str(path)}


FILE_SIZE_LIMIT = """
    LIMIT = 64 * 1024
    # Past the limit the kernel sends SIGXFSZ; ignored, the write fails with
    # EFBIG instead, after writing what fits.
    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (LIMIT, LIMIT))
    d = os.environ["VELNOR_TEST_DIR"]  # the test's own temporary directory
    payload = os.urandom(LIMIT + 5000)

    def content(name):
        with open(os.path.join(d, name), "rb") as f:
            return f.read()

    async def main():
        h, _, _ = await _velnor.open(os.path.join(d, "positional"), *RW_CREATE)
        await fails_with(errno.EFBIG, _velnor.write(h, 0, payload, False))
        assert content("positional") == payload[:LIMIT]
        await fails_with(errno.EFBIG, _velnor.write(h, LIMIT, b"x", False))
        await fails_with(errno.EFBIG, _velnor.set_len(h, LIMIT + 1))
        assert await _velnor.size(h) == LIMIT
        # Below the limit the handle works as before.
        assert await _velnor.write(h, 10, b"fine", False) == (4, 14)
        await _velnor.close(h)

        a, _, _ = await _velnor.open(os.path.join(d, "appended"), *APPEND_CREATE)
        assert await _velnor.write(a, 0, payload[:LIMIT - 10], True) == (LIMIT - 10, LIMIT - 10)
        await fails_with(errno.EFBIG, _velnor.write(a, 0, payload[:100], True))
        # The ten bytes that fitted stay appended.
        assert content("appended") == payload[:LIMIT - 10] + payload[:10]
        await fails_with(errno.EFBIG, _velnor.write(a, 0, b"y", True))
        await _velnor.close(a)

        await fails_with(errno.EFBIG, _velnor.write_file(os.path.join(d, "whole"), payload))
        assert content("whole") == payload[:LIMIT]
        assert await _velnor.write_file(os.path.join(d, "small"), b"small") == 5

    run_on(KIND, main())
    print("ok")
"""


SMALL_TMPFS = """
    import ctypes
    libc = ctypes.CDLL(None, use_errno=True)
    d = os.environ["VELNOR_TEST_DIR"]  # the test's own temporary directory
    try:
        # A private mount namespace: the tmpfs vanishes with this process and
        # is never seen by the rest of the system.
        os.unshare(os.CLONE_NEWNS)
    except OSError as e:
        print("skip: unshare:", e)
        sys.exit(0)
    MS_REC, MS_PRIVATE = 0x4000, 1 << 18
    if (libc.mount(b"none", b"/", None, MS_REC | MS_PRIVATE, None) != 0
            or libc.mount(b"tmpfs", d.encode(), b"tmpfs", 0, b"size=64k") != 0):
        print("skip: mount:", os.strerror(ctypes.get_errno()))
        sys.exit(0)
    big = os.urandom(256 * 1024)

    async def main():
        written = 0
        h, _, _ = await _velnor.open(os.path.join(d, "positional"), *RW_CREATE)
        await fails_with(errno.ENOSPC, _velnor.write(h, 0, big, False))
        await _velnor.close(h)
        await fails_with(errno.ENOSPC, _velnor.write_file(os.path.join(d, "whole"), big))
        a, _, _ = await _velnor.open(os.path.join(d, "appended"), *APPEND_CREATE)
        await fails_with(errno.ENOSPC, _velnor.write(a, 0, big, True))
        await _velnor.close(a)
        # What did land is a prefix of the payload, never anything else.
        for name in ("positional", "whole", "appended"):
            with open(os.path.join(d, name), "rb") as f:
                got = f.read()
            assert got == big[:len(got)] and len(got) < len(big), (name, len(got))
        # Room made again, writes succeed.
        for name in ("positional", "whole", "appended"):
            os.unlink(os.path.join(d, name))
        assert await _velnor.write_file(os.path.join(d, "small"), big[:1000]) == 1000

    run_on(KIND, main())
    print("ok")
"""


def test_full_tmpfs_gives_enospc(loop_kind: str, tmp_path: Path) -> None:
    if os.geteuid() != 0:
        pytest.skip("mounting a tmpfs needs root")
    out = run_script(script(loop_kind, SMALL_TMPFS), env=in_dir(tmp_path)).stdout
    if out.startswith("skip:"):
        pytest.skip(f"mounting a small tmpfs is not permitted here ({out.strip()})")
    assert out == "ok\n"


DESCRIPTOR_LIMIT = """
    d = os.environ["VELNOR_TEST_DIR"]  # the test's own temporary directory
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)

    async def main():
        src = os.path.join(d, "src")
        with open(src, "wb") as f:
            f.write(b"0123456789")
        # The driver and this loop's bridge exist before the limit bites.
        h, _, _ = await _velnor.open(src, *READ_ONLY)
        await _velnor.close(h)
        start = fd_count()
        highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
        resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 8, hard))
        handles = []
        for i in range(64):
            try:
                handles.append((await _velnor.open(src, *READ_ONLY))[0])
            except OSError as e:
                assert e.errno == errno.EMFILE, e
                break
        else:
            raise AssertionError("the descriptor limit was never reached")
        assert handles, "no descriptor was free below the limit"
        missing = os.path.join(d, "never-created")
        await fails_with(errno.EMFILE, _velnor.open(missing, *RW_CREATE))
        await fails_with(errno.EMFILE, _velnor.write_file(missing, b"data"))
        await fails_with(errno.EMFILE, _velnor.read_file(src, 100))
        await fails_with(errno.EMFILE, _velnor.read_file(src, 0))
        assert not os.path.exists(missing)
        # Open handles keep working at the limit.
        assert await _velnor.read(handles[0], 2, 3) == b"234"
        for h in handles:
            await _velnor.close(h)
        assert fd_count() == start
        # Descriptors freed, the same process opens, reads and writes again.
        assert await _velnor.read_file(src, 100) == b"0123456789"
        assert await _velnor.write_file(missing, b"data") == 4
        h, _, _ = await _velnor.open(src, *READ_ONLY)
        assert await _velnor.read_parallel(h, 0, 10, 4) == b"0123456789"
        await _velnor.close(h)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))

    run_on(KIND, main())
    print("ok")
"""


@pytest.mark.parametrize("body", [FILE_SIZE_LIMIT, DESCRIPTOR_LIMIT], ids=[
    "file-size-limit-gives-EFBIG-after-a-short-write",
    "descriptor-limit-gives-EMFILE-and-the-process-recovers"])
def test_resource_limits(loop_kind: str, tmp_path: Path, body: str) -> None:
    assert run_script(script(loop_kind, body), env=in_dir(tmp_path)).stdout == "ok\n"


UNPRIVILEGED = """
    import pwd
    DROP = {drop!r}
    d = os.environ["VELNOR_TEST_DIR"]

    def drop_privileges():
        # What the extension imports on first use is imported while the
        # checkout can still be read: it may sit in a folder that only its
        # owner can enter.
        import velnor.futures
        os.setgroups([])
        os.setgid(65534)
        os.setuid(65534)
        assert os.geteuid() == 65534 and os.getegid() == 65534

    async def as_root():
        # The driver thread and its ring exist before the privileges go.
        assert await _velnor.read_file(os.path.join(d, "secret"), 100) == b"secret"

    async def main():
        secret = os.path.join(d, "secret")
        readonly = os.path.join(d, "readonly")
        await fails_with(errno.EACCES, _velnor.open(secret, *READ_ONLY))
        await fails_with(errno.EACCES, _velnor.read_file(secret, 100))
        await fails_with(errno.EACCES, _velnor.read_file(secret, 0))
        assert _velnor.try_read_file(secret) is None
        await fails_with(errno.EACCES, _velnor.open(readonly, *RW))
        await fails_with(errno.EACCES, _velnor.write_file(readonly, b"changed"))
        new = os.path.join(d, "new")
        await fails_with(errno.EACCES, _velnor.write_file(new, b"x"))
        await fails_with(errno.EACCES, _velnor.open(new, *RW_CREATE))
        assert not os.path.exists(new)
        # What this user may read, it reads.
        h, size, _ = await _velnor.open(readonly, *READ_ONLY)
        assert size == 8 and await _velnor.read(h, 0, 8) == b"readonly"
        # A read-only handle refuses writes with the kernel's EBADF.
        await fails_with(errno.EBADF, _velnor.write(h, 0, b"x", False))
        await _velnor.close(h)

    if DROP == "after-start":
        run_on(KIND, as_root())
    drop_privileges()
    run_on(KIND, main())
    print("ok")
"""


@pytest.mark.parametrize("drop", ["before-start", "after-start"])
def test_permission_denied_for_an_unprivileged_user(loop_kind: str, drop: str) -> None:
    if os.geteuid() != 0:
        pytest.skip("dropping to another user needs root")
    # A directory every user can enter, but only root can write to.
    d = tempfile.mkdtemp(prefix="velnor-perm-", dir="/tmp")
    try:
        os.chmod(d, 0o755)
        Path(d, "secret").write_bytes(b"secret")
        os.chmod(Path(d, "secret"), 0o600)
        Path(d, "readonly").write_bytes(b"readonly")
        os.chmod(Path(d, "readonly"), 0o644)
        body = UNPRIVILEGED.replace("{drop!r}", repr(drop))
        proc = run_script(script(loop_kind, body), env=in_dir(d))
        assert proc.stdout == "ok\n"
        assert Path(d, "readonly").read_bytes() == b"readonly"
    finally:
        shutil.rmtree(d)


def test_removed_file_stays_usable_through_its_handle(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"

    async def main() -> None:
        h, _, _ = await _velnor.open(path, *RW_CREATE)
        assert await _velnor.write(h, 0, b"before", False) == (6, 6)
        os.unlink(path)
        assert await _velnor.write(h, 6, b" and after", False) == (10, 16)
        assert await _velnor.read(h, 0, 100) == b"before and after"
        assert await _velnor.read_parallel(h, 0, 16, 5) == b"before and after"
        assert await _velnor.size(h) == 16
        await _velnor.sync(h, True)
        await _velnor.set_len(h, 6)
        assert await _velnor.read_to_end(h, 0) == b"before"
        for fut in (_velnor.open(path, *READ_ONLY), _velnor.open(path, *RW),
                    _velnor.read_file(path, 100), _velnor.read_file(path, 0)):
            with pytest.raises(FileNotFoundError) as info:
                await fut
            assert info.value.errno == errno.ENOENT
        assert _velnor.try_read_file(path) is None
        # The name can be used again; the removed file stays separate.
        assert await _velnor.write_file(path, b"new") == 3
        assert await _velnor.read(h, 0, 100) == b"before"
        await _velnor.close(h)
        assert await _velnor.read_file(path, 100) == b"new"

    run(main())


def stdlib_read(path: str, n: int) -> bytes:
    with open(path, "rb", buffering=0) as f:
        return f.read(n)  # type: ignore[no-any-return]


def test_pseudo_files_read_as_the_standard_library_reads_them(run: Runner) -> None:
    # /proc files report a size of 0 (or 4096) whatever they hold: a size is
    # only a hint, and a read never stops at it as if at end of file.
    import velnor
    stable = ["/proc/version", "/proc/self/cmdline", "/proc/filesystems"]
    big = [4 * 1024 * 1024 - 1, 4 * 1024 * 1024, 8 * 1024 * 1024]

    async def main() -> None:
        for path in stable:
            expected = stdlib_read(path, 1 << 20)
            assert expected, path
            async with velnor.open(path, "rb", buffering=0) as f:
                for n in big:
                    assert await f.pread(n, 0) == expected, (path, n)
                    await f.seek(0)
                    assert await f.read(n) == expected, (path, n)
                await f.seek(0)
                assert await f.read() == expected, path
            assert await velnor.read_bytes(path) == expected, path
        async with velnor.open("/proc/self/status", "rb", buffering=0) as f:
            for n in big:
                assert (await f.pread(n, 0)).startswith(b"Name:"), n

    run(main())


# A C library call failed on demand in a fresh interpreter (fail_calls.c),
# where the kernel's answer is hard to bring about: the driver cannot start
# a thread, an append is interrupted, the stat after a temporary file is
# made fails. Each script ends with "ok".
FAILING_CALLS = """
    import asyncio, ctypes, errno, os, velnor, velnor.os, velnor.tempfile
    from support.fds import fd_count
    lib = ctypes.CDLL(None)
    lib.velnor_fail.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]
    lib.velnor_failed.restype = ctypes.c_long
    DIR = {dir!r}

    async def fails_with(code, make):
        try:
            await make()
        except OSError as e:
            assert e.errno == code, e
            return e
        raise AssertionError("reported success")

    async def main():
        {body}

    asyncio.run(main())
    print("ok")
"""


@pytest.mark.parametrize("body", [
    # No thread for the driver, or for the worker that would list a folder:
    # the system's EAGAIN, in os's words.
    """lib.velnor_fail(b"pthread_create", errno.EAGAIN, 1000, -1)
        e = await fails_with(errno.EAGAIN, lambda: velnor.os.listdir(DIR))
        assert type(e) is BlockingIOError and str(e).endswith("Resource temporarily unavailable"), e
        lib.velnor_fail(b"pthread_create", 0, 0, -1)
        async with velnor.open(os.path.join(DIR, "x"), "wb") as f:  # the driver runs
            await f.write(b"x")
        os.remove(os.path.join(DIR, "x"))
        if velnor.backend_name() == "compio-io-uring":  # and no worker yet (the fallback has one)
            lib.velnor_fail(b"pthread_create", errno.EAGAIN, 1000, -1)
            e = await fails_with(errno.EAGAIN, lambda: velnor.os.listdir(DIR))
            assert type(e) is BlockingIOError and e.filename == DIR, e
            lib.velnor_fail(b"pthread_create", 0, 0, -1)
        assert await velnor.os.listdir(DIR) == []
        assert lib.velnor_failed(b"pthread_create") > 0""",
    # An append interrupted once lands whole, in every mode.
    """for mode in ("ab", "a"):
            for buffering in (0, -1) if "b" in mode else (-1,):
                path = os.path.join(DIR, mode + str(buffering))
                async with velnor.open(path, mode, buffering) as f:
                    lib.velnor_fail(b"write", errno.EINTR, 1, f.fileno())
                    await f.write(b"appended" if "b" in mode else "appended")
                    await f.flush()
                with open(path, "rb") as f:
                    assert f.read() == b"appended", mode
        assert lib.velnor_failed(b"write") == 3""",
    # The stat that follows a temporary file's creation fails: its
    # descriptor is closed, and nothing is left behind.
    """for make in (velnor.tempfile.TemporaryFile, velnor.tempfile.NamedTemporaryFile):
            async def enter():
                async with make(dir=DIR):
                    pass
            await enter()  # what the first one sets up stays
            before = fd_count()
            lib.velnor_fail(b"fstat", errno.EIO, 1, -1)
            await fails_with(errno.EIO, enter)
            assert fd_count() == before and os.listdir(DIR) == []
        # A rollover that fails so keeps the content in memory, and the
        # error is the stat's; the file closes cleanly afterwards.
        async with velnor.tempfile.SpooledTemporaryFile(max_size=4, dir=DIR) as f:
            lib.velnor_fail(b"fstat", errno.EIO, 1, -1)
            await fails_with(errno.EIO, lambda: f.write(b"0123456789"))
            assert not f._rolled and os.listdir(DIR) == []
            await f.rollover()
            await f.seek(0)
            assert await f.read() == b"0123456789"
        assert fd_count() == before and os.listdir(DIR) == []""",
], ids=["thread-start", "append-eintr", "temporary-stat"])
def test_calls_failed_on_demand_give_the_systems_error_and_leave_nothing(
        tmp_path: Path, body: str) -> None:
    folder = tmp_path / "work"
    folder.mkdir()
    source = textwrap.dedent(FAILING_CALLS.format(dir=str(folder), body=body))
    assert run_script(source, env=failing_calls_env(tmp_path)).stdout == "ok\n"
