"""What of velnor exists in this build, asked once, so each row can say why it is missing."""

from __future__ import annotations

import importlib
from contextlib import asynccontextmanager
from collections.abc import AsyncIterator
from types import ModuleType
from typing import Any

from harness import NotAvailable

# What a whole-file read asks the driver to return inline rather than as an open
# handle; the package may choose its own threshold, the raw rows use this one.
INLINE_MAX = 1 << 20
# Chunk size of the raw parallel fill of a large file.
PARALLEL_CHUNK = 4 << 20


def _import(name: str) -> tuple[ModuleType | None, str]:
    try:
        return importlib.import_module(name), ""
    except Exception as e:  # an unbuilt or half-built extension fails in many ways
        return None, f"{type(e).__name__}: {e}"


ext, _ext_error = _import("_velnor")
pkg, _pkg_error = _import("velnor")


def native(name: str) -> Any:
    """A function or class of `_velnor`, or NotAvailable naming what is missing."""
    if ext is None:
        raise NotAvailable(f"_velnor does not import ({_ext_error})")
    obj = getattr(ext, name, None)
    if obj is None:
        raise NotAvailable(f"_velnor.{name} is missing in this build")
    return obj


def package(name: str) -> Any:
    """An attribute of the `velnor` package, or NotAvailable."""
    if pkg is None:
        raise NotAvailable(f"the velnor package does not import ({_pkg_error})")
    obj = getattr(pkg, name, None)
    if obj is None:
        raise NotAvailable(f"velnor.{name} is not in the package yet")
    return obj


def backend() -> str:
    try:
        return str(native("backend_name")())
    except Exception as e:
        return f"unknown ({e})"


@asynccontextmanager
async def open_binary(path: str, mode: str) -> AsyncIterator[Any]:
    """`velnor.open(path, mode)` used as its users would: `async with` when it offers it."""
    opener = package("open")
    obj = opener(path, mode)
    if hasattr(obj, "__aenter__"):
        async with obj as f:
            yield f
        return
    f = await obj if hasattr(obj, "__await__") else obj
    try:
        yield f
    finally:
        res = f.close()
        if hasattr(res, "__await__"):
            await res


@asynccontextmanager
async def open_handle(path: str) -> AsyncIterator[tuple[int, int, int]]:
    """A raw `_velnor` handle opened for reading, closed on exit."""
    vopen = native("open")
    vclose = native("close")
    h = await vopen(path, True, False, False, False, False, False)
    try:
        yield h
    finally:
        await vclose(h[0])


async def raw_read_whole(path: str) -> bytes:
    """The driver's whole-file road without the package: inline bytes for a small
    file, otherwise the handle is filled with parallel chunk reads and closed."""
    read_file = native("read_file")
    r = await read_file(path, INLINE_MAX)
    if isinstance(r, bytes):
        return r
    handle, size, _fd = r
    try:
        return await native("read_parallel")(handle, 0, size, PARALLEL_CHUNK)
    finally:
        await native("close")(handle)
