"""The future type every asynchronous `_velnor` call returns."""

from __future__ import annotations

import asyncio
from collections.abc import Sequence
from typing import Any

import _velnor
from ._errors import public_traceback


class KernelFuture(asyncio.Future[Any]):
    """A future settled by the extension's drain on the loop thread.

    ``op_ids`` names the kernel operations behind the future (what
    ``cancel_ops`` takes).

    Cancellation is truthful. ``cancel()`` asks the driver to abort the
    operations and returns ``False``: the future is not done yet, because the
    kernel may still be reading into or writing from the caller's memory. It
    settles later, as cancelled when the operation stopped, or with its real
    result (or error) when the kernel had already completed it. A task whose
    ``cancel()`` reached this future still raises ``CancelledError`` at the
    ``await``, but only once the future has settled, so a buffer handed to
    ``readinto`` or ``write`` is never touched after the ``await`` returned
    or raised.
    """

    # Defaults live on the class, not in an __init__: one future is made per
    # operation, and the base class's own constructor is the cheap part.
    op_ids: Sequence[int] = ()
    _abort_requested = False
    _abort_msg: Any | None = None

    def set_result(self, result: Any, /) -> None:
        # A result can only meet a done future if something outside the
        # drain settled it; the drain must never raise for that.
        try:
            if self.done():
                return
            super().set_result(result)
        except Exception as error:
            public_traceback(error)
            raise

    def set_exception(self, exception: type | BaseException, /) -> None:
        try:
            if self.done():
                return
            super().set_exception(exception)
            if self._abort_requested:
                # The caller gave up on this operation: its failure is not news,
                # and asyncio must not log it as never retrieved.
                self.exception()
        except Exception as error:
            public_traceback(error)
            raise

    def settle_cancelled(self) -> None:
        """Settle as cancelled because the kernel aborted the operation."""
        try:
            if not self.done():
                super().cancel(msg=self._abort_msg)
        except Exception as error:
            public_traceback(error)
            raise

    def cancel(self, msg: Any | None = None) -> bool:
        """Ask the kernel to abort; the future settles when it has answered.

        Returns ``False`` while the answer is outstanding (a task awaiting
        this future is cancelled once it settles). A future with no kernel
        operation behind it is cancelled at once.
        """
        try:
            if self.done():
                return False
            if not self.op_ids:
                return super().cancel(msg=msg)
            self.request_abort(msg)
            return False
        except Exception as error:
            public_traceback(error)
            raise

    def request_abort(self, msg: Any | None = None) -> None:
        """Ask the driver, once, to abort the operations behind this future.

        The only road by which the package asks the kernel to stop: a task's
        cancellation reaches it through `cancel`, and the helpers that await
        a future on a task's behalf call it directly. The future settles when
        the kernel has answered; `msg` is what its cancellation then carries.
        """
        try:
            if self._abort_requested or self.done():
                return
            self._abort_requested = True
            self._abort_msg = msg
            _velnor.cancel_ops(self.op_ids)
        except Exception as error:
            public_traceback(error)
            raise

    @property
    def abort_requested(self) -> bool:
        """Whether the kernel has been asked to abort (by ``cancel()`` or
        `request_abort`)."""
        return self._abort_requested
