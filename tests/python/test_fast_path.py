"""FastPath, try_read_file and the kernel probes: page-cache hits are served
on the calling thread, and everything that would have to wait answers None
(or False), never blocking and never raising for an I/O condition.

The files live in `disk_dir`, not pytest's temporary folder: where that is a
tmpfs (a common /tmp), its pages cannot be evicted and its no-wait reads are
refused, so no test here could tell a hit from a miss."""

from __future__ import annotations

import os
import shutil
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable, Iterator
from pathlib import Path

import _velnor
import pytest

from support.fds import fd_count
from support.files import evict
from support.processes import run_script

DATA = bytes(range(256)) * 64  # 16 KiB


@pytest.fixture
def cached(disk_dir: Path) -> Iterator[tuple[Path, int]]:
    path = disk_dir / "cached"
    path.write_bytes(DATA)
    fd = os.open(path, os.O_RDONLY)
    os.pread(fd, len(DATA), 0)  # resident
    yield path, fd
    os.close(fd)


def test_cached_reads_return_the_data(cached: tuple[Path, int]) -> None:
    _, fd = cached
    fp = _velnor.FastPath(fd)
    assert fp.read(0, 100) == DATA[:100]
    assert fp.read(len(DATA) - 5, 10) == DATA[-5:]  # across end of file
    assert fp.read(len(DATA), 10) == b"" and fp.read(len(DATA) + 99, 1) == b""
    assert fp.read(0, 0) is None
    assert fp.read_all(0) == DATA and fp.read_all(100) == DATA[100:]
    assert fp.read_all(len(DATA)) == b"" and fp.read_all(len(DATA) + 5) == b""
    buf = bytearray(b"#" * 32)
    assert fp.readinto(len(DATA) - 8, buf) == 8 and buf[:8] == DATA[-8:] and buf[8:] == b"#" * 24
    assert fp.readinto(0, bytearray(0)) is None
    assert fp.size() == len(DATA)
    assert fp.supported() is True


def test_pages_not_in_the_cache_are_refused(cached: tuple[Path, int]) -> None:
    path, fd = cached
    fp = _velnor.FastPath(fd)
    # A refused no-wait read may still start readahead, so every check gets
    # freshly evicted pages.
    checks = [
        lambda: fp.read(0, 4096) is None,
        lambda: fp.readinto(0, bytearray(4096)) is None,
        lambda: fp.read_all(0) is None,
        lambda: fp.supported() is True,  # no-wait reads work, the data just is not there
        lambda: fp.size() == len(DATA),  # metadata needs no data pages
    ]
    # Readahead a previous check started may land after the eviction and
    # bring the pages back: a check gets a few fresh evictions to see them gone.
    def after_eviction(check: Callable[[], bool]) -> bool:
        for _ in range(20):
            evict(path, required=False)
            if check():
                return True
            time.sleep(0.01)
        return False

    for check in checks:
        assert after_eviction(check)

    def refused() -> bool:
        try:
            _velnor.probe_pread_nowait(fd, 4096)
        except BlockingIOError:
            return True
        return False

    assert after_eviction(refused)
    os.pread(fd, len(DATA), 0)
    assert fp.read(0, 4096) == DATA[:4096]

    # The first page cached, the rest not: a read to the end stops short
    # there and must refuse, never hand back the part it got.
    def tail_missing() -> bool:
        os.pread(fd, len(DATA), 0)
        os.posix_fadvise(fd, 4096, 0, os.POSIX_FADV_DONTNEED)
        got = fp.read_all(0)
        assert got is None or got == DATA
        return got is None

    assert any(tail_missing() for _ in range(20))


@pytest.mark.parametrize("size", [0, 1, 4095, 4096, 4097, 8192])
def test_whole_cached_files_at_page_edges(disk_dir: Path, size: int) -> None:
    # The end is confirmed in the same read as the data; at a page edge the
    # next page does not exist, which must not look like a missing page.
    path = disk_dir / "f"
    data = DATA[:size] if size <= len(DATA) else DATA * 2
    path.write_bytes(data)
    path.read_bytes()
    assert _velnor.try_read_file(path) == data
    assert _velnor.try_read_file_max(path, size) == data
    fd = os.open(path, os.O_RDONLY)
    try:
        fp = _velnor.FastPath(fd)
        assert fp.read_all(0) == data and fp.read_all(size // 2) == data[size // 2:]
    finally:
        os.close(fd)


def test_things_that_are_not_regular_files(disk_dir: Path) -> None:
    r, w = os.pipe()
    os.write(w, b"pipe data")
    dir_fd = os.open(disk_dir, os.O_RDONLY | os.O_DIRECTORY)
    null = os.open("/dev/null", os.O_RDONLY)
    try:
        for fd in (r, dir_fd):
            fp = _velnor.FastPath(fd)
            assert fp.read(0, 4) is None and fp.read_all(0) is None
            assert fp.readinto(0, bytearray(4)) is None
            assert fp.size() is None and fp.supported() is False
        dev = _velnor.FastPath(null)
        assert dev.size() is None and dev.read_all(0) is None
        assert os.read(r, 100) == b"pipe data"  # the fast path consumed nothing
        for fd in (-1, -100):
            fp = _velnor.FastPath(fd)
            assert fp.read(0, 4) is None and fp.read_all(0) is None and fp.size() is None
            assert fp.readinto(0, bytearray(1)) is None and fp.supported() is False
    finally:
        for fd in (r, w, dir_fd, null):
            os.close(fd)


def test_offsets_beyond_the_signed_range(cached: tuple[Path, int]) -> None:
    fp = _velnor.FastPath(cached[1])
    assert fp.read(2**63, 1) is None
    assert fp.read(2**64 - 1, 1) is None
    assert fp.readinto(2**63, bytearray(2)) is None
    # Far past the end, read_all has nothing to read and confirms the end.
    assert fp.read_all(2**64 - 1) == b""


def test_a_size_that_moved_is_refused(disk_dir: Path) -> None:
    # /proc files report size 0 yet have content: the end-of-file check sees
    # data past the snapshot, exactly as for a file that grew meanwhile.
    fd = os.open("/proc/self/status", os.O_RDONLY)
    try:
        fp = _velnor.FastPath(fd)
        assert fp.size() == 0
        assert fp.read_all(0) is None
    finally:
        os.close(fd)
    assert _velnor.try_read_file("/proc/self/status") is None


def test_argument_errors(cached: tuple[Path, int]) -> None:
    fp = _velnor.FastPath(cached[1])
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        _velnor.FastPath(2**31)
    with pytest.raises(TypeError, match="^argument 'fd': "):
        _velnor.FastPath("3")
    with pytest.raises(OverflowError):
        fp.read(0, -1)
    with pytest.raises(ValueError, match="^readinto needs a writable buffer$"):
        fp.readinto(0, b"x")
    with pytest.raises(ValueError, match="^buffer must be C-contiguous$"):
        fp.readinto(0, memoryview(bytearray(8))[::2])
    with pytest.raises(TypeError, match=r"^FastPath\.read\(\) missing 1 required positional argument: 'len'$"):
        fp.read(0)
    with pytest.raises(TypeError, match=r"^FastPath\.__new__\(\) missing 1 required positional argument: 'fd'$"):
        _velnor.FastPath()
    assert _velnor.FastPath(fd=cached[1]).read(pos=0, len=3) == DATA[:3]
    with pytest.raises(TypeError):
        type("Sub", (_velnor.FastPath,), {})
    assert not hasattr(fp, "__dict__")
    assert _velnor.FastPath.__text_signature__ == "(fd)"
    assert _velnor.FastPath.__doc__ == (
        "Per-file fast-path state, owned by the Python `BinaryFile` for as long as\nthe file is open.")


def test_reentrant_use_raises_instead_of_waiting(cached: tuple[Path, int]) -> None:
    fp = _velnor.FastPath(cached[1])

    class Sneaky:
        # Exporting the buffer calls back into the same object mid-call.
        def __buffer__(self, flags: int) -> memoryview:
            fp.read(0, 1)
            return memoryview(bytearray(4))

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        fp.readinto(0, Sneaky())
    assert fp.read(0, 2) == DATA[:2]  # the borrow was given back


def test_try_read_file(disk_dir: Path) -> None:
    path = disk_dir / "whole"
    path.write_bytes(DATA)
    path.read_bytes()
    assert _velnor.try_read_file(str(path)) == DATA
    assert _velnor.try_read_file(path) == DATA
    empty = disk_dir / "empty"
    empty.write_bytes(b"")
    assert _velnor.try_read_file(empty) == b""
    assert _velnor.try_read_file(disk_dir) is None
    assert _velnor.try_read_file("/dev/null") is None
    assert _velnor.try_read_file(str(disk_dir / "missing")) is None
    assert _velnor.try_read_file(str(path) + "\0x") is None
    with pytest.raises(TypeError, match="^argument 'path': 'bytes' object cannot be converted to 'PyString'$"):
        _velnor.try_read_file(bytes(path))
    # A no-wait read of evicted pages still starts readahead, and a disk the
    # host caches can finish it within the call, so an evicted file is now
    # and then served (in runs of ten and more on a busy machine). A fast
    # path that waited for the disk would serve it every time.
    for _ in range(200):
        evict(path, required=False)
        if _velnor.try_read_file(path) is None:
            break
    else:
        raise AssertionError("an evicted file was served from the cache 200 times")
    fifo = disk_dir / "fifo"
    os.mkfifo(fifo)
    # Opening a FIFO for reading waits for a writer; the fast path must not.
    assert _velnor.try_read_file(fifo) is None


def test_try_read_file_needs_cached_dentries(disk_dir: Path) -> None:
    path = disk_dir / "cold"
    path.write_bytes(DATA)
    os.sync()
    try:
        Path("/proc/sys/vm/drop_caches").write_text("2\n")
    except OSError as exc:
        pytest.skip(f"cannot drop the dentry cache here: {exc}")
    assert _velnor.try_read_file(path) is None
    path.read_bytes()  # an ordinary read warms the dentry, inode and pages
    assert _velnor.try_read_file(path) == DATA


def test_no_descriptor_is_left_behind(disk_dir: Path) -> None:
    path = disk_dir / "f"
    path.write_bytes(DATA)
    before = fd_count()
    for _ in range(200):
        assert _velnor.try_read_file(path) == DATA
        _velnor.try_read_file(disk_dir)
        _velnor.try_read_file("/proc/self/status")
    assert fd_count() == before


@pytest.mark.parametrize("name", ["probe_pread_nowait", "probe_inline_read"])
def test_kernel_probes(cached: tuple[Path, int], disk_dir: Path, name: str,
                       expected_backend: str | None) -> None:
    _, fd = cached
    probe = getattr(_velnor, name)
    if name == "probe_inline_read" and expected_backend == "compio-polling":
        with pytest.raises(OSError):
            probe(fd, 8)
        return
    assert probe(fd, 4096) == DATA[:4096]
    if name == "probe_inline_read":
        assert probe(fd, 0) == b""
    else:
        small = disk_dir / "small"
        small.write_bytes(b"0123456789")
        sfd = os.open(small, os.O_RDONLY)
        try:
            got = probe(sfd, 4096)
            assert len(got) == 4096 and got[:10] == b"0123456789" and got[10:] == bytes(4086)
        finally:
            os.close(sfd)
    with pytest.raises(OSError) as info:
        probe(-1, 8)
    assert info.value.errno == 9
    with pytest.raises(OverflowError):
        probe(2**31, 1)


def test_probe_ring_is_per_thread_and_released_with_it(disk_dir: Path,
                                                       expected_backend: str | None) -> None:
    if expected_backend == "compio-polling":
        pytest.skip("io_uring is unavailable on this backend")
    strace = shutil.which("strace")
    if strace is None or subprocess.run([strace, "-o", os.devnull, "true"],
                                        capture_output=True).returncode != 0:
        # In a fresh process: no driver, so every io_uring descriptor is a probe's.
        assert run_script(PER_THREAD_RING_SCRIPT).stdout.strip() == "ok"
        return
    # A ring built and torn down on every call would keep the descriptor
    # count at one too; counting the io_uring_setup calls tells them apart.
    trace = disk_dir / "trace"
    proc = subprocess.run(
        [strace, "-f", "-qq", "-o", str(trace), "-e", "trace=io_uring_setup",
         sys.executable, "-c",
         f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
         + textwrap.dedent(PER_THREAD_RING_SCRIPT)],
        capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stdout.strip() == "ok", proc.stderr
    setups = [line for line in trace.read_text().splitlines() if "io_uring_setup(64" in line]
    # The main thread, the two workers and the last thread: one ring each.
    assert len(setups) == 4, setups


PER_THREAD_RING_SCRIPT = """
        import os, threading, time, _velnor
        from support.fds import uring_fds
        def settled(want, probe):
            # A joined Python thread runs its C++ thread-exit handlers a
            # moment later.
            for _ in range(200):
                if probe() == want:
                    return True
                time.sleep(0.01)
            return False
        fd = os.open("/proc/self/exe", os.O_RDONLY)
        assert uring_fds() == 0
        for _ in range(500):
            _velnor.probe_inline_read(fd, 64)
        assert uring_fds() == 1, uring_fds()
        seen = []
        def worker():
            for _ in range(50):
                _velnor.probe_inline_read(fd, 64)
            seen.append(uring_fds())
        threads = [threading.Thread(target=worker) for _ in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert max(seen) >= 2 and all(n <= 3 for n in seen), seen
        assert settled(1, uring_fds), uring_fds()
        def rings_mapped():
            with open("/proc/self/maps") as f:
                return f.read().count("io_uring")
        maps = rings_mapped()
        t = threading.Thread(target=lambda: _velnor.probe_inline_read(fd, 64)); t.start(); t.join()
        assert settled(maps, rings_mapped) and settled(1, uring_fds)
        print("ok")
    """


def test_a_read_in_steps_fills_one_object_and_confirms_the_end(disk_dir: Path) -> None:
    path = disk_dir / "steps"
    data = bytes(range(256)) * 1024 + b"tail"  # 256 KiB and 4 bytes
    path.write_bytes(data)
    with open(path, "rb") as f:
        fd = f.fileno()
        f.read()  # resident
        steps = _velnor.StepRead(fd, 0, len(data))
        with pytest.raises(RuntimeError):
            steps.take()  # nothing to take before the end is confirmed
        # 100,000 and 200,000 bytes in, then the rest and the end; complete stays complete.
        answers = [steps.step(100_000) for _ in range(4)]
        assert answers == [False, False, True, True]
        assert steps.take() == data
        with pytest.raises(RuntimeError):
            steps.take()  # once only

        # From an offset; an empty rest confirms the end at once.
        assert _velnor.StepRead(fd, 10, len(data) - 10).step(1 << 20) is True
        empty = _velnor.StepRead(fd, len(data), 0)
        assert empty.step(1) is True and empty.take() == b""

        # The file grew, or shrank, since its size was taken: spent, nothing kept.
        assert _velnor.StepRead(fd, 0, len(data) - 1).step(1 << 20) is None
        longer = _velnor.StepRead(fd, 0, len(data) + 1)
        assert longer.step(1 << 20) is None and longer.step(1 << 20) is None
        with pytest.raises(RuntimeError):
            longer.take()

        # A step that meets a page not in the cache refuses without waiting.
        partial = _velnor.StepRead(fd, 0, len(data))
        assert partial.step(4096) is False
        evict(path)
        assert partial.step(1 << 20) is None and partial.step(1 << 20) is None

    with pytest.raises(OverflowError):
        _velnor.StepRead(0, 0, -1)
