#!/usr/bin/env bash
# Runs pytest in two parts: the tests that may share the machine with others
# in parallel (pytest-xdist, VORLEN_TEST_JOBS processes, 2 by default), then
# those marked `alone` (they measure time) one after the other. The release
# check is left out; scripts/test.sh runs it once.
#
# Usage: scripts/split_pytest.sh PYTHON-COMMAND... -- [pytest arguments]
#   e.g. scripts/split_pytest.sh .venv/bin/python -- -q tests
#        scripts/split_pytest.sh env PYTHONMALLOC=debug .venv/bin/python -X dev -- -q tests/x.py
set -uo pipefail

python=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do python+=("$1"); shift; done
if [ $# -eq 0 ] || [ ${#python[@]} -eq 0 ]; then
  echo "usage: $0 PYTHON-COMMAND... -- [pytest arguments]" >&2
  exit 2
fi
shift
jobs=${VORLEN_TEST_JOBS:-2}
parallel=()
if [ "$jobs" -gt 1 ]; then parallel=(-n "$jobs"); fi

# Exit status 5: no test was selected (say, none marked alone among those asked for).
passed() { [ "$1" -eq 0 ] || [ "$1" -eq 5 ]; }

"${python[@]}" -m pytest "${parallel[@]}" -m "not alone and not release" "$@"
together=$?
"${python[@]}" -m pytest -m "alone and not release" "$@"
alone=$?
if ! passed "$together"; then exit "$together"; fi
if ! passed "$alone"; then exit "$alone"; fi
exit 0
