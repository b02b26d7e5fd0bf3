"""Leaving the interpreter with operations in flight: reads parked on a
FIFO, appends and whole-file writes running, completions arriving while
the interpreter finalizes. The process must exit with code 0, print
nothing on stderr, and not hang."""

from __future__ import annotations

import os
import sys
import textwrap
from pathlib import Path

import pytest

from support.processes import failed_exits, has_module, other_interpreters, run_script

EXIT_SCRIPT = """
    import asyncio, atexit, os, sys, threading, time
    import _velnor
    from support.files import write_fifo as feed_fifo
    from support.flags import APPEND_CREATE, READ_ONLY, RW_CREATE
    from support.loops import run_on

    KIND, MODE = {kind!r}, {mode!r}
    d = os.environ["VELNOR_TEST_DIR"]  # the test's own temporary directory
    fifo = os.path.join(d, "fifo")
    os.mkfifo(fifo)
    # Held open for writing, the FIFO never reports end of file: reads on it
    # stay in flight until someone feeds it.
    keep = os.open(fifo, os.O_RDWR)
    big = os.urandom(4 << 20)
    with open(os.path.join(d, "big"), "wb") as f:
        f.write(big)
    kept = []  # futures and buffers alive until the interpreter tears down

    async def start_everything():
        p, _, _ = await _velnor.open(fifo, *READ_ONLY)
        log, _, _ = await _velnor.open(os.path.join(d, "log"), *APPEND_CREATE)
        src, _, _ = await _velnor.open(os.path.join(d, "big"), *READ_ONLY)
        for _ in range(8):
            buf = bytearray(64)
            kept.append((buf, _velnor.readinto(p, 0, buf)))
            kept.append(_velnor.read(p, 0, 64))
        for _ in range(16):
            kept.append(_velnor.write(log, 0, big[:1 << 20], True))
        kept.append(_velnor.write_file(os.path.join(d, "copy"), memoryview(big)))
        kept.append(_velnor.read_parallel(src, 0, len(big), 65536))
        kept.append(_velnor.read_file(os.path.join(d, "big"), 1 << 30))

    def feed_later():
        # A separate process keeps feeding the FIFO while this one finalizes
        # and after it is gone, so completions land at every stage of exit.
        # Spawned without a Popen object: nothing here waits for it.
        quiet = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, os.O_WRONLY, 0) for fd in (1, 2)]
        os.posix_spawn(sys.executable, [
            sys.executable, "-c",
            "import os, sys, time\\n"
            "try:\\n"
            "    fd = os.open(sys.argv[1], os.O_WRONLY | os.O_NONBLOCK)\\n"
            "    for _ in range(300):\\n"
            "        os.write(fd, b'x' * 16)\\n"
            "        time.sleep(0.001)\\n"
            "except OSError:\\n"
            "    pass\\n", fifo], os.environ, file_actions=quiet)

    if MODE == "loop-returns":
        # The coroutine returns with every future pending; no task waits.
        run_on(KIND, start_everything())
    elif MODE == "sys-exit":
        async def leave():
            await start_everything()
            print("leaving")
            sys.exit(0)
        run_on(KIND, leave())
    elif MODE == "daemon-loop":
        # A loop thread still awaiting parked reads when the main thread ends.
        started = threading.Event()
        async def wait_forever():
            await start_everything()
            started.set()
            await asyncio.gather(*(k for k in kept if not isinstance(k, tuple)))
        threading.Thread(target=run_on, args=(KIND, wait_forever()), daemon=True).start()
        started.wait()
    elif MODE == "fed-at-exit":
        run_on(KIND, start_everything())
        feed_later()
    elif MODE == "fed-in-atexit":
        run_on(KIND, start_everything())
        def feed_and_wait():
            feed_fifo(fifo, b"y" * 1024)
            time.sleep(0.05)
        atexit.register(feed_and_wait)
    elif MODE == "after-shutdown":
        run_on(KIND, start_everything())
        _velnor.shutdown()
        feed_fifo(fifo, b"z" * 1024)
    if MODE != "sys-exit":
        print("leaving")
"""

MODES = ["loop-returns", "sys-exit", "daemon-loop", "fed-at-exit", "fed-in-atexit",
         "after-shutdown"]


@pytest.mark.parametrize("mode", MODES)
def test_exit_with_operations_in_flight_is_clean(loop_kind: str, mode: str,
                                                 tmp_path: Path) -> None:
    # A hang fails the test through the timeout.
    proc = run_script(EXIT_SCRIPT.format(kind=loop_kind, mode=mode), timeout=60,
                      env={"VELNOR_TEST_DIR": str(tmp_path)})
    assert proc.stdout == "leaving\n"


# A daemon thread keeps a loop busy with velnor operations while the main
# thread leaves. CPython 3.12 and 3.13 end such a thread with pthread_exit
# wherever it next asks for the interpreter lock: in the drain's callbacks,
# in a submission's calls, in a loop's call_soon_threadsafe. Where it stands
# at that instant is luck, so one exit proves little: each case exits many
# times, enough to catch a fault that strikes one exit in twenty.
DAEMON_SCRIPT = """
import asyncio, sys, threading
import _velnor

KIND, BELL = sys.argv[1], sys.argv[2]

def loop_class():
    if KIND == "uvloop":
        import uvloop
        base = uvloop.Loop
    else:
        base = asyncio.SelectorEventLoop
    if BELL == "pipe":
        return base
    class NoReader(base):  # woken through call_soon_threadsafe instead
        def add_reader(self, *args, **kwargs):
            raise NotImplementedError
    return NoReader

started = threading.Event()

async def spin():
    while True:
        await asyncio.gather(*(_velnor.probe_nop() for _ in range(2000)))
        started.set()

def body():
    loop_class()().run_until_complete(spin())

threading.Thread(target=body, daemon=True).start()
started.wait()
print("leaving")
"""

EXITS_PER_CASE = 32


def interpreter_cases(tmp_path: Path, loop_kind: str,
                      needs: tuple[str, ...] = ()) -> dict[str, tuple[str, dict[str, str]]]:
    cases: dict[str, tuple[str, dict[str, str]]] = {"this": (sys.executable, {})}
    if os.environ.get("VELNOR_SANITIZED"):
        return cases  # the sanitized build is loaded into this interpreter only
    needs += ("uvloop",) if loop_kind == "uvloop" else ()
    for label, (python, env) in other_interpreters(tmp_path).items():
        if all(has_module(python, env, module) for module in needs):
            cases[label] = (python, env)
    return cases


@pytest.mark.timeout(300)
@pytest.mark.parametrize("bell", ["pipe", "call-soon"])
def test_daemon_loop_threads_exit_cleanly_every_time(loop_kind: str, bell: str,
                                                     tmp_path: Path) -> None:
    script = tmp_path / "daemon.py"
    script.write_text(DAEMON_SCRIPT)
    failures = {}
    for label, (python, env) in interpreter_cases(tmp_path, loop_kind).items():
        failed = failed_exits([python, "-W", "error", str(script), loop_kind, bell], env,
                              EXITS_PER_CASE)
        if failed:
            failures[label] = failed
    assert failures == {}


@pytest.mark.parametrize("mode", MODES)
def test_exit_with_operations_in_flight_is_clean_on_other_interpreters(
        loop_kind: str, mode: str, tmp_path: Path) -> None:
    # The script's helpers import uvloop whatever the loop.
    cases = interpreter_cases(tmp_path, loop_kind, needs=("uvloop",))
    cases.pop("this")
    if not cases:
        pytest.skip("no other interpreter that can load this build")
    prologue = f"import sys; sys.path.insert(0, {str(Path(__file__).parent)!r})\n"
    source = prologue + textwrap.dedent(EXIT_SCRIPT.format(kind=loop_kind, mode=mode))
    for label, (python, env) in cases.items():
        workdir = tmp_path / label
        workdir.mkdir()
        failed = failed_exits([python, "-W", "error", "-c", source],
                              {**env, "VELNOR_TEST_DIR": str(workdir)}, 1, timeout=60)
        assert failed == [], label
