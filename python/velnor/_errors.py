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
