#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
#   ./scripts/test.sh            all stages
#   ./scripts/test.sh unit ...   only the named stages
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
stages=("$@")
[ ${#stages[@]} -gt 0 ] || stages=(unit)

stage_unit() {
  ./scripts/deps.sh build host test
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$JOBS"
  ctest --preset release -j "$JOBS"
}

for s in "${stages[@]}"; do
  echo "=== stage: $s ==="
  "stage_$s"
done
echo "=== all stages passed: ${stages[*]} ==="
