#!/usr/bin/env bash
# Runs the benchmarks on every supported interpreter found (one after the
# other, never at the same time), then prints the round trip and the 200 MB
# array figures of each side by side. Results: benchmarks/results/latest.*
# for 3.12, latest-3.13.* for 3.13.
#
# Usage: scripts/bench.sh [benchmarks/run.py arguments, e.g. --only roundtrip]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/interpreters.sh

results=()
status=0
while read -r version; do
  name=latest
  if [ "$version" != "$REQUIRED_VERSION" ]; then name=latest-$version; fi
  echo "== benchmarks on $version" >&2
  "$(venv_of "$version")/bin/python" benchmarks/run.py --name "$name" "$@" || status=$?
  results+=("benchmarks/results/$name.json")
done < <(found_versions)
echo
.venv/bin/python benchmarks/interpreters.py "${results[@]}"
exit "$status"
