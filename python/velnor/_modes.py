"""Parsing the mode strings of `velnor.open` the way the standard library does."""

from __future__ import annotations

from dataclasses import dataclass

_MODE_LETTERS = frozenset("rwxa+tb")


@dataclass(frozen=True, slots=True)
class OpenMode:
    """A validated binary mode: what the file allows and how to open it.

    `text` is the spelling the standard library's binary files report for the
    same mode: ``"rb"``, ``"wb"``, ``"ab"``, ``"xb"``, and with ``+``
    ``"rb+"`` (also for ``w+``), ``"ab+"`` and ``"xb+"``. `flags` are the six open
    flags of the extension, in its order: read, write, append, truncate,
    create, create_new.
    """

    text: str
    readable: bool
    writable: bool
    append: bool
    flags: tuple[bool, bool, bool, bool, bool, bool]
    cached_open: bool = False
    """Read-only: the file may be opened on the calling thread when its path is cached."""


def parse_mode(mode: str) -> OpenMode:
    """Validate `mode` and describe it, raising what `open()` raises.

    The ``b`` is optional: velnor files are always binary. A text mode
    (``t``) is refused, as are unknown or repeated letters and anything but
    exactly one of ``r``, ``w``, ``a``, ``x``.
    """
    if not isinstance(mode, str):
        raise TypeError(f"open() argument 'mode' must be str, not {type(mode).__name__}")
    letters = set(mode)
    if len(letters) != len(mode) or not letters <= _MODE_LETTERS:
        raise ValueError(f"invalid mode: {mode!r}")
    if "t" in letters:
        if "b" in letters:
            raise ValueError("can't have text and binary mode at once")
        raise ValueError(
            f"velnor.open() only opens binary files, mode {mode!r} asks for text: "
            "use velnor.read_text() / velnor.write_text(), or decode the bytes yourself")
    kinds = [letter for letter in "rwax" if letter in letters]
    if len(kinds) != 1:
        raise ValueError("must have exactly one of create/read/write/append mode")
    kind = kinds[0]
    plus = "+" in letters
    readable = kind == "r" or plus
    writable = kind != "r" or plus
    append = kind == "a"
    flags = (
        readable,
        writable,
        append,
        kind == "w",              # truncate
        kind in ("w", "a"),       # create
        kind == "x",              # create_new
    )
    reported = "r" if kind == "w" and plus else kind
    return OpenMode(text=reported + "b" + ("+" if plus else ""), readable=readable,
                    writable=writable, append=append, flags=flags, cached_open=not writable)
