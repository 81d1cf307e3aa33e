#!/usr/bin/env bash
# Mutation score of the test suite over the library and the programs: how many small
# faults (one token changed or one call removed) the whole ctest suite catches. Too slow
# for .ci/run (one incremental build and one ctest run per mutant); see docs/testing.md.
#   scripts/mutation.sh              the working tree as it is
#   scripts/mutation.sh TESTS_REF    the working tree's code with tests/ and fuzz/ of TESTS_REF
#   scripts/mutation.sh TESTS_REF CODE_REF   the tree of CODE_REF with the tests of TESTS_REF
#                                    (reproduces a recorded run after the code has moved on)
# The tree is copied to build/mutation/<name>/ and mutated there, never in place, so a
# run can go on while the sources are edited. MUTATION_SEED (7) and MUTATION_COUNT (40)
# choose the mutants: with the same code, the same seed and count draw the same mutants,
# so two runs compare two test suites. The log is build/mutation/<name>.log; its last
# lines give the score of each mutated folder.
set -euo pipefail
cd "$(dirname "$0")/.."
ref=${1:-}
code_ref=${2:-}
seed=${MUTATION_SEED:-7}
count=${MUTATION_COUNT:-40}
tool=${MUTATE_PY:-$PWD/../shared/tools/mutate.py}
name=${ref:-worktree}${code_ref:+-on-$code_ref}
name=${name//[^A-Za-z0-9_.-]/_}
dir=build/mutation/$name
log=$PWD/build/mutation/$name.log

rm -rf "$dir"
mkdir -p "$dir"
if [ -n "$code_ref" ]; then
  git archive "$code_ref" | tar -xf - -C "$dir"
else
  # Tracked and new files as they are in the working tree (files deleted but not yet
  # committed are skipped).
  git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf - | tar -xf - -C "$dir"
fi
if [ -n "$ref" ]; then
  rm -rf "$dir/tests" "$dir/fuzz"
  git archive "$ref" tests fuzz | tar -xf - -C "$dir"
fi

echo "mutation run: code of ${code_ref:-the working tree}, tests of ${ref:-the working tree}," \
  "seed $seed, $count mutants" | tee "$log"
start=$SECONDS
(cd "$dir" && python3 "$tool" --src lib/src/cgi --src lib/src/common --src tools \
   --seed "$seed" --count "$count" --jobs "${JOBS:-$(nproc)}") | tee -a "$log"
echo "took $(((SECONDS - start) / 60)) min $(((SECONDS - start) % 60)) s" | tee -a "$log"
# Score per folder from the per-mutant lines "[i/n] verdict path:line operator: ...".
awk '/^\[[0-9]+\/[0-9]+\]/ {
       split($0, w, " "); v = w[2]; p = (v == "did") ? w[5] : (v == "killed" && w[3] ~ /^\(/ ? w[4] : w[3])
       f = p ~ /^lib\/src\/cgi\// ? "lib/src/cgi" : p ~ /^lib\/src\/common\// ? "lib/src/common" : "tools"
       if (v == "killed") k[f]++; else if (v == "SURVIVED") s[f]++
     }
     END { for (f in k) all[f] = 1; for (f in s) all[f] = 1
           for (f in all) printf "%-15s %d killed of %d (%.0f%%)\n", f, k[f], k[f] + s[f],
                                 100 * k[f] / (k[f] + s[f]) }' "$log" | sort | tee -a "$log"
