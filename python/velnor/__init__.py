"""Non-blocking file I/O for asyncio over one io_uring driver thread per process."""

from __future__ import annotations

from _velnor import backend_name, shutdown

from .futures import KernelFuture

__all__ = ["KernelFuture", "backend_name", "shutdown"]
