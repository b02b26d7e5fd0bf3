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
import math
import os
import resource
import threading
import time

PERIOD = 0.0002
"""How often the stall timer asks to run: short against the 2 ms a stall may last."""

MS_PERIOD = 0.001
"""The same on a loop whose timers count whole milliseconds (uvloop). It
rounds a shorter delay down to none: the timer would run at every turn and
the loop would never sleep, a busy thread that takes a CPU from every
contestant whose reading runs on other threads. Its timers come due at a
millisecond boundary no later than asked, so lateness is not inflated."""

BASE_AGE = 0.0005
"""How old the thread clocks a lateness is measured against may be."""

SELECT_SLEPT = 5e-6
"""A selector wait (with a timeout) longer than this is taken to have slept
once: one that finds events already there takes a microsecond or two."""

DRIVER_THREAD = "velnor-compio"


class StallWatch:
    """The longest lateness of a periodic timer on the running loop, between
    `start` and `stop`; and the longest part of a lateness that this machine
    held the loop for, as opposed to the host not running it.

    Steal is told apart sample by sample where the system's counter (clock
    ticks of 10 ms) cannot: the thread's CPU clock leaves out time the host
    took, and its run delay counts the time other threads of this machine
    (velnor's driver among them) kept it waiting for a CPU. A lateness during
    which the thread slept nowhere but in the loop's selector is held for its
    CPU time plus its run delay; one during which it slept elsewhere is held
    whole, since the thread's clocks do not see a blocking call."""

    def __init__(self) -> None:
        self.worst = 0.0
        self.worst_held = 0.0
        self._due = 0.0
        self._held_at = 0
        self._slept_at = 0
        self._base_at = float("-inf")
        self._handle: asyncio.TimerHandle | None = None
        self._loop: asyncio.AbstractEventLoop | None = None
        self._schedstat: int | None = None
        self._waited = 0.0  # in the loop's own selector waits since `_due`
        self._select_sleeps = 0  # selector waits that may have slept, since the base
        self._period = PERIOD
        self._selector: object | None = None

    def start(self) -> None:
        self._loop = asyncio.get_running_loop()
        self._schedstat = _open_schedstat(threading.get_native_id())
        self.worst = 0.0
        self.worst_held = 0.0
        self._base_at = float("-inf")
        self._period = PERIOD if self._watch_selector() else MS_PERIOD
        self._arm()

    def _watch_selector(self) -> bool:
        # Only a selector loop says how long it waits for events; uvloop
        # rounds a timer this short down to no wait at all.
        selector = getattr(self._loop, "_selector", None)
        real = getattr(selector, "select", None)
        if real is None or not hasattr(selector, "__dict__"):
            return False
        clock = time.perf_counter
        ceil = math.ceil

        def select(timeout: float | None = None) -> object:
            t0 = clock()
            ready = real(timeout)
            if timeout is None or timeout > 0:  # a look without a timeout never sleeps
                t1 = clock()
                if t1 - t0 > SELECT_SLEPT:
                    self._select_sleeps += 1
                # Most waits end before the timer is due (a reply woke the loop).
                if t1 > self._due:
                    asked = math.inf if timeout is None else ceil(timeout * 1e3) * 1e-3
                    waited = min(t1, t0 + asked) - max(t0, self._due)
                    if waited > 0:
                        self._waited += waited
            return ready

        selector.select = select  # type: ignore[union-attr]
        self._selector = selector
        return True

    def _unwatch_selector(self) -> None:
        if self._selector is not None:
            del self._selector.select  # type: ignore[attr-defined]
            self._selector = None

    def _held_ns(self) -> int:
        """Nanoseconds this thread has run or waited to run (steal left out)."""
        ran = time.thread_time_ns()
        if self._schedstat is None:
            return ran
        try:
            return ran + int(os.pread(self._schedstat, 64, 0).split()[1])
        except (OSError, ValueError, IndexError):
            return ran

    @staticmethod
    def _sleeps() -> int:
        return resource.getrusage(resource.RUSAGE_THREAD).ru_nvcsw

    def _arm(self) -> None:
        assert self._loop is not None
        now = time.perf_counter()
        if now - self._base_at >= BASE_AGE:
            # Reading the thread's clocks costs microseconds, and on a loop
            # whose timers round to milliseconds the timer runs every turn:
            # an older start only makes a lateness look more held, never less.
            self._base_at = now
            self._held_at = self._held_ns()
            self._slept_at = self._sleeps()
            self._select_sleeps = 0
        self._due = now + self._period
        self._waited = 0.0
        self._handle = self._loop.call_later(self._period, self._tick)

    def _note(self) -> None:
        late = time.perf_counter() - self._due
        if late > self.worst:
            self.worst = late
        late -= self._waited
        if late <= self.worst_held:
            return  # cannot be the longest: no clock to read
        if self._sleeps() - self._slept_at <= self._select_sleeps:
            # Every sleep may have been in the selector: the clocks see the rest.
            late = min(late, (self._held_ns() - self._held_at) / 1e9)
        if late > self.worst_held:
            self.worst_held = late

    def _tick(self) -> None:
        self._note()
        self._arm()

    def stop(self) -> tuple[float, float]:
        """(longest lateness, longest part of one this machine held)."""
        if self._handle is not None:
            self._handle.cancel()
            self._handle = None
        # A stall still going on when the batch ended counts too.
        self._note()
        self._unwatch_selector()
        if self._schedstat is not None:
            os.close(self._schedstat)
            self._schedstat = None
        return self.worst, self.worst_held


def _open_schedstat(tid: int) -> int | None:
    try:
        return os.open(f"/proc/self/task/{tid}/schedstat", os.O_RDONLY | os.O_CLOEXEC)
    except OSError:
        return None


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
