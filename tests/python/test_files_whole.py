"""read_bytes, write_bytes, read_text and write_text beside pathlib's, and
their behaviour when cancelled or failing: nothing may leak."""

from __future__ import annotations

import array
import asyncio
import itertools
import os
from pathlib import Path
from typing import Any

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _velnor
import velnor
from support.fds import assert_no_fd_leak, fd_count, settled_fd_count
from support.files import evict, pattern, wait_for_state
from support.loops import Runner
from velnor._kernel import INLINE_COPY_MAX, INLINE_STEP, PARALLEL_MIN


@pytest.mark.parametrize("size", [0, 10, PARALLEL_MIN, PARALLEL_MIN + 1, 3 * PARALLEL_MIN + 5])
@pytest.mark.parametrize("cold", [False, True], ids=["cached", "cold"])
def test_read_bytes_and_write_bytes_round_trip(run: Runner, disk_dir: Path, size: int,
                                               cold: bool) -> None:
    data = pattern(size, seed=size)
    path = disk_dir / "f"

    async def main() -> None:
        assert await velnor.write_bytes(path, data) == size
        assert path.read_bytes() == data
        if cold:
            evict(path)
        assert await velnor.read_bytes(path) == data
        assert await velnor.read_bytes(os.fsencode(path)) == data

    before = settled_fd_count()
    run(main())
    assert_no_fd_leak(before)


def test_write_bytes_takes_any_contiguous_buffer(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "f"
    numbers = array.array("i", [1, 2, 3])

    async def main() -> None:
        await velnor.write_bytes(path, b"old content, longer")
        assert await velnor.write_bytes(path, numbers) == numbers.itemsize * 3
        assert path.read_bytes() == numbers.tobytes()  # truncated first, like pathlib
        assert await velnor.write_bytes(path, memoryview(bytearray(b"xyz"))) == 3
        assert await velnor.read_bytes(path) == b"xyz"
        with pytest.raises(TypeError):
            await velnor.write_bytes(path, "text")
        with pytest.raises(BufferError):
            await velnor.write_bytes(path, memoryview(b"abcdef")[::2])

    run(main())
    assert path.read_bytes() == b"xyz"


def test_whole_file_errors_are_those_of_pathlib(run: Runner, tmp_path: Path) -> None:
    async def main() -> None:
        for ours, theirs in [
            (lambda: velnor.read_bytes(tmp_path / "missing"),
             lambda: (tmp_path / "missing").read_bytes()),
            (lambda: velnor.read_bytes(tmp_path), lambda: tmp_path.read_bytes()),
            (lambda: velnor.write_bytes(tmp_path / "no" / "f", b""),
             lambda: (tmp_path / "no" / "f").write_bytes(b"")),
            (lambda: velnor.write_bytes(tmp_path, b"x"), lambda: tmp_path.write_bytes(b"x")),
            (lambda: velnor.read_text(tmp_path / "missing"),
             lambda: (tmp_path / "missing").read_text()),
        ]:
            with pytest.raises(OSError) as expected:
                theirs()
            with pytest.raises(type(expected.value)) as got:
                await ours()
            assert got.value.errno == expected.value.errno
            assert got.value.filename == expected.value.filename
        with pytest.raises(ValueError, match="embedded null byte"):
            await velnor.read_bytes(str(tmp_path / "a\0b"))
        with pytest.raises(TypeError):
            await velnor.write_text(tmp_path / "f", b"bytes")  # type: ignore[arg-type]

    before = settled_fd_count()
    run(main())
    assert_no_fd_leak(before)


TEXT_ARGS = st.fixed_dictionaries({
    "encoding": st.sampled_from(["utf-8", "utf-16", "latin-1", "ascii", "utf-8-sig"]),
    "errors": st.sampled_from(["strict", "replace", "surrogateescape", "ignore"]),
    "newline": st.sampled_from([None, "", "\n", "\r", "\r\n"]),
})


@settings(max_examples=30, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=st.text(alphabet=st.characters(codec="utf-8") | st.sampled_from("\r\n\xe9"),
                    max_size=40),
       args=TEXT_ARGS)
def test_text_helpers_match_pathlib(run: Runner, tmp_path: Path, text: str,
                                    args: dict[str, Any]) -> None:
    ours, theirs = tmp_path / "ours", tmp_path / "theirs"

    def expect(call: Any) -> Any:
        try:
            return call()
        except (UnicodeError, ValueError) as exc:
            return type(exc)

    async def attempt(call: Any) -> Any:
        try:
            return await call()
        except (UnicodeError, ValueError) as exc:
            return type(exc)

    async def main() -> None:
        expected = expect(lambda: theirs.write_text(text, **args))
        assert await attempt(lambda: velnor.write_text(ours, text, **args)) == expected
        if isinstance(expected, int):
            assert ours.read_bytes() == theirs.read_bytes()
            reading = {"encoding": args["encoding"], "errors": args["errors"]}
            assert await attempt(lambda: velnor.read_text(ours, **reading)) == \
                expect(lambda: theirs.read_text(**reading))

    run(main())


def test_read_bytes_cancelled_while_filling_a_large_file_closes_it(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = disk_dir / "big"
    path.write_bytes(pattern(8 * PARALLEL_MIN))
    before = settled_fd_count()
    chunked: list[Any] = []
    real_read_parallel = _velnor.read_parallel

    def recording_read_parallel(*args: Any) -> Any:
        fut = real_read_parallel(*args)
        chunked.append(fut)
        return fut

    monkeypatch.setattr(_velnor, "read_parallel", recording_read_parallel)

    def filling() -> bool:
        # The file is open and its chunks are on the driver, whichever road
        # (opened here or by the driver) led there.
        return any(not fut.done() for fut in chunked)

    async def main() -> None:
        # This loop's bridge, and its doorbell pipe, exist before the counts.
        await _velnor.probe_nop()
        for _ in range(3):
            evict(path)
            fds = fd_count()
            task = asyncio.ensure_future(velnor.read_bytes(path))
            await wait_for_state(lambda: filling() or task.done())
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            # The handle was closed before the cancellation reached the caller.
            assert fd_count() == fds
        # Cancelled at every early stage: before and while the driver opens it.
        for turns in itertools.chain(range(6), [10, 20]):
            evict(path)
            task = asyncio.ensure_future(velnor.read_bytes(path))
            for _ in range(turns):
                await asyncio.sleep(0)
            task.cancel()
            try:
                assert len(await task) == 8 * PARALLEL_MIN
            except asyncio.CancelledError:
                pass
        assert not filling()

    run(main())
    assert_no_fd_leak(before)


def test_read_bytes_copies_a_cached_file_in_steps_with_turns_between(
        run: Runner, disk_dir: Path, monkeypatch: pytest.MonkeyPatch) -> None:
    path = disk_dir / "f"
    turns: list[int] = []
    changes: list[Any] = []

    async def give_turn() -> None:
        # Every step boundary is a turn here; a change queued for the turn
        # happens while the read waits for it.
        turns.append(1)
        if changes:
            changes.pop(0)()
        await asyncio.sleep(0)

    monkeypatch.setattr(velnor._whole_file, "turn_due", lambda: True)
    monkeypatch.setattr(velnor._whole_file, "give_turn", give_turn)

    async def read(size: int) -> bytes:
        data = pattern(size, seed=size)
        path.write_bytes(data)
        path.read_bytes()  # cached
        turns.clear()
        got = await velnor.read_bytes(path)
        return got

    async def main() -> None:
        await _velnor.probe_nop()  # the loop's bridge exists before the counts
        fds = fd_count()
        for size in (INLINE_STEP - 1, INLINE_STEP, INLINE_STEP + 1, INLINE_COPY_MAX, INLINE_COPY_MAX + 1):
            assert await read(size) == pattern(size, seed=size)
            steps = -(-size // INLINE_STEP) if size <= INLINE_COPY_MAX else 0
            # One turn before the open, one between each two steps.
            assert len(turns) == 1 + max(0, steps - 1), size
            assert fd_count() == fds

        # The file changes between two steps: what is read is what is there
        # at the end, through the driver, as a read that started then.
        grown = pattern(INLINE_COPY_MAX - 10, seed=1)
        changes.extend([lambda: None, lambda: path.write_bytes(grown)])
        assert await read(INLINE_COPY_MAX - 20) == grown
        shrunk = pattern(1000, seed=2)
        changes.extend([lambda: None, lambda: path.write_bytes(shrunk)])
        assert await read(INLINE_COPY_MAX - 20) == shrunk
        assert fd_count() == fds

        # Cancelled while waiting for a turn between steps: nothing stays open.
        path.write_bytes(pattern(INLINE_COPY_MAX))
        path.read_bytes()
        for between in range(1, 4):
            turns.clear()
            task = asyncio.ensure_future(velnor.read_bytes(path))
            while len(turns) <= between and not task.done():
                await asyncio.sleep(0)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert fd_count() == fds

    run(main())


def test_failing_and_cancelled_whole_file_calls_leave_no_descriptor(
        run: Runner, tmp_path: Path) -> None:
    (tmp_path / "small").write_bytes(b"abc")
    before = settled_fd_count()

    async def main() -> None:
        for turns in range(6):
            calls = [velnor.read_bytes(tmp_path / "missing"), velnor.read_bytes(tmp_path / "small"),
                     velnor.write_bytes(tmp_path / "out", b"data"), velnor.read_bytes(tmp_path)]
            tasks = [asyncio.ensure_future(c) for c in calls]
            for _ in range(turns):
                await asyncio.sleep(0)
            for task in tasks[::2]:
                task.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

    run(main())
    assert_no_fd_leak(before)


def _vm_flags_at(address: int) -> list[str]:
    """The VmFlags of this process's mapping that holds `address`."""
    inside = False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            head = line.split(maxsplit=1)[0]
            if "-" in head and not head.endswith(":"):
                start, end = (int(x, 16) for x in head.split("-"))
                inside = start <= address < end
            elif inside and head == "VmFlags:":
                return line.split()[1:]
    raise AssertionError(f"no mapping holds {address:#x}")


def test_a_large_fresh_object_asks_for_huge_pages_only_where_they_pay(run: Runner, disk_dir: Path) -> None:
    # A machine that hands its free huge-page blocks back to a host (free
    # page reporting at a huge page's order or less) has to get each fresh
    # huge page back from the host at first touch, several times what the
    # small pages cost: there the object keeps small pages.
    if not os.path.isdir("/sys/kernel/mm/transparent_hugepage"):
        pytest.skip("no transparent huge pages in this kernel")
    try:
        with open("/sys/module/page_reporting/parameters/page_reporting_order") as f:
            order = int(f.read())
    except (OSError, ValueError):
        order = -1
    huge_order = (2 * 1024 * 1024 // os.sysconf("SC_PAGE_SIZE")).bit_length() - 1
    hands_back = 0 <= order <= huge_order
    size = 16 * 1024 * 1024
    path = disk_dir / "big"
    expected = pattern(size)
    path.write_bytes(expected)
    data = run(velnor.read_bytes(path))
    assert data == expected
    flags = _vm_flags_at(id(data) + size // 2)
    assert ("hg" in flags) is not hands_back, (order, flags)
