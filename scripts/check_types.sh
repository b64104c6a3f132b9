#!/usr/bin/env bash
# The type checks of the installed package, with the interpreter of one
# development environment: mypy in strict mode over the whole package; mypy
# over tests/typing/usage.py, calls that must be accepted or refused; and
# stubtest, which compares the stubs and annotations with the modules as
# they are at run time (the extension modules included).
#
# Usage: scripts/check_types.sh [PYTHON]   (default .venv/bin/python)
set -uo pipefail
cd "$(dirname "$0")/.."
py=${1:-.venv/bin/python}
py=$(cd "$(dirname "$py")" && pwd)/$(basename "$py")  # absolute, the venv link kept
config=$(pwd)/pyproject.toml
usage=$(pwd)/tests/typing/usage.py
# From outside the source tree, so that both check the installed package.
cache=$(pwd)/build/mypy-cache-$("$py" -c 'import sys; print("%d%d" % sys.version_info[:2])')
cd "${TMPDIR:-/tmp}"
status=0
"$py" -m mypy --config-file "$config" --strict --cache-dir "$cache" -p vorlen || status=1
"$py" -m mypy --config-file "$config" --cache-dir "$cache" "$usage" || status=1
"$py" -m mypy.stubtest --mypy-config-file "$config" vorlen || status=1
exit "$status"
