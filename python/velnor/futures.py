"""The future type every asynchronous `_velnor` call returns."""

from __future__ import annotations

import asyncio
from collections.abc import Sequence
from typing import Any

import _velnor


class KernelFuture(asyncio.Future[Any]):
    """A future settled by the extension's drain on the loop thread.

    ``op_ids`` names the kernel operations behind the future (what
    ``cancel_ops`` takes). Results that arrive after the future was cancelled
    are absorbed: the kernel work may finish after the user gave up on it,
    and that is not an error.
    """

    __slots__ = ("op_ids",)

    op_ids: Sequence[int]

    def __init__(self, *, loop: asyncio.AbstractEventLoop) -> None:
        super().__init__(loop=loop)
        self.op_ids = ()

    def set_result(self, result: Any, /) -> None:
        if self.cancelled():
            return
        super().set_result(result)

    def set_exception(self, exception: type | BaseException, /) -> None:
        # Swallowing the exception of a cancelled future also keeps asyncio
        # from logging "exception was never retrieved" for it.
        if self.cancelled():
            return
        super().set_exception(exception)

    def settle_cancelled(self) -> None:
        """Settle as cancelled because the kernel aborted the operation."""
        if not self.done():
            super().cancel()

    def cancel(self, msg: Any | None = None) -> bool:
        if not super().cancel(msg=msg):
            return False
        self._abort_kernel_ops()
        return True

    def _abort_kernel_ops(self) -> None:
        # Best effort: an op the kernel already finished delivers its result,
        # which set_result/set_exception then absorb; one that notices the
        # abort comes back as settle_cancelled(), a no-op by then.
        if self.op_ids:
            _velnor.cancel_ops(self.op_ids)
