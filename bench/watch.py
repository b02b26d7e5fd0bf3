"""What a sample costs besides its time: the longest the event loop could not
run anything else, and the CPU time the driver thread spent against the loop
thread's.

The stall is measured by a timer the loop is asked to run every `PERIOD`
seconds: how late it runs is how long the loop was kept from it. Thread CPU
times come from ``/proc/self/task/<tid>/schedstat`` (nanoseconds on the CPU),
precise enough for one calibrated batch where ``/proc/.../stat`` counts only
clock ticks.
"""

from __future__ import annotations

import asyncio
import os
import threading
import time

PERIOD = 0.0002
"""How often the stall timer asks to run: short against the 2 ms a stall may last."""

DRIVER_THREAD = "velnor-compio"


class StallWatch:
    """The longest lateness of a periodic timer on the running loop, between
    `start` and `stop`."""

    def __init__(self) -> None:
        self.worst = 0.0
        self._due = 0.0
        self._handle: asyncio.TimerHandle | None = None
        self._loop: asyncio.AbstractEventLoop | None = None

    def start(self) -> None:
        self._loop = asyncio.get_running_loop()
        self.worst = 0.0
        self._arm()

    def _arm(self) -> None:
        assert self._loop is not None
        self._due = time.perf_counter() + PERIOD
        self._handle = self._loop.call_later(PERIOD, self._tick)

    def _tick(self) -> None:
        late = time.perf_counter() - self._due
        if late > self.worst:
            self.worst = late
        self._arm()

    def stop(self) -> float:
        if self._handle is not None:
            self._handle.cancel()
            self._handle = None
        # A stall still going on when the batch ended counts too.
        late = time.perf_counter() - self._due
        return max(self.worst, late)


def host_steal_s() -> float:
    """Seconds the host has kept this machine's CPUs from running since boot
    (the steal column of /proc/stat, in clock ticks); 0 where it is not told.
    A virtual CPU the host does not run stalls every loop on it, velnor's or
    not: this says how much of that a case met."""
    try:
        with open("/proc/stat", "rb") as f:
            fields = f.readline().split()
        return int(fields[8]) / os.sysconf("SC_CLK_TCK")
    except (OSError, ValueError, IndexError):
        return 0.0


def _schedstat_ns(tid: int) -> int | None:
    try:
        with open(f"/proc/self/task/{tid}/schedstat", "rb") as f:
            return int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def driver_tid() -> int | None:
    """The velnor driver thread's id, once it runs."""
    for entry in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{entry}/comm", "rb") as f:
                if f.read().strip() == DRIVER_THREAD.encode()[:15]:
                    return int(entry)
        except OSError:
            continue
    return None


class CpuWatch:
    """CPU nanoseconds of the driver thread and of the calling (loop) thread."""

    def __init__(self) -> None:
        self._tid = threading.get_native_id()
        self._driver: int | None = None
        self._start = (0, 0)

    def start(self) -> None:
        if self._driver is None:
            # The driver thread starts with the first operation that needs it.
            self._driver = driver_tid()
        self._start = (self._read(self._driver), self._read(self._tid))

    @staticmethod
    def _read(tid: int | None) -> int:
        if tid is None:
            return 0
        return _schedstat_ns(tid) or 0

    def stop(self) -> tuple[float, float]:
        """Seconds on the CPU since `start`: (driver thread, loop thread)."""
        driver = self._read(self._driver) - self._start[0]
        loop = self._read(self._tid) - self._start[1]
        return driver / 1e9, loop / 1e9
