"""Checking the buffers users pass for reading and writing, with the
standard library's exceptions, and shaping them the way the extension takes them."""

from __future__ import annotations

from collections.abc import Buffer


def byte_view(data: Buffer) -> bytes | bytearray | memoryview:
    """`data` in a form the extension takes as a write source: itself when it
    is `bytes` or `bytearray`, else a one-byte-format view of it.

    Raises what the standard library's ``write`` raises: `TypeError` for
    objects without the buffer protocol (``str`` included), `BufferError`
    for non-contiguous buffers.
    """
    if type(data) is bytes or type(data) is bytearray:
        return data
    try:
        view = memoryview(data)
    except TypeError:
        raise TypeError(f"a bytes-like object is required, not '{type(data).__name__}'") from None
    if not view.c_contiguous:
        raise BufferError("memoryview: underlying buffer is not C-contiguous")
    return view if view.format == "B" and view.ndim == 1 else view.cast("B")


def writable_view(buffer: Buffer) -> memoryview:
    """A one-byte-format view of a writable, contiguous `buffer`, refused
    with the standard library's `TypeError` otherwise."""
    try:
        view = memoryview(buffer)
    except TypeError:
        view = None
    if view is None or view.readonly or not view.c_contiguous:
        raise TypeError("readinto() argument must be read-write bytes-like object, "
                        f"not {type(buffer).__name__}")
    return view if view.format == "B" and view.ndim == 1 else view.cast("B")
