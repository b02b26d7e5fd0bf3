"""The benchmark's own smoke test: a quick partial run prints a table and writes
valid JSON, and the table owns up where velnor is behind. No figure is asserted."""

from __future__ import annotations

import errno
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

import pytest

pytest.importorskip("aiofiles")
pytest.importorskip("anyio")

BENCH = Path(__file__).resolve().parents[2] / "bench"


def test_quick_partial_run_writes_json(tmp_path: Path) -> None:
    out = tmp_path / "out"
    cmd = [sys.executable, str(BENCH / "run.py"), "--quick", "--out", str(out),
           "--data-dir", str(tmp_path), "--loops", "asyncio", "--no-chart",
           "--only", "ladder", "--only", "read4k", "--only", "file4k"]
    p = subprocess.run(cmd, capture_output=True, text=True, timeout=120)
    assert p.returncode == 0, p.stderr
    doc = json.loads((out / "results.json").read_text())
    assert doc["meta"]["mode"] == "quick"
    assert [r["rung"] for r in doc["ladder"]][:3] == ["probe_ffi", "probe_resolved_future", "probe_nop"]
    assert [s["key"] for s in doc["scenarios"]] == ["read4k", "file4k"]
    for sc in doc["scenarios"]:
        for c in sc["contestants"]:
            entry = c["loops"]["asyncio"]
            # Either a figure or the reason there is none; never silently empty.
            assert entry.get("error") or (entry["samples_s"] and entry["median"] > 0), (sc["key"], c["key"])
    sync = next(c for c in doc["scenarios"][0]["contestants"] if c["key"] == "sync")
    assert sync["loops"]["asyncio"]["median"] > 0
    assert "[read4k]" in p.stdout and (out / "table.txt").read_text().strip() == p.stdout.strip()


def test_table_says_behind(monkeypatch: pytest.MonkeyPatch) -> None:
    monkeypatch.syspath_prepend(str(BENCH))
    import report

    def entry(s: float) -> dict[str, object]:
        return {"error": None, "samples_s": [s], "median": s, "p10": s, "p90": s}

    times = {"velnor": 2e-6, "velnor-raw": 1e-6, "sync": 1e-6, "to_thread": 4e-6,
             "aiofiles": 2e-6, "anyio": 8e-6}
    doc = {
        "meta": {"mode": "quick", "backend": "x", "python": "3", "cpus": 2, "kernel": "k",
                 "data_dir": "/var/tmp", "eviction_works": True, "versions": {}, "loops": ["asyncio"]},
        "ladder": [],
        "scenarios": [{"key": "read4k", "title": "t", "metric": "latency", "bytes_per_op": 4096,
                       "note": "", "contestants": [{"key": k, "what": "", "loops": {"asyncio": entry(s)}}
                                                   for k, s in times.items()]}],
    }
    text = report.render(doc)
    assert "0.50x BEHIND" in text  # velnor 2 us against the 1 us stdlib read
    assert "2.00x" in text and "1.00x BEHIND" not in text  # a tie is not called behind
    assert "velnor behind in 1 of 8 comparisons" in text


def test_cache_checks_on_a_filesystem_without_no_wait_reads(monkeypatch: pytest.MonkeyPatch) -> None:
    # tmpfs refuses RWF_NOWAIT reads outright; a data directory there must
    # read as "always cached, never evicted", not stop the run.
    shm = Path("/dev/shm")
    if not shm.is_dir() or not os.access(shm, os.W_OK):
        pytest.skip("no writable /dev/shm")
    monkeypatch.syspath_prepend(str(BENCH))
    import fixtures

    with tempfile.NamedTemporaryFile(dir=shm) as f:
        f.write(b"x" * 8192)
        f.flush()
        try:
            os.preadv(f.fileno(), [bytearray(1)], 0, os.RWF_NOWAIT)
            pytest.skip("this /dev/shm serves no-wait reads")
        except OSError as e:
            if e.errno != errno.EOPNOTSUPP:
                raise
        assert fixtures.is_cached(f.fileno(), 0, 8192)
        assert fixtures.evict(Path(f.name)) is False
