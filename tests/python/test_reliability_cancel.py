"""A cancel always ends the wait, promptly: timeouts around reads of pipes
and FIFOs that get no data or never stop producing, reads of /dev/zero, a
FIFO open without a writer, a close behind a parked read, and Ctrl-C; idle
pipes never starve file work; running out of memory fails one request, not
the process. Each case runs in a fresh interpreter, so that a wait that
never ends fails its test instead of hanging the run."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
from pathlib import Path

from support.processes import run_script

# Each script runs in a fresh interpreter and finishes with "ok".
PRELUDE = """
    import asyncio, errno, os, resource, threading, time
    import _velnor, velnor
    from support.loops import run_on

    KIND = {kind!r}
    DIR = os.environ["VELNOR_TEST_DIR"]

    def fifo(name):
        path = os.path.join(DIR, name)
        os.mkfifo(path)
        return path

    async def ends_promptly(what, awaitable, timeout=0.1, limit=0.5):
        # Generous for a loaded two-core machine; a wait that is not
        # withdrawn lasts seconds or for ever.
        started = time.monotonic()
        try:
            async with asyncio.timeout(timeout):
                await awaitable
        except TimeoutError:
            pass
        took = time.monotonic() - started
        assert took < limit, f"{{what}}: the timeout took effect after {{took:.2f}} s"

    async def still_serves():
        path = os.path.join(DIR, "regular")
        assert await velnor.write_bytes(path, b"regular") == 7
        assert await velnor.read_bytes(path) == b"regular"
"""


def script(kind: str, body: str) -> str:
    return PRELUDE.format(kind=kind) + body


RUN_MAIN = """
    run_on(KIND, main())
    print("ok")
"""


def run_case(kind: str, body: str, tmp_path: Path, timeout: float = 60) -> None:
    # A body that only defines main() is run by the usual ending.
    source = script(kind, body if "run_on(" in body else body + RUN_MAIN)
    proc = run_script(source, env={"VELNOR_TEST_DIR": str(tmp_path)}, timeout=timeout)
    assert proc.stdout == "ok\n"


IDLE_AND_BUSY_PIPES = """
    async def main():
        idle = fifo("idle")
        # Held open for writing: the FIFO has a writer, so reads wait for data
        # instead of seeing end of file.
        keep = os.open(idle, os.O_RDWR | os.O_NONBLOCK)
        f = await velnor.open(idle, "rb", buffering=0)
        await ends_promptly("read(n) of an idle FIFO", f.read(10))
        await ends_promptly("read() of an idle FIFO", f.read())
        await ends_promptly("read_bytes of an idle FIFO", velnor.read_bytes(idle))

        # A FIFO that keeps producing has no end to read to.
        stop = threading.Event()
        def produce():
            chunk = b"x" * 65536
            while not stop.is_set():
                try:
                    os.write(keep, chunk)
                except BlockingIOError:
                    time.sleep(0.001)
        producer = threading.Thread(target=produce)
        producer.start()
        try:
            await ends_promptly("read() of a producing FIFO", f.read())
            await ends_promptly("read_bytes of a producing FIFO", velnor.read_bytes(idle))
        finally:
            stop.set()
            producer.join()
        await f.close()
        os.close(keep)

        # A pipe handed over as a descriptor is a stream to the driver too.
        r, w = os.pipe()
        for mode, buffering in (("rb", 0), ("rb", -1), ("r", -1)):
            f = await velnor.open(r, mode, buffering=buffering, closefd=False)
            await ends_promptly(f"read of a pipe by descriptor ({mode}, {buffering})", f.read(10))
            await f.close()
        os.close(r)
        os.close(w)

        zero = await velnor.open("/dev/zero", "rb", buffering=0)
        await ends_promptly("read() of /dev/zero", zero.read())
        await zero.close()
        await ends_promptly("read_bytes of /dev/zero", velnor.read_bytes("/dev/zero"))
        await still_serves()
"""


def test_timeouts_end_reads_of_idle_and_endless_streams(loop_kind: str, tmp_path: Path) -> None:
    run_case(loop_kind, IDLE_AND_BUSY_PIPES, tmp_path)


OPEN_AND_CLOSE = """
    async def main():
        lonely = fifo("lonely")
        opened = []
        async def open_it():
            opened.append(await velnor.open(lonely, "rb", buffering=0))
        # Without a writer open(2) waits; a cancel must end that wait.
        await ends_promptly("open of a FIFO without a writer", open_it())
        for f in opened:
            await f.close()

        parked = fifo("parked")
        keep = os.open(parked, os.O_RDWR | os.O_NONBLOCK)
        f = await velnor.open(parked, "rb", buffering=0)
        reader = asyncio.ensure_future(f.read(10))
        await asyncio.sleep(0.05)
        await ends_promptly("close behind a parked read", f.close())
        # Cancelling the parked read ends it, and the close goes through.
        reader.cancel()
        await ends_promptly("the cancelled read", asyncio.wait([reader]), timeout=5)
        assert reader.cancelled()
        await ends_promptly("the close", f.close(), timeout=5)
        os.close(keep)
        await still_serves()
"""


def test_timeouts_end_a_fifo_open_and_a_close_behind_a_parked_read(loop_kind: str,
                                                                   tmp_path: Path) -> None:
    run_case(loop_kind, OPEN_AND_CLOSE, tmp_path)


IDLE_FIFOS_AND_FILE_WORK = """
    # More idle reads than the worker pool has threads (256): the fallback
    # must not park a worker in each of them.
    resource.setrlimit(resource.RLIMIT_NOFILE, (4096, 4096))
    N = 300

    async def main():
        keep, files, reads = [], [], []
        for i in range(N):
            path = fifo(f"f{i}")
            keep.append(os.open(path, os.O_RDWR | os.O_NONBLOCK))
            files.append(await velnor.open(path, "rb", buffering=0))
        for f in files:
            reads.append(asyncio.ensure_future(f.read(1)))
        await asyncio.sleep(0.1)
        started = time.monotonic()
        async with asyncio.timeout(10):
            await still_serves()
        took = time.monotonic() - started
        assert took < 2, f"file work waited {took:.2f} s behind idle FIFOs"
        for r in reads:
            r.cancel()
        async with asyncio.timeout(10):
            await asyncio.gather(*reads, return_exceptions=True)
        for f in files:
            await f.close()
        for fd in keep:
            os.close(fd)
"""


def test_idle_fifos_never_starve_file_work(loop_kind: str, tmp_path: Path) -> None:
    run_case(loop_kind, IDLE_FIFOS_AND_FILE_WORK, tmp_path)


PARKED_PROGRAM = """
    import asyncio, os, sys
    import velnor

    async def main():
        path = sys.argv[1]
        keep = os.open(path, os.O_RDWR | os.O_NONBLOCK)
        async with velnor.open(path, "rb", buffering=0) as f:
            print("parked", flush=True)
            await f.read(10)

    asyncio.run(main())
"""


def test_ctrl_c_ends_a_program_parked_on_a_pipe_read(tmp_path: Path) -> None:
    path = tmp_path / "fifo"
    os.mkfifo(path)
    proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(PARKED_PROGRAM), str(path)],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout is not None
        assert proc.stdout.readline() == "parked\n"
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=10)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode != 0
    assert "KeyboardInterrupt" in err, err


OUT_OF_MEMORY = """
    # Room for what the interpreter already has and not much more.
    with open("/proc/self/status") as status:
        vm = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    limit = vm + 700 * 1024 * 1024
    _, hard = resource.getrlimit(resource.RLIMIT_AS)
    resource.setrlimit(resource.RLIMIT_AS, (limit, hard))
    path = os.path.join(DIR, "small")
    data = os.urandom(4096)
    with open(path, "wb") as f:
        f.write(data)

    async def main():
        h, _, _ = await _velnor.open(path, True, False, False, False, False, False)
        # A megabyte in one-byte chunks, of which 4 KiB exist.
        for _ in range(3):
            got = await _velnor.read_parallel(h, 0, 1 << 20, 1)
            assert got == data, len(got)
        await _velnor.close(h)
        await still_serves()

    run_on(KIND, main())
    fd = os.open(path, os.O_RDONLY)
    # Three gigabytes asked for, four kilobytes read: only those are touched.
    resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    got = _velnor.probe_pread_nowait(fd, 3 << 30)
    assert len(got) == 3 << 30 and got[:4096] == data
    grew = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    assert grew < 64 * 1024, f"{grew} KiB resident for a 4 KiB read"
    del got
    os.close(fd)
    print("ok")
"""


def test_memory_stays_bounded_and_running_out_fails_one_request(loop_kind: str,
                                                                tmp_path: Path) -> None:
    run_case(loop_kind, OUT_OF_MEMORY, tmp_path, timeout=120)
