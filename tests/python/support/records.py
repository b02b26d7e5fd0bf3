"""Self-checking records for concurrent appends, and memory accounting that
sees through allocator fragmentation."""

from __future__ import annotations

import ctypes
import gc
import os
import struct
import zlib

# magic, writer, round, sequence, payload length, crc32 of the payload
_HEADER = struct.Struct("<4sHHIII")
MAGIC = b"VREC"

_LIBC = ctypes.CDLL(None)


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
