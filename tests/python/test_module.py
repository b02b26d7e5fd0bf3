"""The module object: what it exports, in which order, and with which
signatures; single-phase initialisation."""

from __future__ import annotations

import inspect

import _velnor
import pytest

from support.processes import run_script

EXPORTED = [
    "open", "read", "FastPath", "try_read_file", "read_parallel", "read_to_end", "readinto",
    "write", "close", "sync", "set_len", "size", "read_file", "write_file", "cancel_ops",
    "probe_inline_read", "probe_pread_nowait", "probe_ffi", "probe_resolved_future",
    "probe_nop", "backend_name", "shutdown", "open_cached", "adopt", "try_read_file_max",
    # File-system calls on names, registered after everything above.
    "stat", "rename", "unlink", "mkdir", "symlink", "link", "listdir", "readlink", "chmod",
    "access", "statvfs", "utime", "truncate", "sendfile", "copy_range", "open_fd", "close_fd",
    # The native line iterator and the turns check, after them.
    "LineSteps", "Turns",
    # The status of a cached path, on the calling thread.
    "stat_cached",
    # Directory entries made in C.
    "ListedEntry", "listed_entries",
    # Lines cut in C for iteration.
    "split_lines",
    # A first driver read of a file opened on the spot, without a hand-over.
    "read_owned_to_end",
    # Whether a miss left its data on the way in.
    "miss_in_flight",
    # A whole-file copy from the page cache in steps.
    "StepRead",
    # os.stat_result made in C.
    "stat_result_of",
]


def test_functions_are_registered_in_order() -> None:
    assert [n for n in vars(_velnor) if not n.startswith("__")] == EXPORTED
    assert _velnor.__doc__ == ""


@pytest.mark.parametrize("name, signature, doc", [
    ("open", "(path, read, write, append, truncate, create, create_new)", None),
    ("close", "(handle)", None),
    ("sync", "(handle, data_only)", None),
    ("set_len", "(handle, size)", None),
    ("size", "(handle)", None),
    ("backend_name", "()", None),
    ("shutdown", "()", None),
    ("probe_ffi", "()", "Calibration probe: one METH_NOARGS call into the extension and back,\n"
                        "nothing else. Establishes the\nFFI floor for the latency ladder."),
    ("probe_resolved_future", "()",
     "Calibration probe: an asyncio future created and resolved on the calling\n"
     "thread, never touching the driver. Isolates future machinery from the\n"
     "completion bridge."),
    ("probe_nop", "()",
     "Calibration probe: a full submit -> driver thread -> doorbell -> drain\n"
     "round trip that performs no kernel work. Measured against\n"
     "`probe_resolved_future` this is the bridge's own per-op cost."),
])
def test_signatures_and_docs(name: str, signature: str, doc: str | None) -> None:
    fn = getattr(_velnor, name)
    assert fn.__text_signature__ == signature
    assert str(inspect.signature(fn)) == signature
    assert fn.__doc__ == doc


def test_drain_handle_is_not_exported() -> None:
    assert not hasattr(_velnor, "DrainHandle")


def test_probe_ffi() -> None:
    assert _velnor.probe_ffi() == 0
    with pytest.raises(TypeError):
        _velnor.probe_ffi(1)  # type: ignore[call-arg]


def test_reinitialisation_returns_the_cached_module() -> None:
    run_script("""
        import importlib.util, sys
        import _velnor
        first = _velnor
        del sys.modules["_velnor"]
        spec = importlib.util.find_spec("_velnor")
        again = importlib.util.module_from_spec(spec)
        assert again is first, (again, first)
    """)


def test_sub_interpreter_import_fails() -> None:
    # Both kinds of sub-interpreter: one with its own GIL and one sharing the
    # main one's.
    run_script("""
        import _velnor
        from support.subinterpreters import run_in_subinterpreter
        for isolated in (True, False):
            refused = run_in_subinterpreter("import _velnor", isolated)
            assert refused is not None and "ImportError" in refused, (isolated, refused)
    """)

