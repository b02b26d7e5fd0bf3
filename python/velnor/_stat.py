"""The os module's result types, built from what the extension returns."""

from __future__ import annotations

import asyncio
import os
import struct
from typing import Any

from ._pace import give_turn, turn_due

_STATVFS = struct.Struct("=11Q")


def statvfs_result(raw: bytes) -> os.statvfs_result:
    """``os.statvfs_result`` of the extension's eleven counters (f_fsid last)."""
    return os.statvfs_result(_STATVFS.unpack_from(raw))


NAMES_STEP = 16 * 1024
"""Bytes of names decoded and split in one go (about a thousand names): a
tenth of a millisecond or so, so a folder's names are turned into a list
between turns of the loop, each asked for as it comes."""


async def listing(raw: bytes, as_bytes: bool = False) -> tuple[list[Any], bytes, memoryview]:
    """Names (decoded as os.fsdecode would, or ``bytes`` with `as_bytes`),
    d_type bytes and inode numbers of the extension's directory listing."""
    (count,) = struct.unpack_from("=Q", raw)
    if count == 0:
        return [], b"", memoryview(b"").cast("Q")
    inodes = memoryview(raw)[8:8 + 8 * count].cast("Q")
    types = raw[8 + 8 * count:8 + 9 * count]
    # Every name ends with a NUL, which never occurs inside an encoded name:
    # a run of whole names decodes and splits as each name alone would.
    names: list[Any] = []
    pos, end = 8 + 9 * count, len(raw) - 1
    while True:
        cut = raw.find(b"\0", pos + NAMES_STEP, end) if pos + NAMES_STEP < end else -1
        if cut < 0:
            cut = end
        run = raw[pos:cut]
        names += run.split(b"\0") if as_bytes else os.fsdecode(run).split("\0")
        if cut == end:
            return names, types, inodes
        pos = cut + 1
        # The stretch the loop has been held counts from its last turn, not
        # from the listing's start: the completion that brought the listing
        # ran in it too.
        if turn_due():
            await give_turn()
