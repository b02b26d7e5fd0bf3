"""A small program written as a user would, against the installed package.

The project's type check runs `mypy --strict` on it, and a test checks it
from outside the source tree, where `velnor` and `_velnor` are found only
through site-packages; another test runs it.
"""

from __future__ import annotations

import asyncio
import sys
import tempfile
from pathlib import Path

import _velnor
import velnor


async def copy_upper(src: Path, dst: Path) -> int:
    async with velnor.open(src, "rb") as source, velnor.open(dst, "wb") as target:
        total = 0
        while chunk := await source.read(4096):
            total += await target.write(chunk.upper())
        return total


async def main(folder: Path) -> None:
    src, dst = folder / "in.txt", folder / "out.txt"
    written: int = await velnor.write_bytes(src, b"hello, typed world\n")
    copied = await copy_upper(src, dst)
    text: str = await velnor.read_text(dst)
    assert (written, copied, text) == (19, 19, "HELLO, TYPED WORLD\n")

    opener: velnor.FileOpener = velnor.open(dst, "rb+")
    f: velnor.BinaryFile = await opener
    try:
        position: int = await f.seek(-6, 2)
        tail: bytes = await f.read()
        head: bytes = await f.pread(5, 0)
        buffer = bytearray(3)
        got: int = await f.readinto(buffer)
        assert (position, tail, head, got) == (13, b"WORLD\n", b"HELLO", 0)
        await f.truncate(5)
        assert await f.size() == 5 and f.tell() == 19 and f.name == str(dst) and f.mode == "rb+"
    finally:
        await f.close()
    assert f.closed
    data: bytes = await velnor.read_bytes(dst)
    backend: str = velnor.backend_name()
    assert data == b"HELLO" and backend == _velnor.backend_name()
    assert isinstance(velnor.__version__, str)
    future: velnor.KernelFuture = _velnor.probe_nop()
    await future


if __name__ == "__main__":
    with tempfile.TemporaryDirectory() as folder:
        asyncio.run(main(Path(folder)))
    sys.exit(0)
