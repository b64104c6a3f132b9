#!/usr/bin/env bash
# Finds CPython 3.12, makes the virtual environment .venv and installs the
# package with everything it needs to run, test and benchmark.
set -euo pipefail
cd "$(dirname "$0")/.."

is_312() { "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 12))' >/dev/null 2>&1; }

find_python() {
  local candidate
  for candidate in python3.12 python3 python; do
    if command -v "$candidate" >/dev/null 2>&1 && is_312 "$candidate"; then
      command -v "$candidate"; return 0
    fi
  done
  local roots=()
  if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)"); fi
  roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
  for root in "${roots[@]}"; do
    for candidate in "$root"/versions/3.12*/bin/python3.12; do
      if [ -x "$candidate" ] && is_312 "$candidate"; then echo "$candidate"; return 0; fi
    done
  done
  return 1
}

if [ ! -x .venv/bin/python ] || ! is_312 .venv/bin/python; then
  if ! PY=$(find_python); then
    echo "setup: no CPython 3.12 found (looked on PATH and under pyenv)" >&2
    exit 1
  fi
  echo "setup: using $PY"
  rm -rf .venv
  "$PY" -m venv .venv
fi

VPY=.venv/bin/python
stamp=.venv/.deps-installed
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ scripts/setup.sh -nt "$stamp" ]; then
  "$VPY" -m pip install --quiet --upgrade pip
  "$VPY" -m pip install --quiet "scikit-build-core>=0.10" cmake ninja numpy setproctitle tqdm \
      pytest pytest-timeout hypothesis matplotlib mypy distributed
  touch "$stamp"
fi
# The build directory under build/ is kept, so a rebuild only compiles what changed.
"$VPY" -m pip install --quiet --no-build-isolation --no-deps .
