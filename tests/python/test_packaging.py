"""What a user of the installed package meets before any I/O: the version,
help() and reprs, the types a checker sees, the unclosed-file warning, and
the refusal on other systems."""

from __future__ import annotations

import gc
import importlib.metadata
import os
import pydoc
import re
import subprocess
import sys
import warnings
from pathlib import Path
from typing import Any

import pytest

import _velnor
import velnor
import velnor.tempfile
from support.loops import Runner

ROOT = Path(__file__).resolve().parents[2]
USER_PROGRAM = ROOT / "tests" / "typing" / "user_program.py"


def test_the_tested_package_is_the_installed_one() -> None:
    prefix = os.environ.get("VELNOR_INSTALLED_FROM")
    if prefix is None:
        pytest.skip("not a run against an installed wheel")
    for module in (velnor, _velnor):
        assert module.__file__ is not None
        assert Path(module.__file__).resolve().is_relative_to(Path(prefix).resolve()), module
    assert str(ROOT / "python") not in sys.path


def test_version_comes_from_the_metadata() -> None:
    assert velnor.__version__ == importlib.metadata.version("velnor")
    assert re.fullmatch(r"\d+\.\d+\.\d+", velnor.__version__)
    assert "__version__" not in velnor.__all__  # a dunder, not an API name


@pytest.mark.parametrize("name", [n for n in velnor.__all__
                                  if isinstance(getattr(velnor, n), type)])
def test_help_shows_no_private_constructor(name: str) -> None:
    cls = getattr(velnor, name)
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert cls.__doc__.splitlines()[0] in text
    for private in ("handle", "st_mode", "_create", "_setup", "OpenMode"):
        assert private not in text, (name, private)


def test_a_file_made_by_hand_is_a_closed_file() -> None:
    f = velnor.BinaryFile()
    assert f.closed and repr(f) == "<velnor.BinaryFile [closed]>"
    with pytest.raises(ValueError, match="closed file"):
        f.fileno()
    del f  # no warning: nothing was opened


# (mode, buffering, the class the user holds, what its repr adds)
_FILE_KINDS = [("ab+", 0, "BinaryFile", ""), ("ab+", -1, "BufferedFile", ""),
               ("a+", -1, "TextFile", " encoding='utf-8'")]


def test_reprs_name_the_file_and_its_state(run: Runner, tmp_path: Path) -> None:
    path = tmp_path / "data.bin"
    opener = velnor.open(path, "ab+", buffering=0)
    assert repr(opener) == f"<velnor.FileOpener name={str(path)!r} mode='ab+'>"

    async def main() -> None:
        for mode, buffering, kind, extra in _FILE_KINDS:
            f = await velnor.open(path, mode, buffering, encoding="utf-8" if extra else None)
            assert repr(f) == f"<velnor.{kind} name={str(path)!r} mode={mode!r}{extra}>"
            await f.close()
            assert repr(f) == f"<velnor.{kind} [closed] name={str(path)!r} mode={mode!r}{extra}>"
        async with velnor.tempfile.SpooledTemporaryFile(mode="w+") as s:
            assert repr(s) == (f"<velnor.tempfile.SpooledTemporaryFile name=None mode='w+' "
                               f"encoding={s.encoding!r}>")

    run(main())


@pytest.mark.parametrize("mode, buffering, kind, extra", _FILE_KINDS)
def test_the_unclosed_file_warning_names_the_file_the_user_held(
        run: Runner, tmp_path: Path, mode: str, buffering: int, kind: str, extra: str) -> None:
    path = tmp_path / "dropped.bin"
    path.write_bytes(b"x")

    async def main() -> list[warnings.WarningMessage]:
        f = await velnor.open(path, mode, buffering, encoding="utf-8" if extra else None)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            del f
            gc.collect()
        return caught

    caught = run(main())
    assert [str(w.message) for w in caught] == [
        f"unclosed file <velnor.{kind} name={str(path)!r} mode={mode!r}{extra}>"]


def test_a_traceback_shows_the_callers_frame_and_the_public_call(run: Runner,
                                                                 tmp_path: Path) -> None:
    missing = tmp_path / "missing" / "f"
    plain = tmp_path / "plain.txt"
    plain.write_text("x\n")

    def fails_in_the_opener(path: str, flags: int) -> int:
        raise PermissionError("the opener said no")

    async def opened(path: Path, mode: str, buffering: int = -1) -> object:
        f = await velnor.open(path, mode, buffering)
        await f.close()
        return f

    async def main() -> None:
        closed = [await opened(plain, m, b) for m, b in (("rb", 0), ("rb", -1), ("r", -1))]
        cases: list[tuple[Any, list[str]]] = [
            (lambda: velnor.open(missing, "rb"), ["__await__"]),
            (lambda: velnor.os.stat(missing), ["stat"]),
            (lambda: velnor.os.listdir(missing), ["listdir"]),
            (lambda: velnor.read_text(missing), ["read_text"]),
            (lambda: velnor.write_bytes(missing, b"x"), ["write_bytes"]),
            (lambda: velnor.Path(missing).read_bytes(), ["read_bytes"]),
            (lambda: velnor.open(plain, "rb", opener=fails_in_the_opener),
             ["__await__", "fails_in_the_opener"]),
        ] + [(lambda f=f: f.read(), ["read"]) for f in closed]  # type: ignore[attr-defined]
        for call, frames in cases:
            with pytest.raises(Exception) as caught:
                await call()
            names = [entry.name for entry in caught.traceback]
            assert names == ["main", *frames], names
        with pytest.raises(FileNotFoundError) as caught:
            async with velnor.open(missing):
                pass
        assert [entry.name for entry in caught.traceback] == ["main", "__aenter__"]

    run(main())


def test_other_systems_get_a_clear_import_error() -> None:
    source = ("import sys\nsys.platform = 'darwin'\n"
              "try:\n    import velnor\nexcept ImportError as e:\n    print(e)\n")
    proc = subprocess.run([sys.executable, "-c", source], capture_output=True, text=True,
                          timeout=60)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert proc.stdout.strip() == "velnor needs Linux (io_uring, preadv2, openat2); " \
                                  "this system is 'darwin'"


def test_the_user_program_runs() -> None:
    proc = subprocess.run([sys.executable, "-W", "error", str(USER_PROGRAM)],
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr


@pytest.mark.timeout(300)
def test_a_type_checker_sees_the_installed_types(tmp_path: Path) -> None:
    """From outside the source tree (no mypy_path, no config), mypy finds both
    modules through site-packages alone: the package's py.typed and the
    extension's stub-only folder."""
    pytest.importorskip("mypy")
    probe = tmp_path / "probe.py"
    probe.write_text("import _velnor\nimport velnor\n"
                     "reveal_type(velnor.backend_name())\n"
                     "reveal_type(_velnor.read_file)\n"
                     "reveal_type(velnor.open('x'))\n"
                     "reveal_type(velnor.__version__)\n", encoding="utf-8")
    user = tmp_path / "user_program.py"
    user.write_text(USER_PROGRAM.read_text(encoding="utf-8"), encoding="utf-8")
    env = {k: v for k, v in os.environ.items() if k not in ("MYPYPATH", "PYTHONPATH")}
    base = [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
            "--cache-dir", str(tmp_path / "cache"), "--python-executable", sys.executable]
    checked = subprocess.run([*base, str(user)], cwd=tmp_path, env=env, capture_output=True,
                             text=True, timeout=300)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    revealed = subprocess.run([*base, str(probe)], cwd=tmp_path, env=env,
                              capture_output=True, text=True, timeout=300)
    # Older mypy spells builtins in full.
    notes = [note.replace("builtins.", "")
             for note in re.findall(r'Revealed type is "(.*)"', revealed.stdout)]
    assert len(notes) == 4 and notes[0] == notes[3] == "str", revealed.stdout
    assert "velnor.futures.KernelFuture" in notes[1] and "Any" not in notes[1], notes[1]
    assert notes[2] == "velnor._open.FileOpener[velnor._text.TextFile]", notes[2]
