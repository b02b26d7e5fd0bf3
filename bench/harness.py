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
from collections.abc import AsyncIterator, Awaitable, Callable
from contextlib import AbstractAsyncContextManager, AsyncExitStack, asynccontextmanager
from dataclasses import dataclass, field
from typing import Any

from watch import CpuWatch, StallWatch, host_steal_s


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


async def _timed(bench: Bench, n: int, watch: Watch | None = None) -> float:
    gc.disable()
    try:
        if watch is not None:
            watch.start()
        t0 = time.perf_counter_ns()
        await bench.batch(n)
        elapsed = (time.perf_counter_ns() - t0) / 1e9
        if watch is not None:
            watch.stop()
        return elapsed
    finally:
        gc.enable()


class Watch:
    """Beside each timed sample: the longest stall of the loop (a timer's
    lateness) and the CPU time of the driver thread and of the loop thread."""

    def __init__(self) -> None:
        self.stall = StallWatch()
        self.cpu = CpuWatch()
        self.stalls: list[float] = []
        self.held: list[float] = []
        self.driver_cpu = 0.0
        self.loop_cpu = 0.0
        self.steal = 0.0
        self._steal_at = 0.0

    def start(self) -> None:
        self._steal_at = host_steal_s()
        self.cpu.start()
        self.stall.start()

    def stop(self) -> None:
        stall, held = self.stall.stop()
        self.stalls.append(stall)
        self.held.append(held)
        driver, loop = self.cpu.stop()
        self.driver_cpu += driver
        self.loop_cpu += loop
        self.steal += host_steal_s() - self._steal_at

    def to_json(self) -> dict[str, Any]:
        return {"stall_max_s": max(self.stalls, default=0.0), "stalls_s": self.stalls,
                "held_max_s": max(self.held, default=0.0),
                "driver_cpu_s": self.driver_cpu, "loop_cpu_s": self.loop_cpu, "host_steal_s": self.steal}


def _describe(e: BaseException) -> str:
    if isinstance(e, NotAvailable):
        return f"not available: {e}"
    return f"error: {type(e).__name__}: {e}"


async def _calibrate(bench: Bench, settings: Settings) -> int:
    """Warm for `warmup_s`, then grow the batch until one lasts `target_s`."""
    await bench.batch(1)
    deadline = time.perf_counter() + settings.warmup_s
    while time.perf_counter() < deadline:
        await bench.batch(8)
    n = 1
    while True:
        t = await _timed(bench, n)
        if t >= settings.target_s or n >= 1 << 22:
            return n
        grow = settings.target_s / max(t, 1e-7)
        n = min(1 << 22, max(n * 2, int(n * grow * 1.1)))


async def measure_group(benches: dict[str, Bench], settings: Settings, *,
                        samples: int | None = None) -> dict[str, Result]:
    """Time several contestants on the running loop, interleaved.

    Samples are taken round-robin, one per contestant per round, with the order
    rotated every round: on a shared 2-core machine the background load drifts,
    and taking one contestant's samples in a block would hand that drift to it
    alone. The collector is paused during timed batches for every contestant
    alike, so a collection of one library's garbage does not land in another's
    figure.

    One-shot benches (with `prepare`) give `samples` samples of a single unit
    each, `prepare` running untimed before every one. Others are warmed,
    calibrated to a batch lasting `target_s`, and timed `runs` times.
    """
    results = {k: Result() for k in benches}
    watches = {k: Watch() for k in benches}
    live = dict(benches)
    sizes: dict[str, int] = {}
    for key, bench in list(live.items()):
        try:
            if bench.prepare is not None:
                await _maybe_await(bench.prepare())
                await bench.batch(1)  # first use: lazy set-up stays outside the clock
                sizes[key] = 1
            else:
                sizes[key] = await _calibrate(bench, settings)
        except Exception as e:
            results[key].error = _describe(e)
            del live[key]
    one_shot = any(b.prepare is not None for b in benches.values())
    rounds = (samples or 1) if one_shot else settings.runs
    gc.collect()
    for r in range(rounds):
        keys = list(live)
        if keys:
            keys = keys[r % len(keys):] + keys[: r % len(keys)]
        for key in keys:
            bench = live[key]
            try:
                if bench.prepare is not None:
                    await _maybe_await(bench.prepare())
                    gc.collect()
                n = sizes[key]
                t = await _timed(bench, n, watches[key])
                results[key].samples.append(t / (n * bench.ops_per_unit))
            except Exception as e:
                results[key].error = _describe(e)
                results[key].samples.clear()
                del live[key]
    for key, bench in benches.items():
        results[key].unit_n = sizes.get(key, 0)
        results[key].extra.update(bench.notes)
        results[key].extra.update(watches[key].to_json())
    return results


ContestantFactory = Callable[[], AbstractAsyncContextManager[Bench]]


def run_group(loop: str, factories: dict[str, ContestantFactory], settings: Settings,
              *, samples: int | None = None) -> dict[str, Result]:
    """Set every contestant up on one fresh loop of the given kind and measure them
    interleaved. A contestant's own faults (missing API, errors in set-up, runs or
    tear-down) become its row's error; they never stop the others."""
    errors: dict[str, str] = {}

    @asynccontextmanager
    async def guarded(key: str, factory: ContestantFactory) -> AsyncIterator[Bench]:
        cm = factory()
        bench = await cm.__aenter__()
        try:
            yield bench
        finally:
            try:
                await cm.__aexit__(None, None, None)
            except Exception as e:
                errors[key] = f"error at tear-down: {type(e).__name__}: {e}"

    async def body() -> dict[str, Result]:
        async with AsyncExitStack() as stack:
            benches: dict[str, Bench] = {}
            for key, factory in factories.items():
                try:
                    benches[key] = await stack.enter_async_context(guarded(key, factory))
                except Exception as e:
                    errors[key] = _describe(e)
            out = await measure_group(benches, settings, samples=samples)
        for key, err in errors.items():
            out.setdefault(key, Result())
            if out[key].error is None:
                out[key] = Result(error=err)
        return {k: out[k] for k in factories}

    try:
        with asyncio.Runner(loop_factory=LOOP_FACTORIES[loop]) as runner:
            return runner.run(body())
    except Exception as e:  # the loop itself is missing or broken: every row says why
        return {k: Result(error=_describe(e)) for k in factories}
