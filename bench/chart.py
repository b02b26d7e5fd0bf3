"""The PNG chart: the ladder, each comparison and the large read's memory, one panel each."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from adapters import LABELS, PEERS, VELNOR, VELNOR_RAW
from report import UNITS, value

LOOP_COLORS = {"asyncio": "#4c72b0", "uvloop": "#dd8452"}


def _bars(ax: Any, names: list[str], per_loop: dict[str, list[tuple[float, float, float] | None]],
          xlabel: str, log: bool) -> None:
    import numpy as np

    loops = list(per_loop)
    y = np.arange(len(names))
    h = 0.8 / max(1, len(loops))
    for i, loop in enumerate(loops):
        vals = per_loop[loop]
        med = [v[0] if v else 0.0 for v in vals]
        err_lo = [v[0] - v[1] if v else 0.0 for v in vals]
        err_hi = [v[2] - v[0] if v else 0.0 for v in vals]
        pos = y + (i - (len(loops) - 1) / 2) * h
        ax.barh(pos, med, height=h, color=LOOP_COLORS.get(loop, None), label=loop,
                xerr=[err_lo, err_hi], error_kw={"elinewidth": 0.8, "capsize": 2})
        for p, v in zip(pos, vals):
            if v is None:
                ax.text(0, p, "  n/a", va="center", fontsize=7, color="#888")
    ax.set_yticks(y, names, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel(xlabel, fontsize=8)
    if log:
        ax.set_xscale("log")
    ax.grid(axis="x", alpha=0.3, which="both")
    ax.legend(fontsize=7, loc="best")


def _triple(e: dict[str, Any] | None, conv: Any) -> tuple[float, float, float] | None:
    if not e or e.get("error") or "median" not in e:
        return None
    a, b, c = conv(e["median"]), conv(e["p10"]), conv(e["p90"])
    return a, min(b, c), max(b, c)


def draw(doc: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    loops = doc["meta"]["loops"]
    panels = (1 if doc.get("ladder") else 0) + len(doc["scenarios"])
    big = [s for s in doc["scenarios"] if s["key"] == "big256m"]
    panels += len(big)
    cols = 2
    rows = max(1, (panels + cols - 1) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(15, 4.2 * rows), squeeze=False)
    flat = list(axes.flat)
    k = 0
    if doc.get("ladder"):
        names = [r["rung"] for r in doc["ladder"]]
        per_loop = {loop: [_triple(r["loops"].get(loop), lambda s: s * 1e6) for r in doc["ladder"]]
                    for loop in loops}
        _bars(flat[k], names, per_loop, "us per op (log)", log=True)
        flat[k].set_title("latency ladder", fontsize=10)
        k += 1
    order = [VELNOR, VELNOR_RAW, *PEERS]
    for sc in doc["scenarios"]:
        unit, better = UNITS[sc["metric"]]
        by_key = {c["key"]: c for c in sc["contestants"]}
        names = [LABELS[key] for key in order]
        per_loop = {
            loop: [_triple(by_key[key]["loops"].get(loop),
                           lambda s, m=sc["metric"], b=sc["bytes_per_op"]: value(m, s, b))
                   for key in order]
            for loop in loops
        }
        log = sc["metric"] != "bandwidth"
        _bars(flat[k], names, per_loop, f"{unit}{' (log)' if log else ''}, {better}", log=log)
        flat[k].set_title(sc["title"], fontsize=10)
        k += 1
    for sc in big:
        by_key = {c["key"]: c for c in sc["contestants"]}
        names = [LABELS[key] for key in order]
        per_loop = {}
        for loop in loops:
            row: list[tuple[float, float, float] | None] = []
            for key in order:
                e = by_key[key]["loops"].get(loop) or {}
                mem = None if e.get("error") else e.get("peak_increase_kib")
                row.append(None if mem is None else (mem / 1024, mem / 1024, mem / 1024))
            per_loop[loop] = row
        _bars(flat[k], names, per_loop, "MiB, lower is better", log=False)
        flat[k].set_title("256 MiB read: peak RSS increase", fontsize=10)
        k += 1
    for ax in flat[k:]:
        ax.axis("off")
    m = doc["meta"]
    fig.suptitle(f"velnor benchmark ({m['mode']}, backend {m['backend']}, Python {m['python']})",
                 fontsize=12)
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=90)
    plt.close(fig)
