"""Cancelling the kernel work behind a future: cancel_ops' argument rules,
and thousands of random cancellations through Task.cancel, asyncio.timeout
and asyncio.wait_for that must never leave a buffer written after its await,
a future pending or a descriptor open."""

from __future__ import annotations

import asyncio
import os
import random
import time
from pathlib import Path

import _velnor
import pytest

from support.fds import assert_no_fd_leak, settled_fd_count
from support.files import FifoFeeder, write_fifo
from support.flags import READ_ONLY, RW, RW_CREATE
from support.loops import Runner
from velnor.futures import KernelFuture


def test_cancel_ops_arguments(run: Runner) -> None:
    assert _velnor.cancel_ops([]) is None
    assert _velnor.cancel_ops(()) is None
    assert _velnor.cancel_ops([2**64 - 1]) is None
    assert _velnor.cancel_ops(ops=range(3)) is None
    with pytest.raises(TypeError) as info:
        _velnor.cancel_ops("12")
    assert str(info.value) == "argument 'ops': Can't extract `str` to `Vec`"
    with pytest.raises(TypeError) as info:
        _velnor.cancel_ops(5)
    assert str(info.value) == "argument 'ops': 'int' object cannot be converted to 'Sequence'"
    with pytest.raises(TypeError, match="^argument 'ops': "):
        _velnor.cancel_ops([1, "2"])
    with pytest.raises(OverflowError):
        _velnor.cancel_ops([-1])
    with pytest.raises(OverflowError):
        _velnor.cancel_ops([2**64])

    async def main() -> None:
        # Nothing was sent for the refused calls: a nop submitted now is not
        # cancelled by any of them.
        assert await _velnor.probe_nop() is None

    run(main())


def test_a_cancelled_read_settles_truthfully(run: Runner, tmp_path: Path) -> None:
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    path = tmp_path / "f"
    path.write_bytes(b"done")

    async def main() -> None:
        h, _, _ = await _velnor.open(fifo, *RW)
        buf = bytearray(4)
        task = asyncio.ensure_future(_velnor.readinto(h, 0, buf))
        await _velnor.probe_nop()
        task.cancel()
        # A read that waits for a FIFO's data is withdrawn from the kernel:
        # the cancel ends it without waiting for data, and it took nothing.
        with pytest.raises(asyncio.CancelledError):
            await asyncio.wait_for(asyncio.shield(task), 5)
        assert buf == bytearray(4)
        write_fifo(fifo, b"WXYZ")
        assert await _velnor.read(h, 0, 4) == b"WXYZ"
        # An operation the driver finished before the cancel arrived keeps
        # its result.
        f, _, _ = await _velnor.open(path, *RW)
        fut = _velnor.read(f, 0, 4)
        await asyncio.sleep(0.05)
        assert not fut.cancel()
        assert await fut == b"done"
        await _velnor.close(h)
        await _velnor.close(f)

    run(main())


async def settle_all(futures: list[KernelFuture], deadline: float = 60) -> None:
    end = time.monotonic() + deadline
    while not all(f.done() for f in futures):
        assert time.monotonic() < end, "futures left pending"
        await asyncio.sleep(0.005)


async def stress(tmp_path: Path, seed: int, batches: int, per_batch: int) -> dict[str, int]:
    rng = random.Random(seed)
    data = rng.randbytes(1 << 20)
    src = tmp_path / f"src{seed}"
    src.write_bytes(data)
    dst = tmp_path / f"dst{seed}"
    fifo = tmp_path / f"fifo{seed}"
    os.mkfifo(fifo)
    feeder = FifoFeeder(fifo)
    h, _, _ = await _velnor.open(src, *RW)
    w, _, _ = await _velnor.open(dst, *RW_CREATE)
    p, _, _ = await _velnor.open(fifo, *READ_ONLY)
    futures: list[KernelFuture] = []
    # Buffers whose await has returned or raised, with the content they must
    # keep: the kernel may never touch them again.
    frozen: list[tuple[bytearray, bytes]] = []
    writes: dict[int, bytes] = {}
    outcomes = {"done": 0, "cancelled": 0}
    slot = 4096

    async def op(i: int) -> None:
        kind = rng.choice(("read", "readinto", "fifo", "parallel", "write"))
        pos = rng.randrange(0, len(data) - 8192)
        n = rng.randrange(1, 8192)
        buf = bytearray(n)
        fut: KernelFuture
        if kind == "read":
            fut = _velnor.read(h, pos, n)
        elif kind == "readinto":
            fut = _velnor.readinto(h, pos, buf)
        elif kind == "fifo":
            fut = _velnor.readinto(p, 0, buf)
        elif kind == "parallel":
            fut = _velnor.read_parallel(h, pos, n, rng.choice((512, 1000, 4096)))
        else:
            payload = rng.randbytes(slot)
            writes[i] = payload
            buf = bytearray(payload)
            fut = _velnor.write(w, i * slot, buf, False)
        futures.append(fut)
        try:
            got = await fut
        finally:
            if kind == "write":
                buf[:] = b"\xee" * len(buf)  # allowed once the await is over
            frozen.append((buf, bytes(buf)))
        if kind == "read" or kind == "parallel":
            assert got == data[pos:pos + n]
        elif kind == "readinto":
            assert got == n and buf == data[pos:pos + n]
        elif kind == "write":
            assert got == (slot, (i + 1) * slot)

    async def cancelled_somehow(i: int) -> None:
        how = rng.choice(("none", "task", "timeout", "wait_for"))
        delay = rng.choice((0, 0, 0.0001, 0.001))
        if how == "timeout":
            async with asyncio.timeout(delay):
                await op(i)
        elif how == "wait_for":
            await asyncio.wait_for(op(i), delay)
        else:
            task = asyncio.ensure_future(op(i))
            if how == "task":
                for _ in range(rng.randrange(0, 4)):
                    await asyncio.sleep(0)
                task.cancel()
            await task

    for b in range(batches):
        results = await asyncio.gather(
            *(cancelled_somehow(b * per_batch + k) for k in range(per_batch)),
            return_exceptions=True)
        for r in results:
            if isinstance(r, (asyncio.CancelledError, TimeoutError)):
                outcomes["cancelled"] += 1
            elif r is None:
                outcomes["done"] += 1
            else:
                raise r
    await settle_all(futures)
    await _velnor.close(p)
    feeder.close()
    await _velnor.close(h)
    await _velnor.close(w)
    for buf, kept in frozen:
        assert bytes(buf) == kept, "a buffer changed after its await was over"
    # Every write landed whole or not at all, and never from the buffer
    # after its await was over.
    content = dst.read_bytes()
    for i, payload in writes.items():
        region = content[i * slot:(i + 1) * slot]
        assert region in (payload, bytes(len(region)), b""), f"write {i} torn or late"
    return outcomes


def test_random_cancellations(run: Runner, tmp_path: Path) -> None:
    # Settled counts: the bridge of a closed loop goes when the loop is
    # collected or at the next new loop, whichever comes first.
    before = settled_fd_count()
    seen: dict[str, int] = {}

    async def main() -> None:
        for seed in range(3):
            outcomes = await stress(tmp_path, seed, batches=5, per_batch=200)
            for key, value in outcomes.items():
                seen[key] = seen.get(key, 0) + value

    run(main())
    assert seen["cancelled"] > 100 and seen["done"] > 100, seen
    assert_no_fd_leak(before)
