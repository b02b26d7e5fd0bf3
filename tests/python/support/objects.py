"""User objects that implement a protocol in unusual ways."""

from __future__ import annotations

from typing import Any


class IndexReturns:
    """An object whose ``__index__`` returns `value`, whatever it is: a
    negative or huge int, or something that is not an int at all."""

    def __init__(self, value: Any) -> None:
        self.value = value

    def __index__(self) -> Any:
        return self.value

    def __repr__(self) -> str:
        return f"IndexReturns({self.value!r})"
