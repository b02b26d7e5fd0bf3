"""`scandir` and its entries: the listing read by the driver in one trip,
entries made in steps from it, and what the listing's types cannot tell
looked up before an entry is handed out."""

from __future__ import annotations

import asyncio
import os as _os
import stat as _stat_mod
import types as _types
from collections.abc import AsyncIterator, Generator, Iterator
from itertools import repeat as _repeat
from types import TracebackType
from typing import TYPE_CHECKING, Any, AnyStr, Generic, overload

import _velnor

from .._errors import public_traceback
from .._fsargs import AT_FDCWD, FileDescriptorOrPath, target
from .._pace import give_turn, turn_due
from .._stat import listing
from . import _AT_SYMLINK_NOFOLLOW, _STAT_RESULT, _run, stat


_DT_DIR, _DT_REG, _DT_LNK, _DT_UNKNOWN = 4, 8, 10, 0
_DT_LNK_BYTE, _DT_UNKNOWN_BYTE = bytes([_DT_LNK]), bytes([_DT_UNKNOWN])
_LOOKUPS = 64
_BUILD_STEP = 512
"""Entries made in one step of a large folder: a small part of a loop turn."""
_RUN = 256
"""Entries handed out between two looks at the clock: the C iterator hands
out a run of them with no Python frame, a fraction of a microsecond each."""


if TYPE_CHECKING:
    _Listed = _velnor.ListedEntry
else:
    class _Listed:  # only holds the methods until they join the extension's type
        __slots__ = ()


class DirEntry(_Listed, Generic[AnyStr]):
    """An entry of `scandir`, like ``os.DirEntry``.

    ``is_dir()``, ``is_file()`` and ``is_symlink()`` answer from the type the
    listing reported and never do I/O: where the listing could not tell (a
    symlink to be followed, a file system without types), `scandir` looked
    the entry up before yielding it. ``stat()`` is a coroutine; its result is
    cached, as ``os.DirEntry`` caches it. Entries are made by `scandir`
    only, as ``os.DirEntry`` instances are.
    """

    # The entries are instances of the extension's ListedEntry, which holds
    # what the listing says (name, path, inode, type) and answers is_dir()
    # and is_file() whenever the type settles it; the methods here are
    # added to it below, and it takes this class's name.

    if TYPE_CHECKING:
        # Read-only, as os.DirEntry's; the extension's type holds them.
        @property
        def name(self) -> AnyStr: ...
        @property
        def path(self) -> AnyStr: ...

    def __fspath__(self) -> AnyStr:
        return self.path

    def __repr__(self) -> str:
        return f"<DirEntry {self.name!r}>"

    def is_symlink(self) -> bool:
        """Whether the entry is a symbolic link."""
        try:
            if self._type != _DT_UNKNOWN:
                return self._type == _DT_LNK
            return self._lstat is not None and _stat_mod.S_ISLNK(self._lstat.st_mode)
        except Exception as error:
            public_traceback(error)
            raise

    def is_junction(self) -> bool:
        """Always False: junctions exist only on Windows."""
        return False

    def _is(self, d_type: int, follow_symlinks: bool) -> bool:
        # is_dir() or is_file() where the listing's type does not settle it.
        test = _stat_mod.S_ISDIR if d_type == _DT_DIR else _stat_mod.S_ISREG
        if self._type == _DT_LNK and not follow_symlinks:
            return False
        if self._type == _DT_UNKNOWN and not follow_symlinks:
            return self._lstat is not None and bool(test(self._lstat.st_mode))
        return self._followed is not None and bool(test(self._followed))

    def stat(self, *, follow_symlinks: bool = True) -> EntryStatus:
        """The entry's ``os.stat_result``, cached after the first call:
        ``await entry.stat()`` looks it up through the driver where the
        entry does not have it yet; ``entry.stat()`` used at once (as
        ``os.DirEntry``'s, and aiofiles' entries) answers from the entry or
        the kernel's caches, and only where neither has it asks the file
        system right there, as ``os.DirEntry.stat`` does."""
        # As os.DirEntry: what is not a symlink has one status, following or not.
        return EntryStatus(self, follow_symlinks and self.is_symlink())

    async def _status(self, follow: bool) -> _os.stat_result:
        if follow:
            if self._stat is None:
                self._stat = await self._lookup(True)
            return self._stat
        if self._lstat is None:
            self._lstat = await self._lookup(False)
        return self._lstat

    def _status_now(self, follow: bool) -> _os.stat_result:
        known = self._stat if follow else self._lstat
        if known is not None:
            return known
        flags = 0 if follow else _AT_SYMLINK_NOFOLLOW
        if self._dir_fd is not None:
            name: Any = self.name
            raw = _velnor.stat_cached(_os.fsdecode(name), self._dir_fd, flags)
            found = (_velnor.stat_result_of(raw, _STAT_RESULT) if raw is not None
                     else _os.stat(name, dir_fd=self._dir_fd, follow_symlinks=follow))
        else:
            raw = _velnor.stat_cached(_os.fsdecode(self.path), AT_FDCWD, flags)
            found = (_velnor.stat_result_of(raw, _STAT_RESULT) if raw is not None
                     else _os.stat(self.path, follow_symlinks=follow))
        if follow:
            self._stat = found
        else:
            self._lstat = found
        return found

    async def _lookup(self, follow: bool) -> _os.stat_result:
        if self._dir_fd is not None:
            return await stat(self.name, dir_fd=self._dir_fd, follow_symlinks=follow)
        return await stat(self.path, follow_symlinks=follow)

    async def _resolve_type(self, links: bool = True) -> None:
        """Look up what the listing's type cannot tell (not where a symlink
        points, unless `links`)."""
        if self._type == _DT_UNKNOWN:
            try:
                self._lstat = await self._lookup(False)
            except OSError:
                return
            if not _stat_mod.S_ISLNK(self._lstat.st_mode):
                self._followed = self._lstat.st_mode
                return
        if links:
            try:
                self._stat = await self._lookup(True)
            except OSError:
                return
            self._followed = self._stat.st_mode


if not TYPE_CHECKING:
    def _complete(entry_type: type, methods: type) -> type:
        for key in ("__fspath__", "__repr__", "is_symlink", "is_junction", "_is", "stat", "_status",
                    "_status_now", "_lookup", "_resolve_type"):
            setattr(entry_type, key, methods.__dict__[key])
        entry_type.__doc__ = methods.__doc__
        entry_type.__class_getitem__ = classmethod(_types.GenericAlias)
        entry_type.__module__ = "velnor.os"
        entry_type.__name__ = entry_type.__qualname__ = "DirEntry"
        return entry_type

    DirEntry = _complete(_velnor.ListedEntry, DirEntry)


class _EntryStatus:
    """What `DirEntry.stat` returns: awaited, the entry's ``os.stat_result``;
    used at once (its fields, indexing, comparing), that same result."""

    __slots__ = ("_entry", "_follow", "_result")

    def __init__(self, entry: Any, follow: bool) -> None:
        self._entry = entry
        self._follow = follow
        self._result: _os.stat_result | None = None

    def __await__(self) -> Generator[Any, None, _os.stat_result]:
        try:
            result = self._result
            if result is None:
                result = self._result = yield from self._entry._status(self._follow).__await__()
            return result
        except Exception as error:
            public_traceback(error)
            raise

    def _now(self) -> _os.stat_result:
        result = self._result
        if result is None:
            result = self._result = self._entry._status_now(self._follow)
        return result

    def __getattr__(self, name: str) -> Any:
        try:
            return getattr(self._now(), name)
        except Exception as error:
            public_traceback(error)
            raise

    def __getitem__(self, index: Any) -> Any:
        return self._now()[index]

    def __len__(self) -> int:
        return len(self._now())

    def __iter__(self) -> Iterator[Any]:
        return iter(self._now())

    def __eq__(self, other: object) -> bool:
        return self._now() == (other._now() if isinstance(other, _EntryStatus) else other)

    def __hash__(self) -> int:
        return hash(self._now())

    def __repr__(self) -> str:
        return repr(self._now())

    def __reduce__(self) -> Any:
        return self._now().__reduce__()


if TYPE_CHECKING:
    class EntryStatus(_os.stat_result):  # type: ignore[misc]  # pyright: ignore[reportGeneralTypeIssues]
        """To a checker: an ``os.stat_result`` that may also be awaited."""
        def __new__(cls, entry: Any, follow: bool) -> EntryStatus: ...
        def __await__(self) -> Generator[Any, None, _os.stat_result]: ...
else:
    EntryStatus = _EntryStatus


class ScandirIterator(Generic[AnyStr]):
    """What `scandir` returns: an async iterator of `DirEntry`, an async
    context manager like ``os.scandir``'s iterator, and awaitable (``await
    scandir(p)`` lists the folder and returns the iterator, which then also
    iterates synchronously)."""

    def __init__(self, path: FileDescriptorOrPath | None) -> None:
        try:
            self._target = target("scandir", path, allow_fd=True, allow_none=True)
            self._listing: tuple[list[Any], bytes, memoryview] | None = None
            self._entries: list[DirEntry[AnyStr]] | None = None
            self._next = 0
            self._ahead: list[DirEntry[AnyStr]] = []  # built, not yet handed out; last first
            # Entries after `_next - len(run)`, handed out by `_line_iter` ahead
            # of everything else (the C iterator steps it without a frame).
            self._run: list[DirEntry[AnyStr]] = []
            self._line_iter: Iterator[DirEntry[AnyStr]] | None = None
            self._closed = False
            # False for the package's own walks, which ask only about the entries
            # themselves: a symlink is then not looked up, and its is_dir() and
            # is_file() answer only for follow_symlinks=False.
            self._links = True
            t = self._target
            if t.fd is not None:
                self._prefix: Any = None
            elif t.is_bytes:
                assert isinstance(t.name, bytes)
                self._prefix = t.name if t.name.endswith(b"/") else t.name + b"/"
            else:
                assert isinstance(t.name, str)
                self._prefix = t.name if t.name.endswith("/") else t.name + "/"
        except Exception as error:
            public_traceback(error)
            raise

    async def _list(self) -> tuple[list[Any], bytes, memoryview]:
        if self._listing is None:
            t = self._target
            fut = _velnor.listdir(None, t.fd) if t.fd is not None else _velnor.listdir(t.text, AT_FDCWD)
            self._listing = await listing(await _run(fut, t.name), t.is_bytes)
        return self._listing

    def _build(self, start: int, stop: int) -> list[DirEntry[Any]]:
        # Entries [start, stop) of the listing, made in C in one call.
        names, types, inodes = self._listing  # type: ignore[misc]
        t = self._target
        if t.fd is not None:
            found = _velnor.listed_entries(names, types, inodes, start, stop, None, t.fd)
        else:
            found = _velnor.listed_entries(names, types, inodes, start, stop, self._prefix, None)
        return found  # type: ignore[return-value]  # the entry type is DirEntry

    def _unsure(self, entry: DirEntry[Any]) -> bool:
        # Whether the listing's type leaves a question only a lookup answers.
        return entry._type == _DT_UNKNOWN or (entry._type == _DT_LNK and self._links)

    def _any_unsure(self, types: bytes) -> bool:
        return _DT_UNKNOWN_BYTE in types or (self._links and _DT_LNK_BYTE in types)

    async def _load(self) -> list[DirEntry[AnyStr]]:
        if self._entries is None:
            names, types, _ = await self._list()
            entries: list[DirEntry[AnyStr]] = []
            unsure: list[DirEntry[AnyStr]] = []
            for start in range(0, len(names), _BUILD_STEP):
                if turn_due():
                    await give_turn()
                built = self._build(start, start + _BUILD_STEP)
                entries += built
                if self._any_unsure(types[start:start + _BUILD_STEP]):
                    unsure += [e for e in built if self._unsure(e)]
            # A bounded number of lookups at a time: a folder of symlinks
            # neither floods the driver nor spends one loop turn creating
            # a task per entry.
            for start in range(0, len(unsure), _LOOKUPS):
                await asyncio.gather(*[e._resolve_type(self._links)
                                       for e in unsure[start:start + _LOOKUPS]])
            self._entries = entries
        return self._entries

    def __await__(self) -> Generator[Any, None, ScandirIterator[AnyStr]]:
        try:
            return self._await().__await__()
        except Exception as error:
            public_traceback(error)
            raise

    async def _await(self) -> ScandirIterator[AnyStr]:
        await self._load()
        return self

    def __aiter__(self) -> AsyncIterator[DirEntry[AnyStr]]:
        return _velnor.LineSteps(self, self.__anext__)

    def _from_run(self) -> DirEntry[AnyStr] | None:
        it = self._line_iter
        if it is not None:
            entry = next(it, None)
            if entry is not None:
                return entry
            self._line_iter = None
        return None

    async def __anext__(self) -> DirEntry[AnyStr]:
        # Entries that need no lookup come without a wait, a run of them at
        # a time; the loop still gets its turns while a large folder is
        # iterated. The turn comes before an entry is taken: a
        # cancellation there skips none.
        try:
            if (entry := self._from_run()) is not None:
                return entry
            if turn_due():
                await give_turn()
            entries = self._entries
            if entries is None:
                names, types, _ = self._listing or await self._list()
                if not self._any_unsure(types):
                    # Nothing to look up: every entry at once, in paced steps.
                    entries = await self._load()
            if entries is not None:
                # Another task may have started a run while this one waited.
                if (entry := self._from_run()) is not None:
                    return entry
                i = self._next
                if self._closed or i >= len(entries):
                    raise StopAsyncIteration
                stop = min(i + _RUN, len(entries))
                first, run = entries[i], entries[i + 1:stop]
                # Handed out: how long they live is the caller's to say, and a
                # large folder is not freed all at once when the iterator goes.
                entries[i:stop] = _repeat(None, stop - i)  # type: ignore[arg-type]
                self._next = stop
                if run:
                    self._run = run
                    self._line_iter = iter(run)
                return first
            if not self._ahead:
                if self._closed or self._next >= len(names):
                    raise StopAsyncIteration
                # The next few entries at once: the lookups they need (symlinks,
                # untyped entries) run together rather than one round trip each.
                window = self._build(self._next, self._next + _LOOKUPS)
                unsure = [e._resolve_type(self._links) for e in window if self._unsure(e)]
                if unsure:
                    await asyncio.gather(*unsure)
                window.reverse()
                self._ahead = window
            if self._closed:
                raise StopAsyncIteration
            self._next += 1
            return self._ahead.pop()
        except Exception as error:
            public_traceback(error)
            raise

    def __iter__(self) -> Iterator[DirEntry[AnyStr]]:
        if self._entries is None:
            raise TypeError("await scandir() before iterating it synchronously, or use 'async for'")
        return self

    def __next__(self) -> DirEntry[AnyStr]:
        assert self._entries is not None
        if (entry := self._from_run()) is not None:
            return entry
        entries = self._entries
        i = self._next
        if self._closed or i >= len(entries):
            raise StopIteration
        entry, entries[i] = entries[i], None  # type: ignore[call-overload]
        self._next = i + 1
        return entry

    def close(self) -> None:
        """End the iteration; nothing stays open in between."""
        try:
            self._closed = True
            # An iteration suspended inside the run stops at its next step.
            self._run.clear()
            self._line_iter = None
        except Exception as error:
            public_traceback(error)
            raise

    async def __aenter__(self) -> ScandirIterator[AnyStr]:
        return self

    async def __aexit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                        tb: TracebackType | None) -> None:
        try:
            self.close()
        except Exception as error:
            public_traceback(error)
            raise

    def __enter__(self) -> ScandirIterator[AnyStr]:
        return self

    def __exit__(self, exc_type: type[BaseException] | None, exc: BaseException | None,
                 tb: TracebackType | None) -> None:
        self.close()


@overload
def scandir(path: None = None,
            *, loop: object = None, executor: object = None) -> ScandirIterator[str]: ...
@overload
def scandir(path: int, *, loop: object = None, executor: object = None) -> ScandirIterator[str]: ...
@overload
def scandir(path: AnyStr | _os.PathLike[AnyStr],
            *, loop: object = None, executor: object = None) -> ScandirIterator[AnyStr]: ...
def scandir(path: Any = None,
            *, loop: object = None, executor: object = None) -> ScandirIterator[Any]:
    """``os.scandir``: the entries of a folder (`DirEntry`), for ``async for``."""
    try:
        return ScandirIterator(path)
    except Exception as error:
        public_traceback(error)
        raise


async def _entries(path: FileDescriptorOrPath, links: bool) -> list[DirEntry[Any]]:
    """The entries of a folder for the package's walks; with `links` False,
    symlinks are not looked up (see `ScandirIterator`)."""
    it: ScandirIterator[Any] = ScandirIterator(path)
    it._links = links
    return await it._load()


# Public under velnor.os, as DirEntry is: their reprs, pickles and
# documentation name that module.
ScandirIterator.__module__ = scandir.__module__ = "velnor.os"
