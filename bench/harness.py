"""Timing harness: event loops, calibrated batches, repeated runs, order statistics.

A contestant is an async context manager that sets itself up on the running loop
and yields a `Bench`: a coroutine function `batch(n)` doing `n` units of work, an
optional untimed `prepare()` run before every sample, and how many operations one
unit holds. Everything a contestant needs (open files, threads, the driver) is
created in its set-up and warmed before the first timed sample, so that every
library pays its start-up outside the clock.
"""

from __future__ import annotations

import asyncio
import gc
import statistics
import time
from collections.abc import Awaitable, Callable
from contextlib import AbstractAsyncContextManager
from dataclasses import dataclass, field
from typing import Any


class NotAvailable(Exception):
    """The contestant cannot run here (a missing API or library); the reason is shown."""


def _uvloop_factory() -> asyncio.AbstractEventLoop:
    try:
        import uvloop
    except ImportError as e:
        raise NotAvailable(f"uvloop is not installed ({e})") from None

    return uvloop.new_event_loop()


LOOP_FACTORIES: dict[str, Callable[[], asyncio.AbstractEventLoop]] = {
    "asyncio": asyncio.new_event_loop,
    "uvloop": _uvloop_factory,
}


@dataclass(frozen=True)
class Settings:
    """How long and how often to measure; `quick` trades spread for wall time."""

    quick: bool
    runs: int  # timed samples of a calibrated batch
    target_s: float  # wall time one calibrated batch aims for
    warmup_s: float  # untimed work before calibrating
    single_samples: int  # samples of one-shot cases (cold reads)
    write_samples: int  # samples of the 64 MiB write
    big_reads: int  # timed reads of the 256 MiB file in each child process

    @staticmethod
    def for_mode(quick: bool) -> Settings:
        if quick:
            return Settings(True, runs=5, target_s=0.004, warmup_s=0.01,
                            single_samples=8, write_samples=3, big_reads=2)
        return Settings(False, runs=31, target_s=0.05, warmup_s=0.2,
                        single_samples=61, write_samples=15, big_reads=7)


@dataclass
class Bench:
    batch: Callable[[int], Awaitable[Any]]
    ops_per_unit: int = 1
    # Untimed work before each sample (eviction, unlinking a target); when given,
    # every sample is exactly one unit: batching would hide what prepare undoes.
    prepare: Callable[[], Awaitable[Any] | None] | None = None
    # Free-form facts the contestant wants in the JSON (e.g. eviction checks).
    notes: dict[str, Any] = field(default_factory=dict)


@dataclass
class Result:
    """Seconds per operation, one value per timed sample, or why there are none."""

    samples: list[float] = field(default_factory=list)
    unit_n: int = 0
    error: str | None = None
    extra: dict[str, Any] = field(default_factory=dict)

    @property
    def ok(self) -> bool:
        return self.error is None and bool(self.samples)

    def stats(self) -> dict[str, float]:
        return summarize(self.samples)

    def to_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {"error": self.error, "batch": self.unit_n,
                               "samples_s": self.samples, **self.extra}
        if self.ok:
            out.update(self.stats())
        return out


def summarize(xs: list[float]) -> dict[str, float]:
    """Median with the 10th and 90th percentiles (inclusive method: defined for any n >= 1)."""
    if len(xs) == 1:
        return {"median": xs[0], "p10": xs[0], "p90": xs[0]}
    q = statistics.quantiles(xs, n=10, method="inclusive")
    return {"median": statistics.median(xs), "p10": q[0], "p90": q[-1]}


async def _maybe_await(x: Awaitable[Any] | None) -> None:
    if x is not None:
        await x


async def _timed(bench: Bench, n: int) -> float:
    t0 = time.perf_counter_ns()
    await bench.batch(n)
    return (time.perf_counter_ns() - t0) / 1e9


async def measure(bench: Bench, settings: Settings, *, samples: int | None = None) -> Result:
    """Time `bench` on the running loop.

    One-shot benches (with `prepare`) give `samples` samples of a single unit.
    Others are warmed for `warmup_s`, their batch size is grown until one batch
    lasts `target_s`, and `runs` batches are timed. The collector is paused during
    timed batches for every contestant alike, so that a collection triggered by
    one library's garbage does not land in another's figure.
    """
    if bench.prepare is not None:
        out: list[float] = []
        await _maybe_await(bench.prepare())
        await bench.batch(1)  # first use: lazy set-up stays outside the clock
        for _ in range(samples or 1):
            await _maybe_await(bench.prepare())
            gc.collect()
            gc.disable()
            try:
                out.append(await _timed(bench, 1) / bench.ops_per_unit)
            finally:
                gc.enable()
        return Result(out, 1, extra=dict(bench.notes))

    await bench.batch(1)
    deadline = time.perf_counter() + settings.warmup_s
    while time.perf_counter() < deadline:
        await bench.batch(8)

    n = 1
    while True:
        t = await _timed(bench, n)
        if t >= settings.target_s or n >= 1 << 22:
            break
        grow = settings.target_s / max(t, 1e-7)
        n = min(1 << 22, max(n * 2, int(n * grow * 1.1)))

    out = []
    gc.collect()
    for _ in range(settings.runs):
        gc.disable()
        try:
            out.append(await _timed(bench, n) / (n * bench.ops_per_unit))
        finally:
            gc.enable()
    return Result(out, n, extra=dict(bench.notes))


ContestantFactory = Callable[[], AbstractAsyncContextManager[Bench]]


def run_case(loop: str, factory: ContestantFactory, settings: Settings,
             *, samples: int | None = None) -> Result:
    """Run one contestant on a fresh loop of the given kind; never raises for the contestant's faults."""

    async def body() -> Result:
        async with factory() as bench:
            return await measure(bench, settings, samples=samples)

    try:
        with asyncio.Runner(loop_factory=LOOP_FACTORIES[loop]) as runner:
            return runner.run(body())
    except NotAvailable as e:
        return Result(error=f"not available: {e}")
    except Exception as e:  # a broken contestant is reported, not fatal to the run
        return Result(error=f"error: {type(e).__name__}: {e}")
