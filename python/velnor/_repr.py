"""One form for every file class's repr, which warnings and errors about a
file quote: the class the user holds, ``[closed]`` as the built-in files
mark it, then what the file was opened with."""

from __future__ import annotations


def file_repr(kind: str, closed: bool, name: object, mode: str | None,
              encoding: str | None = None) -> str:
    text = f"<velnor.{kind}{' [closed]' if closed else ''} name={name!r}"
    if mode is not None:
        text += f" mode={mode!r}"
    if encoding is not None:
        text += f" encoding={encoding!r}"
    return text + ">"
