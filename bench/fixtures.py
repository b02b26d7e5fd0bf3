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
LINES = 200_000  # lines of the text file iterated line by line
SMALL_FILES = 2048  # 4 KiB files opened, read whole and closed one by one
FOLDER_ENTRIES = 10_000  # empty files of the folder that is listed and stat'ed


@dataclass
class Fixtures:
    root: Path
    seq: Path  # 1 MiB, cached
    regions: Path  # 64 x 64 KiB, cached
    small: Path  # one 4 KiB file, cached
    big: Path  # 256 MiB, cached
    cold: Path  # 16 MiB, evicted before every sample
    lines: Path  # LINES lines of text (about 14.5 MB), cached
    write_dir: Path
    payload: bytes  # the 64 MiB every writer writes
    many: list[Path]  # SMALL_FILES files of 4 KiB each, cached
    folder: Path  # FOLDER_ENTRIES empty files (and a few subfolders)

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
        lines=root / "lines-200k.txt",
        write_dir=root / "writes",
        payload=(block * (WRITE_SIZE // len(block))),
        many=[root / "many" / f"{i:05}.bin" for i in range(SMALL_FILES)],
        folder=root / "folder",
    )
    fx.write_dir.mkdir()
    fx.many[0].parent.mkdir()
    for i, p in enumerate(fx.many):
        # Distinct contents: no file is a copy the cache could share.
        p.write_bytes(block[(i * 64) % (len(block) - CHUNK):][:CHUNK])
    fx.folder.mkdir()
    for i in range(FOLDER_ENTRIES):
        if i % 1000 == 0:
            (fx.folder / f"dir-{i:05}").mkdir()
        else:
            (fx.folder / f"entry-{i:05}").touch()
    _fill(fx.seq, SEQ_SIZE, block)
    _fill(fx.regions, REGIONS * REGION_SIZE, block)
    _fill(fx.small, CHUNK, block)
    _fill(fx.big, BIG_SIZE if big else 0, block)
    _fill(fx.cold, COLD_SIZE, block)
    with open(fx.lines, "w", encoding="utf-8") as f:
        # Lines of 11 to 134 characters, about the 72.5 bytes on average.
        f.writelines(f"{i:08d} {'word ' * (i % 25)}\n" for i in range(LINES))
    for p in (fx.seq, fx.regions, fx.small, fx.big, fx.lines):
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
        return not is_resident(fd, pos, length)
    finally:
        os.close(fd)


def is_resident(fd: int, pos: int, length: int) -> bool:
    """Whether any page of `length` bytes at `pos` is in the page cache, asked
    with mincore: a no-wait read that misses starts the readahead, which would
    bring the page back microseconds after an eviction it was meant to check."""
    import ctypes
    import mmap

    page = mmap.PAGESIZE
    start = pos - pos % page
    size = pos + length - start
    if size <= 0 or os.fstat(fd).st_size <= start:
        return False
    libc = ctypes.CDLL(None, use_errno=True)
    libc.mincore.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_char_p]
    with mmap.mmap(fd, size, flags=mmap.MAP_PRIVATE, prot=mmap.PROT_READ | mmap.PROT_WRITE,
                   offset=start) as m:
        address = ctypes.addressof(ctypes.c_char.from_buffer(m))
        vec = ctypes.create_string_buffer((size + page - 1) // page)
        try:
            if libc.mincore(ctypes.c_void_p(address), size, vec) != 0:
                err = ctypes.get_errno()
                raise OSError(err, os.strerror(err))
            return any(b & 1 for b in vec.raw)
        finally:
            del address  # the mapping may close only once no export is left


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
