# Sourced by the other scripts: the CPython versions vorlen supports, where
# to find each, and the virtual environment and build directory of each.

# 3.12 is required; the others are used when they are installed.
SUPPORTED_VERSIONS=(3.12 3.13)
REQUIRED_VERSION=3.12

is_version() { "$1" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$2'.split('.'))))" >/dev/null 2>&1; }

# find_python VERSION: the path of a CPython VERSION on PATH or under pyenv.
find_python() {
  local version=$1 candidate root
  for candidate in "python$version" python3 python; do
    if command -v "$candidate" >/dev/null 2>&1 && is_version "$candidate" "$version"; then
      command -v "$candidate"; return 0
    fi
  done
  local roots=()
  if command -v pyenv >/dev/null 2>&1; then roots+=("$(pyenv root)"); fi
  roots+=("${PYENV_ROOT:-$HOME/.pyenv}")
  for root in "${roots[@]}"; do
    for candidate in "$root"/versions/"$version"*/bin/python"$version"; do
      if [ -x "$candidate" ] && is_version "$candidate" "$version"; then echo "$candidate"; return 0; fi
    done
  done
  return 1
}

# found_versions: the supported versions installed here, the required one first.
found_versions() {
  local version
  for version in "${SUPPORTED_VERSIONS[@]}"; do
    if [ "$version" = "$REQUIRED_VERSION" ] || find_python "$version" >/dev/null; then
      echo "$version"
    fi
  done
}

# The development environment of each version: .venv for the required one,
# .venv-<version> for the others; the sanitizer build's likewise.
venv_of() { if [ "$1" = "$REQUIRED_VERSION" ]; then echo .venv; else echo ".venv-$1"; fi; }
sanitize_venv_of() {
  if [ "$1" = "$REQUIRED_VERSION" ]; then echo .venv-sanitize; else echo ".venv-sanitize-$1"; fi
}
# cp312, cp313: the part of build directory names that tells the interpreter.
tag_of() { echo "cp${1/./}"; }
