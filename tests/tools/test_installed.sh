#!/usr/bin/env bash
# Installs the given wheel into fresh Python 3.12 and 3.13 venvs (only the
# wheel and the test tools, binaries only, no compiler on PATH) and runs the
# Python suite against that installed package from outside the source tree,
# once per backend. Given the sdist or a source folder instead, pip builds
# it in each venv as a user's install does (compilers on PATH, its own build
# environment), and the suite runs once, on io_uring: the code is the
# wheel's, what is tested is the build. Needs build/core/no_uring (make
# core-test) for the fallback run.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
wheel=$(realpath "${1:?usage: test_installed.sh WHEEL|SDIST|SOURCE-FOLDER}")
sdist=0
case "$wheel" in *.tar.gz) sdist=1 ;; esac
[ -d "$wheel" ] && sdist=1
versions=${VELNOR_TEST_PYTHONS:-"3.12 3.13"}
no_uring="$root/build/core/no_uring"
[ -x "$no_uring" ] || { echo "missing $no_uring: run make core-test" >&2; exit 1; }
work=$(mktemp -d /tmp/velnor-installed.XXXXXX)
trap 'rm -rf "$work"' EXIT

# A PATH with every tool of the usual folders except compilers and linkers,
# so nothing can quietly build the extension again.
mkdir "$work/bin"
for d in /usr/local/bin /usr/bin /bin; do
  for f in "$d"/*; do
    name=${f##*/}
    case "$name" in
      cc|c++|gcc*|g++*|cpp*|clang*|ld|ld.*|x86_64-linux-gnu-*|cmake|ninja|make) continue ;;
    esac
    [ -e "$work/bin/$name" ] || ln -s "$f" "$work/bin/$name"
  done
done

for v in $versions; do
  py=""
  for cand in "$(pyenv root 2>/dev/null)/versions/$v"*/bin/python3 "${PYENV_ROOT:-$HOME/.pyenv}/versions/$v"*/bin/python3 \
              "$(command -v "python$v" || true)"; do
    [ -x "$cand" ] && { py=$cand; break; }
  done
  [ -n "$py" ] || { echo "no Python $v found" >&2; exit 1; }
  venv="$work/venv$v"
  "$py" -m venv "$venv"
  tools=(pytest pytest-timeout "uvloop>=0.19" "hypothesis>=6" "mypy>=1.10")
  if [ "$sdist" = 1 ]; then
    "$venv/bin/python" -m pip install -q --only-binary=:all: "${tools[@]}"
    # As a user installs it: pip builds in an isolated environment of its
    # own, with the system's compilers.
    env -u PYTHONPATH "$venv/bin/python" -m pip install -q --no-binary=velnor "$wheel"
  else
    "$venv/bin/python" -m pip install -q --only-binary=:all: "$wheel" "${tools[@]}"
  fi
  run=(env -u PYTHONPATH PATH="$venv/bin:$work/bin" VELNOR_INSTALLED_FROM="$venv"
       "$venv/bin/python" -m pytest -q -p no:cacheprovider -c "$root/pyproject.toml"
       --rootdir "$root" "$root/tests/python")
  what=$([ "$sdist" = 1 ] && echo "built from ${wheel##*/}" || echo "installed wheel")
  echo "== Python $v, io_uring backend ($what)"
  (cd "$work" && "${run[@]}")
  [ "$sdist" = 1 ] && continue
  echo "== Python $v, polling backend (installed wheel)"
  (cd "$work" && VELNOR_EXPECT_BACKEND=compio-polling "$no_uring" "${run[@]}")
done
