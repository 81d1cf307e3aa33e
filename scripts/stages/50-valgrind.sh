# Valgrind memcheck over the library tests (labels cgi and common) of the plain
# (release) build: every test case runs in its own valgrind process; a leak that is
# definitely or indirectly lost, or any memory error, fails it. Left out: the soak test
# (100,000 requests; it is about resident memory, and under valgrind it would take
# minutes) and the end-to-end tests, whose test programs only drive other programs
# over HTTP and the bus and whose timing does not survive valgrind's slowdown. See
# docs/testing.md.
LPR_VALGRIND_LABELS=${LPR_VALGRIND_LABELS:-'^(cgi|common)$'}
LPR_VALGRIND_EXCLUDE=${LPR_VALGRIND_EXCLUDE:-'^Soak\.'}

stage_valgrind() {
  ./scripts/deps.sh build host test
  # LPR_VALGRIND_BUILD_DIR: an already configured plain build to use instead of the
  # release preset (which the unit stage has built already).
  local dir=${LPR_VALGRIND_BUILD_DIR:-build/release}
  if [ -z "${LPR_VALGRIND_BUILD_DIR:-}" ]; then
    cmake --preset release >/dev/null
  fi
  cmake --build "$dir" -j "$JOBS"

  local logs=$dir/valgrind
  rm -rf "$logs"
  mkdir -p "$logs"
  ctest --test-dir "$dir" --show-only=json-v1 -L "$LPR_VALGRIND_LABELS" -E "$LPR_VALGRIND_EXCLUDE" \
    >"$logs/tests.json"
  # Runs each test's own command (with its environment and working folder) under
  # memcheck, JOBS at a time, and fails when any of them does.
  python3 - "$logs" "$JOBS" <<'PY'
import json, os, re, subprocess, sys, time
from concurrent.futures import ThreadPoolExecutor

logs, jobs = os.path.abspath(sys.argv[1]), int(sys.argv[2])
VALGRIND = ["valgrind", "--tool=memcheck", "--leak-check=full",
            "--errors-for-leak-kinds=definite,indirect",
            "--show-leak-kinds=definite,indirect", "--error-exitcode=1",
            "--track-origins=yes", "--num-callers=30"]

def run(test):
    props = {p["name"]: p["value"] for p in test.get("properties", [])}
    env = dict(os.environ)
    for item in props.get("ENVIRONMENT", []):
        key, _, value = item.partition("=")
        env[key] = value
    base = os.path.join(logs, re.sub(r"[^A-Za-z0-9_.-]", "_", test["name"]))
    start = time.monotonic()
    with open(base + ".log", "w") as out:
        try:
            rc = subprocess.run(VALGRIND + ["--log-file=" + base + ".vg"] + test["command"],
                                cwd=props.get("WORKING_DIRECTORY"), env=env, stdout=out,
                                stderr=subprocess.STDOUT, timeout=600).returncode
        except subprocess.TimeoutExpired:
            rc = "timeout"
    ok = rc == 0
    print("%s %-70s %5.1f s%s" % ("ok  " if ok else "FAIL", test["name"],
          time.monotonic() - start, "" if ok else "  (see %s.log, %s.vg)" % (base, base)),
          flush=True)
    return ok

tests = json.load(open(os.path.join(logs, "tests.json")))["tests"]
with ThreadPoolExecutor(max_workers=jobs) as pool:
    results = list(pool.map(run, tests))
failed = results.count(False)
print("--- memcheck: %d tests, %d failed" % (len(results), failed))
sys.exit(1 if failed or not results else 0)
PY
}
