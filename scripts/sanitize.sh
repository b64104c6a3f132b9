#!/usr/bin/env bash
# Builds the extension modules with AddressSanitizer and
# UndefinedBehaviorSanitizer into their own virtual environment
# (.venv-sanitize for 3.12, .venv-sanitize-3.13 for 3.13: the same
# interpreter and dependency versions as .venv or .venv-3.13) and runs the
# test suite under them, less the release check. Any sanitizer report, from
# the test process or from any worker it started, fails the run and is
# printed.
#
# Usage: [VORLEN_PYTHON=3.13] scripts/sanitize.sh [extra pytest arguments]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh

VERSION=${VORLEN_PYTHON:-$REQUIRED_VERSION}
BASE_VENV=$(venv_of "$VERSION")
VENV=$(sanitize_venv_of "$VERSION")
BUILD_DIR=build/sanitize-$(tag_of "$VERSION")
export CXX="${CXX:-g++}"

# The base interpreter of the development environment: the sanitized
# modules are built for exactly that CPython.
if [ ! -x "$BASE_VENV/bin/python" ]; then ./scripts/setup.sh "$VERSION"; fi
BASE_PY=$("$BASE_VENV/bin/python" -c 'import sys; print(sys._base_executable)')

if [ ! -x "$VENV/bin/python" ] || [ "$("$VENV/bin/python" -c 'import sys; print(sys._base_executable)')" != "$BASE_PY" ]; then
  echo "sanitize: creating $VENV from $BASE_PY"
  rm -rf "$VENV"
  "$BASE_PY" -m venv "$VENV"
fi

VPY=$VENV/bin/python
stamp=$VENV/.deps-installed
if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ] || [ "$BASE_VENV/.deps-installed" -nt "$stamp" ]; then
  # Everything the development environment has (scripts/setup.sh installs
  # it), in the same versions.
  requirements=$(mktemp)
  trap 'rm -f "$requirements"' EXIT
  "$BASE_VENV/bin/python" -m pip freeze --exclude vorlen >"$requirements"
  "$VPY" -m pip install --quiet --upgrade pip
  "$VPY" -m pip install --quiet -r "$requirements"
  touch "$stamp"
fi

# Optimised with debug information, so that reports carry file and line.
"$VPY" -m pip install --quiet --no-build-isolation --no-deps \
    -Ccmake.define.VORLEN_SANITIZE=ON -Ccmake.build-type=RelWithDebInfo \
    -Cbuild-dir="$BUILD_DIR" .

# The interpreter is not built with the sanitizers, so their run-time
# libraries must be loaded before anything else.
ASAN_LIB=$("$CXX" -print-file-name=libasan.so)
UBSAN_LIB=$("$CXX" -print-file-name=libubsan.so)
for lib in "$ASAN_LIB" "$UBSAN_LIB"; do
  if [ ! -e "$lib" ]; then echo "sanitize: $lib not found" >&2; exit 1; fi
done
# Tells AddressSanitizer of the interpreter's thread exits, which unwind
# through our frames (see the file).
THREAD_EXIT_LIB=$BUILD_DIR/sanitize_thread_exit.so
if [ ! -e "$THREAD_EXIT_LIB" ] || [ scripts/sanitize_thread_exit.c -nt "$THREAD_EXIT_LIB" ]; then
  mkdir -p "$BUILD_DIR"
  "${CC:-gcc}" -O2 -shared -fPIC -o "$THREAD_EXIT_LIB" scripts/sanitize_thread_exit.c -ldl
fi

LOG_DIR=$(mktemp -d "${TMPDIR:-/tmp}/vorlen-sanitize.XXXXXX")
# Reports go to files named after the process id, so that reports from
# worker processes (whose output the tests do not show) are seen too.
#  detect_leaks=0       CPython leaves memory allocated at exit by design.
#  handle_segv=0        a test crashes a worker on purpose; that crash should
#                       be the plain signal it is without the sanitizer.
#  handle_sigill/fpe=0  the same for the other fatal signals.
#  allow_user_segv_handler=1  faulthandler (enabled by pytest) installs its own.
export ASAN_OPTIONS="detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:allow_user_segv_handler=1:abort_on_error=0:log_path=$LOG_DIR/asan"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$LOG_DIR/ubsan"
# Every object allocation goes through malloc, where the sanitizer sees it,
# instead of CPython's small-object arenas.
export PYTHONMALLOC=malloc
export VORLEN_SANITIZED=1

run_tests() {
  LD_PRELOAD="$ASAN_LIB $UBSAN_LIB $THREAD_EXIT_LIB${LD_PRELOAD:+ $LD_PRELOAD}" \
    timeout --kill-after=30 "${SANITIZE_TIMEOUT:-1800}" \
    scripts/split_pytest.sh "$VPY" -- -q -o cache_dir="$BUILD_DIR/pytest-cache" "$@"
}

start=$(date +%s)
status=0
run_tests "${@:-tests}" || status=$?
rerun=""
# This libasan does not lock its allocator around fork(): a worker forked
# while another thread of the test process (a queue's feeder thread, a
# timer) was inside the allocator inherits the allocator's lock held and
# deadlocks at its next allocation, and the test waiting for it times out.
# Such failures do not repeat; failures of our code do. So the failed tests
# run again, twice at most (one such hang in a run is common, the same test
# hanging twice in a row rare, and a fault of ours fails all three times).
for attempt in 1 2; do
  [ "$status" -eq 1 ] || break
  echo "sanitize: re-running the tests that failed" >&2
  rerun=" (after re-running the failed tests)"
  status=0
  run_tests --last-failed --last-failed-no-failures none "${@:-tests}" || status=$?
done
elapsed=$(( $(date +%s) - start ))

reports=$(find "$LOG_DIR" -type f | sort)
if [ -n "$reports" ]; then
  echo "sanitize: sanitizer reports:" >&2
  for report in $reports; do
    echo "==== $report" >&2
    cat "$report" >&2
  done
  [ "$status" -ne 0 ] || status=1
else
  rm -rf "$LOG_DIR"
fi
echo "sanitize: tests finished with status $status in ${elapsed}s$rerun;" \
     "$( [ -n "$reports" ] && echo "$(echo "$reports" | wc -l) sanitizer report(s)" || echo "no sanitizer reports")"
exit "$status"
