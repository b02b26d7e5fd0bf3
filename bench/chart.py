"""The PNG chart: the ladder, each comparison and the large read's memory, one panel each."""

from __future__ import annotations

from pathlib import Path
from typing import Any

from adapters import LABELS, PEERS, VELNOR, VELNOR_RAW
from report import UNITS, value

# One colour per library; velnor alone is saturated, so it stands out. The
# loops are told apart by hatching (uvloop) rather than by colour.
LIB_COLORS = {VELNOR: "#d62728", VELNOR_RAW: "#ff9896", "sync": "#7f7f7f", "to_thread": "#9ecae1",
              "aiofiles": "#a1d99b", "anyio": "#bcbddc"}
LOOP_HATCH = {"asyncio": "", "uvloop": "///"}
LADDER_COLOR = "#6baed6"


def _bars(ax: Any, keys: list[str], names: list[str],
          per_loop: dict[str, list[tuple[float, float, float] | None]], xlabel: str, log: bool,
          ratios: dict[str, list[str]] | None = None) -> None:
    import numpy as np
    from matplotlib.patches import Patch

    loops = list(per_loop)
    y = np.arange(len(names))
    h = 0.8 / max(1, len(loops))
    for i, loop in enumerate(loops):
        vals = per_loop[loop]
        med = [v[0] if v else 0.0 for v in vals]
        err_lo = [v[0] - v[1] if v else 0.0 for v in vals]
        err_hi = [v[2] - v[0] if v else 0.0 for v in vals]
        pos = y + (i - (len(loops) - 1) / 2) * h
        colors = [LIB_COLORS.get(k, LADDER_COLOR) for k in keys]
        ax.barh(pos, med, height=h, color=colors, hatch=LOOP_HATCH.get(loop, ""),
                edgecolor="white" if not LOOP_HATCH.get(loop) else "#444", linewidth=0.3,
                xerr=[err_lo, err_hi], error_kw={"elinewidth": 0.8, "capsize": 2})
        texts = (ratios or {}).get(loop, [""] * len(vals))
        for p, v, t in zip(pos, vals, texts):
            if v is None:
                ax.text(0, p, "  n/a", va="center", fontsize=7, color="#888")
            elif t:
                ax.text(v[2], p, f" {t}", va="center", fontsize=7)
    ax.set_yticks(y, names, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlabel(xlabel, fontsize=8)
    if log:
        ax.set_xscale("log")
    ax.grid(axis="x", alpha=0.3, which="both")
    if len(loops) > 1:
        ax.legend(handles=[Patch(facecolor="#ddd", edgecolor="#444", hatch=LOOP_HATCH.get(lp, ""),
                                 label=lp) for lp in loops], fontsize=7, loc="best")


def _triple(e: dict[str, Any] | None, conv: Any) -> tuple[float, float, float] | None:
    if not e or e.get("error") or "median" not in e:
        return None
    a, b, c = conv(e["median"]), conv(e["p10"]), conv(e["p90"])
    return a, min(b, c), max(b, c)


def _memory_informative(sc: dict[str, Any], loops: list[str], order: list[str]) -> bool:
    mems = {e.get("peak_increase_kib") for c in sc["contestants"] if c["key"] in order
            for e in (c["loops"].get(loop) or {} for loop in loops) if not e.get("error")}
    mems.discard(None)
    # Bars within a few percent of each other say only "everyone holds the file".
    return bool(mems) and max(mems) > 1.05 * max(min(mems), 1)


def draw(doc: dict[str, Any], path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    loops = doc["meta"]["loops"]
    # Peer panels compare what users call; the raw extension's road is an
    # internal figure, shown in the table and beside the ladder only.
    order = [VELNOR, *PEERS]
    big = [s for s in doc["scenarios"] if s["key"] == "big256m"
           and _memory_informative(s, loops, order)]
    panels = (1 if doc.get("ladder") else 0) + len(doc["scenarios"]) + len(big)
    cols = 2
    rows = max(1, (panels + cols - 1) // cols)
    fig, axes = plt.subplots(rows, cols, figsize=(15, 4.2 * rows), squeeze=False)
    flat = list(axes.flat)
    k = 0
    if doc.get("ladder"):
        names = [r["rung"] for r in doc["ladder"]]
        per_loop = {loop: [_triple(r["loops"].get(loop), lambda s: s * 1e6) for r in doc["ladder"]]
                    for loop in loops}
        _bars(flat[k], names, names, per_loop, "us per op (log), lower is better", log=True)
        flat[k].set_title("internal: latency ladder (lower is better)", fontsize=10)
        k += 1
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
        ratios: dict[str, list[str]] = {}
        for loop in loops:
            ve = by_key[VELNOR]["loops"].get(loop) or {}
            row = []
            for key in order:
                pe = by_key[key]["loops"].get(loop) or {}
                if key == VELNOR or "median" not in pe or "median" not in ve:
                    row.append("")
                else:
                    row.append(f"{pe['median'] / ve['median']:.2g}x")
            ratios[loop] = row
        log = sc["metric"] != "bandwidth"
        _bars(flat[k], order, names, per_loop, f"{unit}{' (log)' if log else ''}, {better}",
              log=log, ratios=ratios)
        title = f"{sc['title']} ({better}; labels: peer time / velnor time)"
        if "host" in sc.get("note", "") or sc["key"] == "cold4k":
            title += "\nnote: the 'evicted' disk is cached by the host"
        flat[k].set_title(title, fontsize=9)
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
        _bars(flat[k], order, names, per_loop, "MiB, lower is better", log=False)
        flat[k].set_title("256 MiB read: peak RSS increase (lower is better)", fontsize=10)
        k += 1
    for ax in flat[k:]:
        ax.axis("off")
    m = doc["meta"]
    fig.suptitle(f"velnor benchmark ({m['mode']}, backend {m['backend']}, Python {m['python']})",
                 fontsize=12)
    fig.tight_layout(rect=(0, 0, 1, 0.98))
    fig.savefig(path, dpi=90)
    plt.close(fig)
