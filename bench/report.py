"""The printed table and the JSON file.

Every ratio is peer time / velnor time for the same work, so above 1 velnor is
ahead and below 1 it is behind; a cell where velnor is behind says so in words.
"""

from __future__ import annotations

import json
from pathlib import Path
from typing import Any

from adapters import LABELS, PEERS, VELNOR, VELNOR_RAW

UNITS = {
    "latency": ("us/op", "lower is better"),
    "throughput": ("k reads/s", "higher is better"),
    "bandwidth": ("GB/s", "higher is better"),
}


def value(metric: str, seconds: float, bytes_per_op: int) -> float:
    if metric == "latency":
        return seconds * 1e6
    if metric == "throughput":
        return 1.0 / seconds / 1e3
    return bytes_per_op / seconds / 1e9


def fmt(x: float) -> str:
    ax = abs(x)
    if ax >= 1000:
        return f"{x:,.0f}"
    if ax >= 100:
        return f"{x:.0f}"
    if ax >= 10:
        return f"{x:.1f}"
    if ax >= 1:
        return f"{x:.2f}"
    return f"{x:.3f}"


def _stat(entry: dict[str, Any] | None, key: str = "median") -> float | None:
    if not entry or entry.get("error") or key not in entry:
        return None
    return float(entry[key])


def _short_error(entry: dict[str, Any] | None) -> str:
    if entry is None:
        return "not run"
    err = str(entry.get("error") or "no samples")
    return err if len(err) <= 70 else err[:67] + "..."


def ratio_cell(peer_s: float | None, velnor_s: float | None) -> str:
    if peer_s is None or velnor_s is None:
        return "n/a"
    return ratio_text(peer_s / velnor_s)


def ratio_text(r: float) -> str:
    """Behind means behind as printed: a ratio that shows as 1.00x is a tie."""
    return f"{r:.2f}x" + (" BEHIND" if round(r, 2) < 1.0 else "")


def ladder_table(ladder: list[dict[str, Any]], loops: list[str]) -> list[str]:
    lines = ["Latency ladder: us per operation, median [p10 .. p90] over repeated runs", ""]
    head = f"{'rung':24}" + "".join(f"{loop:>30}" for loop in loops) + "   measures"
    lines += [head, "-" * len(head)]
    for rung in ladder:
        cells = []
        for loop in loops:
            e = rung["loops"].get(loop)
            m = _stat(e)
            if m is None:
                cells.append(f"{_short_error(e)[:28]:>30}")
            else:
                cells.append(f"{fmt(m * 1e6) + ' [' + fmt(e['p10'] * 1e6) + ' .. ' + fmt(e['p90'] * 1e6) + ']':>30}")
        lines.append(f"{rung['rung']:24}" + "".join(cells) + "   " + rung["what"])
    unavailable = [(r["rung"], loop, _short_error(r["loops"].get(loop))) for r in ladder for loop in loops
                   if _stat(r["loops"].get(loop)) is None]
    for name, loop, err in unavailable:
        lines.append(f"  {name} on {loop}: {err}")
    return lines


def scenario_table(sc: dict[str, Any], loops: list[str]) -> list[str]:
    unit, better = UNITS[sc["metric"]]
    bpo = sc["bytes_per_op"]
    by_key = {c["key"]: c for c in sc["contestants"]}
    lines = [f"[{sc['key']}] {sc['title']}: {unit}, {better}; peer cells: peer figure, then ratio "
             "peer time / velnor time (>1: velnor ahead)"]
    if sc.get("note"):
        lines.append(f"  ({sc['note']})")
    head = f"{'loop':8} {'velnor road':20} {'median [p10 .. p90]':>26} |" + "".join(
        f" {LABELS[p]:>22}" for p in PEERS)
    lines += [head, "-" * len(head)]
    problems: list[str] = []
    for loop in loops:
        for vk in (VELNOR, VELNOR_RAW):
            ve = by_key[vk]["loops"].get(loop)
            vm = _stat(ve)
            if vm is None:
                own = f"{'not available':>26}"
                problems.append(f"  {LABELS[vk]} on {loop}: {_short_error(ve)}")
            else:
                lo, hi = value(sc["metric"], ve["p10"], bpo), value(sc["metric"], ve["p90"], bpo)
                lo, hi = min(lo, hi), max(lo, hi)
                own = f"{fmt(value(sc['metric'], vm, bpo)) + ' [' + fmt(lo) + ' .. ' + fmt(hi) + ']':>26}"
            cells = []
            for p in PEERS:
                pe = by_key[p]["loops"].get(loop)
                pm = _stat(pe)
                if pm is None:
                    cells.append(f" {'n/a':>22}")
                    if vk == VELNOR:
                        problems.append(f"  {LABELS[p]} on {loop}: {_short_error(pe)}")
                    continue
                cells.append(f" {fmt(value(sc['metric'], pm, bpo)) + '  ' + ratio_cell(pm, vm):>22}")
            lines.append(f"{loop:8} {LABELS[vk]:20} {own} |" + "".join(cells))
    lines += problems
    lines += stall_table(sc, loops)
    if sc["key"] == "big256m":
        lines += memory_table(sc, loops)
    return lines


STALL_LIMIT_S = 0.002
"""The longest a velnor operation may keep the loop from other tasks."""


def stall_table(sc: dict[str, Any], loops: list[str]) -> list[str]:
    """The longest the loop ran nothing else during any sample (a timer's
    lateness), per contestant, with the longest part of one that the loop's
    thread spent running or waiting for a CPU of this machine (the rest the
    host took); and for velnor, its driver thread's CPU time against the loop
    thread's over all samples."""
    by_key = {c["key"]: c for c in sc["contestants"]}
    keys = [VELNOR, VELNOR_RAW, *PEERS]
    lines = [f"  loop stall, ms (longest over all samples / of it held by this machine, not "
             f"taken by the host nor the loop's own timer wait; lower is better; "
             f"velnor's limit {STALL_LIMIT_S * 1e3:g} ms) and driver CPU / loop CPU for velnor:"]
    for loop in loops:
        cells = []
        for k in keys:
            e = by_key[k]["loops"].get(loop) or {}
            stall = e.get("stall_max_s")
            if stall is None:
                continue
            held = e.get("held_max_s", stall)
            flag = " OVER" if k in (VELNOR, VELNOR_RAW) and held > STALL_LIMIT_S else ""
            cells.append(f"{LABELS[k]} {stall * 1e3:.2f} / {held * 1e3:.2f}{flag}")
        ve = by_key[VELNOR]["loops"].get(loop) or {}
        if ve.get("loop_cpu_s"):
            cells.append(f"velnor driver/loop CPU {ve['driver_cpu_s'] / ve['loop_cpu_s']:.2f}")
        steal = sum((by_key[k]["loops"].get(loop) or {}).get("host_steal_s") or 0.0 for k in keys)
        if cells and steal > 0:
            # Stalls of a few ms for peers that do nothing on the loop come from there.
            cells.append(f"CPU taken by the host during all samples {steal * 1e3:.0f} ms")
        if cells:
            lines.append(f"  {loop:8} " + "; ".join(cells))
    return lines if len(lines) > 1 else []


def memory_table(sc: dict[str, Any], loops: list[str]) -> list[str]:
    lines = ["  peak RSS increase of the first read, MiB (lower is better); ratio peer / velnor"]
    head = f"  {'loop':8} " + "".join(f" {LABELS[k]:>22}" for k in (VELNOR, VELNOR_RAW, *PEERS))
    lines.append(head)
    by_key = {c["key"]: c for c in sc["contestants"]}
    for loop in loops:
        ve = by_key[VELNOR]["loops"].get(loop) or {}
        vmem = ve.get("peak_increase_kib") if not ve.get("error") else None
        cells = []
        for k in (VELNOR, VELNOR_RAW, *PEERS):
            e = by_key[k]["loops"].get(loop) or {}
            mem = e.get("peak_increase_kib") if not e.get("error") else None
            if mem is None:
                cells.append(f" {'n/a':>22}")
            elif k in PEERS and vmem:
                cells.append(f" {fmt(mem / 1024) + '  ' + ratio_text(mem / vmem):>22}")
            else:
                cells.append(f" {fmt(mem / 1024):>22}")
        lines.append(f"  {loop:8} " + "".join(cells))
    return lines


def _mem(entry: dict[str, Any] | None) -> float | None:
    if not entry or entry.get("error"):
        return None
    m = entry.get("peak_increase_kib")
    return float(m) if m is not None else None


def behind_summary(doc: dict[str, Any]) -> list[str]:
    """Every comparison velnor loses, both roads, so that none hides in a wide table."""
    out = []
    total = 0
    for sc in doc["scenarios"]:
        by_key = {c["key"]: c for c in sc["contestants"]}
        for loop in doc["meta"]["loops"]:
            for vk in (VELNOR, VELNOR_RAW):
                vm = _stat(by_key[vk]["loops"].get(loop))
                if vm is None:
                    continue
                for p in PEERS:
                    pm = _stat(by_key[p]["loops"].get(loop))
                    if pm is None:
                        continue
                    total += 1
                    if round(pm / vm, 2) < 1.0:
                        out.append(f"  {sc['key']:13} {loop:8} {LABELS[vk]:20} vs {LABELS[p]:12} "
                                   f"{pm / vm:.2f}x")
                    vmem = _mem(by_key[vk]["loops"].get(loop))
                    pmem = _mem(by_key[p]["loops"].get(loop))
                    if vmem and pmem:
                        total += 1
                        if round(pmem / vmem, 2) < 1.0:
                            out.append(f"  {sc['key'] + ' memory':13} {loop:8} {LABELS[vk]:20} vs "
                                       f"{LABELS[p]:12} {pmem / vmem:.2f}x")
    head = f"velnor behind in {len(out)} of {total} comparisons (ratio peer / velnor; time, or peak memory):"
    return [head, *out]


def render(doc: dict[str, Any]) -> str:
    loops = doc["meta"]["loops"]
    m = doc["meta"]
    lines = [
        f"velnor benchmark ({m['mode']} mode) - backend {m['backend']}, Python {m['python']}, "
        f"{m['cpus']} CPUs, kernel {m['kernel']}",
        f"data on {m['data_dir']} (eviction works: {m['eviction_works']}); peers: "
        + ", ".join(f"{k} {v}" for k, v in m["versions"].items()),
    ]
    if "loadavg_start" in m:
        # Other work on a 2-core machine moves every figure; say how busy it was.
        lines.append(f"load average at start {m['loadavg_start'][0]:.2f}, at end "
                     f"{m.get('loadavg_end', [float('nan')])[0]:.2f} (1 min)")
    lines.append("")
    if doc.get("ladder"):
        lines += ladder_table(doc["ladder"], loops) + [""]
    for sc in doc["scenarios"]:
        lines += scenario_table(sc, loops) + [""]
    if doc["scenarios"]:
        lines += behind_summary(doc) + [""]
    lines.append(f"wall time {m.get('elapsed_s', 0):.0f} s")
    return "\n".join(lines)


def write_json(doc: dict[str, Any], path: Path) -> None:
    path.write_text(json.dumps(doc, indent=1, sort_keys=False) + "\n")
