#!/usr/bin/env bash
# The whole check, on every supported CPython found here (3.12 always, 3.13
# when installed), each in its own environment: the test suite, the
# hostile-callback tests under CPython's debug allocator, the suite under
# AddressSanitizer and UndefinedBehaviorSanitizer, and the type checks (run
# beside the tests and the hostile-callback tests of the same version). Then,
# once, the release check: the wheels of every version built, repaired and
# installed into fresh environments. Prints the time of each part at the end.
#
# Usage: scripts/test.sh [VERSION ...]   (default: every version found)
set -uo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh

versions=("$@")
if [ ${#versions[@]} -eq 0 ]; then mapfile -t versions < <(found_versions); fi
./scripts/setup.sh "${versions[@]}" || exit 1

failed=()
timings=()
# step LABEL COMMAND...: runs one part, noting its time and whether it failed.
step() {
  local label=$1 started status=0
  shift
  echo "== $label"
  started=$(date +%s)
  "$@" || status=$?
  timings+=("$(printf '%-34s %4ds  %s' "$label" $(( $(date +%s) - started )) \
               "$([ "$status" -eq 0 ] && echo ok || echo "FAILED ($status)")")")
  if [ "$status" -ne 0 ]; then failed+=("$label"); fi
}

# background_step LABEL COMMAND...: starts one part that leaves the processors
# mostly to the others (the type checks use one, while the tests leave about
# a third of two idle); finish_background prints its output and notes it.
background_label=""
background_pid=""
background_output=""
background_took=""
background_step() {
  background_label=$1
  shift
  background_output=$(mktemp)
  background_took=$(mktemp)
  (
    started=$(date +%s)
    status=0
    "$@" >"$background_output" 2>&1 || status=$?
    echo $(( $(date +%s) - started )) >"$background_took"
    exit "$status"
  ) &
  background_pid=$!
}
# An interrupted run does not leave it running.
trap 'if [ -n "$background_pid" ]; then kill "$background_pid" 2>/dev/null; fi' EXIT
finish_background() {
  local status=0
  wait "$background_pid" || status=$?
  background_pid=""
  echo "== $background_label (run beside the parts above)"
  cat "$background_output"
  timings+=("$(printf '%-34s %4ds  %s' "$background_label" "$(cat "$background_took")" \
               "$([ "$status" -eq 0 ] && echo ok || echo "FAILED ($status)")")")
  rm -f "$background_output" "$background_took"
  if [ "$status" -ne 0 ]; then failed+=("$background_label"); fi
}

for version in "${versions[@]}"; do
  py=$(venv_of "$version")/bin/python
  background_step "$version: types" scripts/check_types.sh "$py"
  step "$version: tests" scripts/split_pytest.sh "$py" -- -q tests
  # CPython's debug allocator overwrites freed memory, so that a use after
  # free crashes; -X dev adds its development checks.
  step "$version: hostile, debug allocator" scripts/split_pytest.sh \
      env PYTHONMALLOC=debug "$py" -X dev -- -q -p no:cacheprovider tests/test_hostile.py
  finish_background
  step "$version: sanitizers" env VORLEN_PYTHON="$version" scripts/sanitize.sh tests
done
step "release (wheels of ${versions[*]})" "$(venv_of "$REQUIRED_VERSION")/bin/python" \
    -m pytest -q -p no:cacheprovider -m release tests

echo
echo "== times"
printf '%s\n' "${timings[@]}"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}" >&2
  exit 1
fi
