"""The data files every contestant reads and writes, and their page-cache state.

The files live on a real disk directory (under /var/tmp by default): tmpfs pages
cannot be evicted, so a cold read there would be a cached read in disguise.
"""

from __future__ import annotations

import errno
import os
import shutil
import tempfile
from dataclasses import dataclass
from pathlib import Path

KiB = 1024
MiB = 1024 * KiB

CHUNK = 4 * KiB
SEQ_SIZE = 1 * MiB  # one-at-a-time reads walk this file and wrap
REGIONS = 64  # one region per concurrent reader
REGION_SIZE = 64 * KiB
COLD_SIZE = 16 * MiB
COLD_STRIDE = 64 * KiB  # beyond the kernel's readahead window of the previous sample
BIG_SIZE = 256 * MiB
WRITE_SIZE = 64 * MiB


@dataclass
class Fixtures:
    root: Path
    seq: Path  # 1 MiB, cached
    regions: Path  # 64 x 64 KiB, cached
    small: Path  # one 4 KiB file, cached
    big: Path  # 256 MiB, cached
    cold: Path  # 16 MiB, evicted before every sample
    write_dir: Path
    payload: bytes  # the 64 MiB every writer writes

    def write_target(self, name: str) -> Path:
        return self.write_dir / f"{name}.out"

    def cleanup(self) -> None:
        shutil.rmtree(self.root, ignore_errors=True)


def _fill(path: Path, size: int, block: bytes) -> None:
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, len(block))
            f.write(block[:n])
            left -= n


def create(base: str | None = None, *, big: bool = True) -> Fixtures:
    """All files, warmed; the 256 MiB one only when `big` (a partial run may skip it)."""
    root = Path(tempfile.mkdtemp(prefix="velnor-bench-", dir=base or "/var/tmp"))
    block = os.urandom(1 * MiB)
    fx = Fixtures(
        root=root,
        seq=root / "seq-1MiB.bin",
        regions=root / "regions-4MiB.bin",
        small=root / "small-4KiB.bin",
        big=root / "big-256MiB.bin",
        cold=root / "cold-16MiB.bin",
        write_dir=root / "writes",
        payload=(block * (WRITE_SIZE // len(block))),
    )
    fx.write_dir.mkdir()
    _fill(fx.seq, SEQ_SIZE, block)
    _fill(fx.regions, REGIONS * REGION_SIZE, block)
    _fill(fx.small, CHUNK, block)
    _fill(fx.big, BIG_SIZE if big else 0, block)
    _fill(fx.cold, COLD_SIZE, block)
    for p in (fx.seq, fx.regions, fx.small, fx.big):
        warm(p)
    evict(fx.cold)
    return fx


def warm(path: Path) -> None:
    """Read the whole file once through a reused buffer, then flush it to disk.

    Flushing makes the pages clean, as a file that was read (not just written)
    would be; a dirty page behaves differently under writeback.
    """
    buf = bytearray(1 * MiB)
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        pos = 0
        while n := os.preadv(fd, [buf], pos):
            pos += n
    finally:
        os.close(fd)


def evict(path: Path, pos: int = 0, length: int = CHUNK) -> bool:
    """Drop the file's pages from the page cache; whether `length` bytes at
    `pos` are out of it now (some filesystems keep pages asked to go)."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        return not is_cached(fd, pos, length)
    finally:
        os.close(fd)


def is_cached(fd: int, pos: int, length: int) -> bool:
    """Whether `length` bytes at `pos` are resident, without pulling any page in."""
    buf = bytearray(min(length, 1 * MiB))
    end = pos + length
    while pos < end:
        view = memoryview(buf)[: min(len(buf), end - pos)]
        try:
            n = os.preadv(fd, [view], pos, os.RWF_NOWAIT)
        except BlockingIOError:
            return False
        except OSError as e:
            if e.errno != errno.EOPNOTSUPP:
                raise
            # No no-wait reads here (tmpfs): its pages never leave memory.
            return True
        if n <= 0:
            return n == 0
        pos += n
    return True


def fully_cached(path: Path) -> bool:
    fd = os.open(path, os.O_RDONLY)
    try:
        return is_cached(fd, 0, os.fstat(fd).st_size)
    finally:
        os.close(fd)
