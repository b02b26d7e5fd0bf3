"""open, close, sync, set_len and size from asyncio, on both loops."""

from __future__ import annotations

import asyncio
import os
import pathlib
import threading
from pathlib import Path

import _velnor
import pytest

from support.fds import fd_count
from support.flags import RW, RW_CREATE
from support.loops import Runner
from velnor.futures import KernelFuture


def test_lifecycle_of_a_handle(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    path.write_bytes(b"0123456789")

    async def main() -> None:
        fut = _velnor.open(str(path), *RW)
        assert isinstance(fut, KernelFuture)
        handle, size, fd = await fut
        assert (type(handle), type(size), type(fd)) == (int, int, int)
        assert size == 10 and fd >= 0
        assert os.fstat(fd).st_ino == path.stat().st_ino  # the descriptor is live
        assert await _velnor.size(handle) == 10
        assert await _velnor.set_len(handle=handle, size=4) is None
        assert await _velnor.size(handle) == 4
        assert await _velnor.sync(handle, True) is None
        assert await _velnor.sync(handle, data_only=False) is None
        assert await _velnor.close(handle) is None

    run(main())
    assert path.read_bytes() == b"0123"


def test_open_flags_and_path_likes(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        h, size, _ = await _velnor.open(pathlib.PurePosixPath(tmp_path / "new"), *RW_CREATE)
        assert size == 0
        await _velnor.close(h)
        with pytest.raises(FileExistsError):
            await _velnor.open(tmp_path / "new", True, True, False, False, False, True)
        h, _, _ = await _velnor.open(tmp_path / "new", False, True, False, True, False, False)
        await _velnor.close(h)

    run(main())


def test_open_of_a_missing_path_fails_through_the_future(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        fut = _velnor.open(str(tmp_path / "missing"), True, False, False, False, False, False)
        with pytest.raises(FileNotFoundError) as info:
            await fut
        assert info.value.errno == 2
        assert info.value.strerror == "No such file or directory (os error 2)"

    run(main())


@pytest.mark.parametrize("op", [
    lambda h: _velnor.close(h),
    lambda h: _velnor.size(h),
    lambda h: _velnor.sync(h, False),
    lambda h: _velnor.set_len(h, 0),
])
def test_unknown_handles_fail_without_errno(run: Runner, op: object) -> None:
    async def main() -> None:
        for handle in (2**64 - 1, 0):
            with pytest.raises(OSError) as info:
                await op(handle)  # type: ignore[operator]
            assert type(info.value) is OSError
            assert info.value.errno is None
            assert str(info.value) == "unknown or closed velnor handle"

    run(main())


def test_close_twice(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        h, _, _ = await _velnor.open(tmp_path / "f", *RW_CREATE)
        await _velnor.close(h)
        with pytest.raises(OSError, match="^unknown or closed velnor handle$"):
            await _velnor.close(h)

    run(main())


def test_loops_on_several_threads_at_once(loop_kind: str, tmp_path: Path) -> None:
    from support.loops import run_on
    threads = 4
    barrier = threading.Barrier(threads)
    results: dict[int, object] = {}

    async def work(i: int) -> int:
        path = tmp_path / f"t{i}"
        barrier.wait()  # every loop submits while the others do
        h, _, _ = await _velnor.open(path, *RW_CREATE)
        sizes = []
        for n in range(20):
            await _velnor.set_len(h, n * 100 + i)
            sizes.append(await _velnor.size(h))
        await _velnor.sync(h, False)
        await _velnor.close(h)
        assert sizes == [n * 100 + i for n in range(20)]
        return path.stat().st_size

    def thread(i: int) -> None:
        try:
            results[i] = run_on(loop_kind, work(i))
        except BaseException as e:  # reported by the main thread
            results[i] = e

    workers = [threading.Thread(target=thread, args=(i,)) for i in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert results == {i: 1900 + i for i in range(threads)}


def test_second_run_sweeps_the_first_loops_bridge(run: Runner, tmp_path: Path) -> None:
    # Each run makes its loop's bridge (a pipe: two descriptors). The second
    # run's first submission finds the first loop closed and must drop its
    # bridge, closing that pipe, so both runs see the same count.
    async def count_after_ops() -> int:
        h, _, _ = await _velnor.open(tmp_path / "f", *RW_CREATE)
        await _velnor.size(h)
        await _velnor.close(h)
        return fd_count()

    counts = [run(count_after_ops()) for _ in range(3)]
    assert counts[0] == counts[1] == counts[2]
