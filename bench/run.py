"""The latency ladder and the peer comparison (the project's main job).

    python bench/run.py            full run (a few minutes)
    python bench/run.py --quick    under a minute, fewer and shorter samples

Prints the table and writes bench/out/results.json, table.txt and chart.png.
"""

from __future__ import annotations

import argparse
import importlib.metadata
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path
from typing import Any

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import fixtures  # noqa: E402
import ladder  # noqa: E402
from adapters import backend_name  # noqa: E402
from harness import LOOP_FACTORIES, Result, Settings, run_group  # noqa: E402
from peers import Scenario, scenarios  # noqa: E402


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "not installed"


def _selected(only: list[str], *names: str) -> bool:
    return not only or any(o in n for o in only for n in names)


def _brief(r: dict[str, Any]) -> str:
    if r.get("error"):
        return r["error"]
    return f"median {r['median'] * 1e6:.3f} us/op (batch {r.get('batch', 1)})"


def run_ladder(fx: fixtures.Fixtures, loops: list[str], settings: Settings,
               only: list[str]) -> list[dict[str, Any]]:
    rungs = [r for r in ladder.rungs(fx) if _selected(only, "ladder", r[0])]
    out = [{"rung": name, "what": what, "loops": {}} for name, what, _ in rungs]
    for loop in loops:
        results = run_group(loop, {name: factory for name, _, factory in rungs}, settings)
        for entry in out:
            r = results[entry["rung"]].to_json()
            entry["loops"][loop] = r
            log(f"  ladder {entry['rung']:24} {loop:8} {_brief(r)}")
    return out


def run_child(key: str, loop: str, fx: fixtures.Fixtures) -> dict[str, Any]:
    cmd = [sys.executable, str(HERE / "bigread_child.py"), key, loop, str(fx.big), str(fx.small), "1"]
    try:
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=300)
    except subprocess.TimeoutExpired:
        return {"error": "error: the child process timed out"}
    try:
        return dict(json.loads(p.stdout.strip().splitlines()[-1]))
    except (IndexError, json.JSONDecodeError):
        tail = (p.stderr.strip().splitlines() or ["no output"])[-1]
        return {"error": f"error: child exited {p.returncode}: {tail}"}


def run_children(sc: Scenario, fx: fixtures.Fixtures, loop: str, settings: Settings,
                 keys: list[str]) -> dict[str, dict[str, Any]]:
    """One fresh process per read, contestants interleaved round by round; the
    memory figure is the median over a contestant's processes."""
    per: dict[str, list[dict[str, Any]]] = {k: [] for k in keys}
    errors: dict[str, str] = {}
    for r in range(settings.big_reads):
        order = keys[r % len(keys):] + keys[: r % len(keys)] if keys else []
        for key in order:
            if key in errors:
                continue
            doc = run_child(key, loop, fx)
            if doc.get("error"):
                errors[key] = doc["error"]
            else:
                per[key].append(doc)
    out: dict[str, dict[str, Any]] = {}
    for key in keys:
        if key in errors:
            out[key] = {"error": errors[key]}
            continue
        docs = per[key]
        samples = [d["samples_s"][0] for d in docs]
        mems = sorted(d["peak_increase_kib"] for d in docs)
        res = Result(samples, 1).to_json()
        res["peak_increase_kib"] = mems[len(mems) // 2]
        res["peak_increase_kib_all"] = [d["peak_increase_kib"] for d in docs]
        for k in ("stall_max_s", "held_max_s"):
            res[k] = max(d[k] for d in docs)
        for k in ("driver_cpu_s", "loop_cpu_s", "host_steal_s"):
            res[k] = sum(d[k] for d in docs)
        res["processes"] = docs
        out[key] = res
    return out


def run_scenario(sc: Scenario, fx: fixtures.Fixtures, loops: list[str], settings: Settings,
                 only: list[str]) -> dict[str, Any]:
    entry: dict[str, Any] = {"key": sc.key, "title": sc.title, "metric": sc.metric,
                             "kind": sc.kind, "bytes_per_op": sc.bytes_per_op, "note": sc.note,
                             "contestants": [{"key": c.key, "what": c.what, "loops": {}}
                                             for c in sc.contestants]}
    chosen = [c for c in sc.contestants if _selected(only, sc.key, f"{sc.key}:{c.key}")]
    for loop in loops:
        if sc.kind == "child":
            results = run_children(sc, fx, loop, settings, [c.key for c in chosen])
        else:
            got = run_group(loop, {c.key: c.factory for c in chosen if c.factory is not None}, settings,
                            samples=sc.samples(settings) if sc.kind == "single" else None)
            results = {k: r.to_json() for k, r in got.items()}
        for ce in entry["contestants"]:
            if ce["key"] in results:
                ce["loops"][loop] = results[ce["key"]]
                log(f"  {sc.key:13} {ce['key']:10} {loop:8} {_brief(results[ce['key']])}")
    return entry


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--quick", action="store_true", help="under a minute: fewer, shorter samples")
    ap.add_argument("--out", type=Path, default=HERE / "out", help="where results go (default bench/out)")
    ap.add_argument("--data-dir", default=os.environ.get("VELNOR_BENCH_DIR", "/var/tmp"),
                    help="a directory on a real disk (not tmpfs) for the data files")
    ap.add_argument("--loops", default="asyncio,uvloop", help="comma-separated: asyncio,uvloop")
    ap.add_argument("--only", action="append", default=[],
                    help="run only cases whose name contains this (ladder, read4k, cold4k:aiofiles, ...)")
    ap.add_argument("--no-chart", action="store_true", help="skip the PNG")
    args = ap.parse_args(argv)

    t_start = time.perf_counter()
    settings = Settings.for_mode(args.quick)
    loops = [x for x in args.loops.split(",") if x]
    for loop in loops:
        if loop not in LOOP_FACTORIES:
            ap.error(f"unknown loop {loop!r}")
    args.out.mkdir(parents=True, exist_ok=True)

    backend = backend_name()
    log(f"velnor backend: {backend}; {'quick' if args.quick else 'full'} mode; loops {', '.join(loops)}")
    load, cores = os.getloadavg()[0], os.cpu_count() or 1
    if load > cores:
        # Few short samples on a busy machine measure the machine: say so.
        log(f"WARNING: load average {load:.1f} on {cores} cores; figures will be noisy"
            + (", and --quick takes few samples: read the [p10 .. p90] spread" if args.quick else ""))
    log("creating the data files ...")
    fx = fixtures.create(args.data_dir, big=_selected(args.only, "big256m"))
    try:
        meta: dict[str, Any] = {
            "mode": "quick" if args.quick else "full",
            "backend": backend,
            "python": platform.python_version(),
            "kernel": platform.release(),
            "cpus": os.cpu_count(),
            "loops": loops,
            "data_dir": args.data_dir,
            "eviction_works": fixtures.evict(fx.cold),
            "cached_files_resident": all(fixtures.fully_cached(p) for p in (fx.seq, fx.regions, fx.small, fx.big)),
            "settings": settings.__dict__,
            "versions": {d: _version(d) for d in ("velnor", "aiofiles", "anyio", "uvloop")},
            "started": time.strftime("%Y-%m-%dT%H:%M:%S%z"),
            "loadavg_start": os.getloadavg(),
        }
        doc: dict[str, Any] = {"meta": meta, "ladder": [], "scenarios": []}
        log("latency ladder ...")
        doc["ladder"] = run_ladder(fx, loops, settings, args.only)
        for sc in scenarios(fx):
            if not _selected(args.only, sc.key, *(f"{sc.key}:{c.key}" for c in sc.contestants)):
                continue
            log(f"{sc.key}: {sc.title} ...")
            doc["scenarios"].append(run_scenario(sc, fx, loops, settings, args.only))
    finally:
        fx.cleanup()
    meta["elapsed_s"] = time.perf_counter() - t_start
    meta["loadavg_end"] = os.getloadavg()

    import report

    text = report.render(doc)
    print(text)
    report.write_json(doc, args.out / "results.json")
    (args.out / "table.txt").write_text(text + "\n")
    written = [args.out / "results.json", args.out / "table.txt"]
    if not args.no_chart:
        try:
            import chart

            chart.draw(doc, args.out / "chart.png")
            written.append(args.out / "chart.png")
        except ImportError as e:
            log(f"no chart: {e}")
    log("wrote " + ", ".join(str(p) for p in written))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
