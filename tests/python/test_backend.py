"""Driver start-up: the backend name, VELNOR_BACKEND, and fork."""

from __future__ import annotations

from pathlib import Path

import _velnor
import pytest

from support.processes import run_script


def test_backend_name_matches_the_environment(expected_backend: str | None) -> None:
    name = _velnor.backend_name()
    assert name in ("compio-io-uring", "compio-polling")
    if expected_backend:
        assert name == expected_backend
    assert _velnor.backend_name() == name


# Each case runs in a fresh process: the variable is read only when the
# process's driver is about to be created.
PROBE = """
    import _velnor, os
    from support.processes import driver_threads
    outcome = []
    for _ in range(2):
        try:
            outcome.append(_velnor.backend_name())
        except ValueError as e:
            outcome.append("ValueError: " + str(e))
    print(repr((outcome, driver_threads())))
"""


@pytest.mark.parametrize("value", [None, "compio", b"\xff\xfe"],
                         ids=["unset", "compio", "not-utf8"])
def test_accepted_values_start_one_driver(value: str | bytes | None) -> None:
    proc = run_script(PROBE, env={"VELNOR_BACKEND": value})
    outcome, threads = eval(proc.stdout)
    assert outcome[0] == outcome[1] and outcome[0].startswith("compio-")
    assert threads == 1


@pytest.mark.parametrize("value, shown", [
    ("Compio", '"Compio"'),
    ("", '""'),
    ("io_uring", '"io_uring"'),
    ('a"b\\c\td\r\n\x00\x01é\u0301', '"a\\"b\\\\c\\td\\r\\n\\0\\u{1}é\\u{301}"'),
])
def test_unknown_values_raise_and_start_nothing(value: str, shown: str) -> None:
    if "\x00" in value:
        value = value.replace("\x00", "")  # an environment value cannot hold NUL
        shown = shown.replace("\\0", "")
    proc = run_script(PROBE, env={"VELNOR_BACKEND": value})
    outcome, threads = eval(proc.stdout)
    assert outcome == ["ValueError: unknown VELNOR_BACKEND: " + shown] * 2
    assert threads == 0


def test_variable_is_not_read_again_once_the_driver_exists() -> None:
    run_script("""
        import os, _velnor
        name = _velnor.backend_name()
        os.environ["VELNOR_BACKEND"] = "nonsense"
        assert _velnor.backend_name() == name
    """)


def test_forked_child_starts_its_own_driver() -> None:
    run_script("""
        import asyncio, os, sys, tempfile, traceback, warnings
        warnings.filterwarnings("ignore", r"This process .* is multi-threaded",
                                DeprecationWarning)
        import _velnor
        from support.processes import driver_threads

        async def roundtrip(path):
            h, size, fd = await _velnor.open(path, True, True, False, False, True, False)
            await _velnor.set_len(h, 7)
            n = await _velnor.size(h)
            await _velnor.close(h)
            return n

        with tempfile.TemporaryDirectory() as d:
            assert asyncio.run(roundtrip(os.path.join(d, "parent"))) == 7
            pid = os.fork()
            if pid == 0:
                code = 1
                try:
                    assert driver_threads() == 0
                    assert asyncio.run(roundtrip(os.path.join(d, "child"))) == 7
                    assert driver_threads() == 1
                    code = 0
                except BaseException:
                    traceback.print_exc()
                finally:
                    os._exit(code)
            _, status = os.waitpid(pid, 0)
            assert os.waitstatus_to_exitcode(status) == 0
            assert asyncio.run(roundtrip(os.path.join(d, "parent"))) == 7
            assert driver_threads() == 1
    """)


def test_counting_driver_threads_while_other_threads_end() -> None:
    # A thread that ends between the listing of /proc/self/task and the read
    # of its name must not fail the count (the kernel answers ESRCH then).
    import threading

    from support.processes import driver_threads

    stop = threading.Event()

    def churn() -> None:
        while not stop.is_set():
            workers = [threading.Thread(target=lambda: None) for _ in range(8)]
            for w in workers:
                w.start()
            for w in workers:
                w.join()

    churners = [threading.Thread(target=churn) for _ in range(2)]
    for c in churners:
        c.start()
    try:
        for _ in range(300):
            driver_threads()
    finally:
        stop.set()
        for c in churners:
            c.join()


def test_the_copier_threads_start_with_the_first_large_read(tmp_path: Path) -> None:
    # A process that reads no large file has the driver thread (and the
    # pool's workers when used), never the copiers of large reads.
    script = f"""
        import asyncio, os, pathlib, velnor
        def name(task):
            try:
                return (task / "comm").read_text().strip()
            except OSError:
                return ""  # a pool worker that ended meanwhile
        def copiers():
            return sum(name(t) in ("velnor-idle", "velnor-guard")
                       for t in pathlib.Path("/proc/self/task").iterdir())
        async def main():
            small, large = {str(tmp_path / "small")!r}, {str(tmp_path / "large")!r}
            await velnor.write_bytes(small, b"x" * 100)
            await velnor.read_bytes(small)
            async with velnor.open(small, "rb") as f:
                await f.read()
            before = copiers()
            await velnor.write_bytes(large, bytes(64 << 20))
            await velnor.read_bytes(large)
            print(before, copiers() > 0)
        asyncio.run(main())
    """
    assert run_script(script).stdout.split() == ["0", "True"]
