"""Running code in a sub-interpreter, through the private module each Python
version has for it (imported in the scripts that need it, never by pytest)."""
from __future__ import annotations

try:
    import _interpreters as _api  # type: ignore[import-not-found]  # 3.13

    def run_in_subinterpreter(source: str, isolated: bool = True) -> str | None:
        """Runs `source` in a new sub-interpreter (its own GIL when
        `isolated`); the failure's text, or None."""
        interp = _api.create("isolated" if isolated else "legacy")
        try:
            failure = _api.run_string(interp, source)
            return None if failure is None else str(failure.formatted)
        finally:
            _api.destroy(interp)
except ImportError:
    import _xxsubinterpreters as _api  # type: ignore[import-not-found, no-redef]  # 3.12

    def run_in_subinterpreter(source: str, isolated: bool = True) -> str | None:
        interp = _api.create(isolated=isolated)
        try:
            _api.run_string(interp, source)
            return None
        except _api.RunFailedError as e:
            return str(e)
        finally:
            _api.destroy(interp)
