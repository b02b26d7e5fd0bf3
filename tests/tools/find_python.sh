#!/usr/bin/env bash
# Prints the path of a real (non-shim) CPython 3.12+ interpreter binary.
set -u
ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null; }
real() { "$1" -c 'import sys; print(sys.executable)'; }
if [ -n "${PYTHON:-}" ] && ok "$PYTHON"; then real "$PYTHON"; exit 0; fi
roots=()
command -v pyenv >/dev/null 2>&1 && roots+=("$(pyenv root)")
roots+=("${PYENV_ROOT:-$HOME/.pyenv}" /root/.pyenv /opt/pyenv)
for r in "${roots[@]}"; do
  for p in $(ls -d "$r"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -V); do
    ok "$p" && { real "$p"; exit 0; }
  done
done
for n in python3.13 python3.12 python3.14 python3; do
  p=$(command -v "$n" 2>/dev/null) || continue
  ok "$p" && { real "$p"; exit 0; }
done
echo "no Python 3.12 or newer found (set PYTHON=/path/to/python3.12)" >&2
exit 1
