"""Errors as the standard library raises them.

The extension reports a failed system call as ``OSError(errno, "<text> (os
error N)")``. Users compare velnor's errors with those of the built-in
``open`` and the ``os`` module, so everything the package raises is rebuilt
here with the interpreter's own ``strerror`` and the file names attached.
"""

from __future__ import annotations

import os


def std_error(
    error: OSError,
    filename: str | bytes | int | None = None,
    filename2: str | bytes | int | None = None,
) -> OSError:
    """The error the standard library raises for the same failure.

    The class follows the errno as ``OSError`` chooses it, ``strerror`` is
    ``os.strerror(errno)``, and ``filename``/``filename2`` are the names
    given here, or those the error already carried. An error without an
    errno is not a system call's failure and is returned unchanged.
    """
    code = error.errno
    if code is None:
        return error
    name = filename if filename is not None else error.filename
    name2 = filename2 if filename2 is not None else error.filename2
    args: tuple[object, ...] = (code, os.strerror(code))
    if name is not None or name2 is not None:
        args += (name, None, name2) if name2 is not None else (name,)
    rebuilt = OSError(*args)
    rebuilt.__traceback__ = error.__traceback__
    return rebuilt


_PACKAGE = os.path.dirname(os.path.abspath(__file__)) + os.sep


def public_traceback(error: BaseException) -> None:
    """Drop the frames inside the package from the traceback of `error`,
    caught in a public function's own frame, which stays first.

    A traceback then reads like the standard library's: the user's frame
    and the function they called, not the helpers and the re-raises in
    between. Frames of code that is not ours (a user's opener, iterable or
    ``__fspath__`` that raised) stay, since the fault is there. An
    ``OSError`` still in the extension's words reads as os's.
    """
    if isinstance(error, OSError) and error.errno is not None and \
            isinstance(error.strerror, str) and error.strerror.endswith(f" (os error {error.errno})"):
        # The extension's own words, which no call on the way put in the
        # standard library's (the driver thread could not be started, say):
        # its text as os's, the error object the same.
        error.strerror = os.strerror(error.errno)
    head = error.__traceback__
    if head is None:
        return
    kept, tb = head, head.tb_next
    while tb is not None:
        after = tb.tb_next
        if not tb.tb_frame.f_code.co_filename.startswith(_PACKAGE):
            kept.tb_next = tb
            kept = tb
        tb = after
    kept.tb_next = None
