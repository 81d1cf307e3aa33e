#!/usr/bin/env bash
# Installs what is missing, builds and runs every test, stage by stage.
#   ./scripts/test.sh            every stage under scripts/stages/, in name order
#   ./scripts/test.sh unit ...   only the named stages
# Each stage file NN-name.sh defines a function stage_name.
set -euo pipefail
cd "$(dirname "$0")/.."

JOBS=${JOBS:-$(nproc)}
export JOBS

# The libraries and their test programs (one per tests/cgi and tests/common *_test.cpp),
# for stages that run only the library tests and need not build the programs under tools/
# nor the end-to-end tests.
library_test_targets() {
  echo lprcgi lprcommon
  local f
  for f in tests/cgi/*_test.cpp tests/common/*_test.cpp; do
    basename "$f" .cpp
  done
}

for f in scripts/stages/*.sh; do
  # shellcheck source=/dev/null
  source "$f"
done

stages=("$@")
if [ ${#stages[@]} -eq 0 ]; then
  for f in scripts/stages/*.sh; do
    n=$(basename "$f" .sh)
    stages+=("${n#*-}")
  done
fi

start=$SECONDS
for s in "${stages[@]}"; do
  echo "=== stage: $s ==="
  t=$SECONDS
  "stage_$s"
  echo "=== stage $s passed in $((SECONDS - t)) s ==="
done
echo "=== all stages passed: ${stages[*]} ($((SECONDS - start)) s) ==="
