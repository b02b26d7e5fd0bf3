#!/usr/bin/env bash
# Installs the project from a read-only copy of its source: pip must build
# outside the source tree. As root (whom file modes do not stop) the copy is
# bind-mounted read-only in a mount namespace of its own.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
arg=${1:?usage: install_read_only.sh PYTHON}
# Absolute, but not resolved: a venv's python is a symlink to the base
# interpreter, which has none of the venv's build tools.
python=$(cd "$(dirname "$arg")" && pwd)/$(basename "$arg")
work=$(mktemp -d /tmp/velnor-ro.XXXXXX)
trap 'chmod -R u+w "$work"; rm -rf "$work"' EXIT
mkdir "$work/src"
(cd "$root" && git ls-files -z --cached --others --exclude-standard |
  xargs -0 cp --parents -t "$work/src" 2>/dev/null)
chmod -R a-w "$work/src"
install="$python -m pip install -q --no-build-isolation --no-deps --target $work/target $work/src"
check="cd $work && PYTHONPATH=$work/target $python -c 'import velnor, _velnor; print(_velnor.__file__)'"
if [ "$(id -u)" = 0 ]; then
  unshare -m bash -c "mount --bind $work/src $work/src && mount -o remount,ro,bind $work/src &&
    ! touch $work/src/.probe 2>/dev/null && $install && $check"
else
  bash -c "$install && $check"
fi
echo "installed from a read-only copy"
