"""The six open flags `_velnor.open` takes after the path, in its order:
read, write, append, truncate, create, create_new."""

from __future__ import annotations

Flags = tuple[bool, bool, bool, bool, bool, bool]

READ_ONLY: Flags = (True, False, False, False, False, False)
RW: Flags = (True, True, False, False, False, False)
RW_CREATE: Flags = (True, True, False, False, True, False)
APPEND_CREATE: Flags = (False, False, True, False, True, False)
