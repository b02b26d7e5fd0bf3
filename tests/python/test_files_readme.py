"""The README's Python examples run as written and pass mypy --strict."""

from __future__ import annotations

import re
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
BLOCK = re.compile(r"^```python\n(.*?)^```", re.S | re.M)


def readme_examples() -> list[str]:
    return BLOCK.findall((ROOT / "README.md").read_text(encoding="utf-8"))


def test_the_readme_has_examples() -> None:
    assert len(readme_examples()) >= 2


@pytest.mark.parametrize("index", range(len(readme_examples())))
def test_readme_example_runs(index: int, tmp_path: Path) -> None:
    source = readme_examples()[index]
    proc = subprocess.run([sys.executable, "-W", "error", "-c", source], cwd=tmp_path,
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr


def test_readme_examples_pass_mypy_strict(tmp_path: Path) -> None:
    pytest.importorskip("mypy")
    files = []
    for index, source in enumerate(readme_examples()):
        path = tmp_path / f"readme_example_{index}.py"
        path.write_text(source, encoding="utf-8")
        files.append(str(path))
    proc = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary",
         "--cache-dir", str(ROOT / ".mypy_cache"), *files],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
