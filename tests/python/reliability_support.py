"""Helpers shared by the reliability tests: process accounting, self-checking
records and a FIFO that keeps reads in flight until the test feeds it."""

from __future__ import annotations

import asyncio
import ctypes
import gc
import os
import struct
import zlib
from pathlib import Path

import _velnor

RW = (True, True, False, False, False, False)
RW_CREATE = (True, True, False, False, True, False)
READ_ONLY = (True, False, False, False, False, False)
APPEND_CREATE = (False, False, True, False, True, False)

# magic, writer, round, sequence, payload length, crc32 of the payload
_HEADER = struct.Struct("<4sHHIII")
MAGIC = b"VREC"

_LIBC = ctypes.CDLL(None)


def fd_count() -> int:
    return len(os.listdir("/proc/self/fd"))


def rss_bytes() -> int:
    """Resident memory once the C allocator has handed its free pages back,
    so that heap fragmentation does not pass for a leak."""
    gc.collect()
    _LIBC.malloc_trim(0)
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class _MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in (
        "arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks",
        "fordblks", "keepcost")]


def heap_in_use() -> int:
    """Bytes the C allocator has handed out and not had back, in every arena
    and in its own mappings: unlike RSS, blind to fragmentation and to the
    stacks of however many worker threads happen to exist."""
    gc.collect()
    _LIBC.mallinfo2.restype = _MallInfo2
    info = _LIBC.mallinfo2()
    return int(info.uordblks + info.hblkhd)


def record(writer: int, round_: int, seq: int, payload: bytes) -> bytes:
    return _HEADER.pack(MAGIC, writer, round_, seq, len(payload), zlib.crc32(payload)) + payload


def record_size(payload_len: int) -> int:
    return _HEADER.size + payload_len


def parse_records(data: bytes) -> list[tuple[int, int, int]]:
    """Splits a stream of records, failing on anything that is not a whole,
    intact record: a torn or interleaved append cannot parse."""
    out = []
    pos = 0
    while pos < len(data):
        assert len(data) - pos >= _HEADER.size, f"truncated header at {pos}"
        magic, writer, round_, seq, n, crc = _HEADER.unpack_from(data, pos)
        assert magic == MAGIC, f"no record at {pos}: {data[pos:pos + 16]!r}"
        body = data[pos + _HEADER.size:pos + _HEADER.size + n]
        assert len(body) == n and zlib.crc32(body) == crc, f"torn record at {pos}"
        out.append((writer, round_, seq))
        pos += _HEADER.size + n
    return out


async def sweep_bridges() -> None:
    """One submission from a fresh loop: building its bridge drops the bridges
    of loops that have closed, so descriptor counts become comparable."""
    await _velnor.probe_nop()


def settled_fd_count() -> int:
    asyncio.run(sweep_bridges())
    gc.collect()
    return fd_count()


def warm_settled_fd_count() -> int:
    """settled_fd_count once libuv's process-wide pipe and this thread's
    kernel-probe ring exist: both live as long as the process or thread."""
    import uvloop
    fd = os.open("/proc/self/stat", os.O_RDONLY)
    try:
        _velnor.probe_inline_read(fd, 1)
    except OSError:
        pass  # no io_uring here, so no ring either
    finally:
        os.close(fd)
    loop = uvloop.new_event_loop()
    loop.run_until_complete(sweep_bridges())
    loop.close()
    return settled_fd_count()


def feed_fifo(path: Path | str, data: bytes) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_NONBLOCK)
    try:
        os.write(fd, data)
    finally:
        os.close(fd)


def other_interpreters(workdir: Path) -> dict[str, tuple[str, dict[str, str]]]:
    """Interpreters besides this one that can load the extension built for
    this one (it is built for the stable ABI): each label maps to the
    interpreter's path and the environment that lets it import `_velnor`,
    `velnor` and these helpers. Looked for: build/py313 (a 3.13 venv that
    `make test` prepares with uvloop), then pyenv's 3.13."""
    import sys
    import velnor
    root = Path(__file__).resolve().parents[2]
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
        here = str(Path(__file__).resolve().parent)
        found["3.13"] = (str(candidate), {"PYTHONPATH": os.pathsep.join([str(lib), here])})
    if sys.version_info[:2] == (3, 13):
        found.pop("3.13", None)
    return found


def has_module(python: str, env: dict[str, str], module: str) -> bool:
    import subprocess
    return subprocess.run([python, "-c", f"import {module}"], env={**os.environ, **env},
                          capture_output=True).returncode == 0


def failed_exits(argv: list[str], env: dict[str, str], count: int, parallel: int = 6,
                 timeout: float = 120) -> list[str]:
    """Runs `argv` `count` times, `parallel` at a time, and describes every
    run that did not exit cleanly: code 0, nothing on stderr, 'leaving' on
    stdout. A run that hangs past `timeout` counts as failed."""
    import subprocess
    from concurrent.futures import ThreadPoolExecutor

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
