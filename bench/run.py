"""The latency ladder and the peer comparison (the project's main job)."""

from __future__ import annotations

import sys

import _velnor


def main(argv: list[str]) -> int:
    print(f"velnor backend: {_velnor.backend_name()}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
