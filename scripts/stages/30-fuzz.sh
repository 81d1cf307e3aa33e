# libFuzzer (clang) with AddressSanitizer + UndefinedBehaviorSanitizer: each write
# action's target runs for a bounded time from the committed seed corpus. New inputs go
# to build/fuzz/corpus/<target>, findings to build/fuzz/findings/. See docs/testing.md.
# The strict_ targets check lpr-webd's strict check against the library with the same
# seeds and dictionaries.
LPR_FUZZ_TARGETS=(set_lpr_advanced set_vehicle_count strict_set_lpr_advanced
                  strict_set_vehicle_count)

stage_fuzz() {
  ./scripts/deps.sh build fuzz
  cmake --preset fuzz >/dev/null
  cmake --build --preset fuzz -j "$JOBS"

  local seconds=${FUZZ_SECONDS:-20}
  local t
  for t in "${LPR_FUZZ_TARGETS[@]}"; do
    local work=build/fuzz/corpus/$t
    mkdir -p "$work" build/fuzz/findings
    echo "--- fuzzing $t for $seconds s"
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "build/fuzz/fuzz/${t}_fuzzer" \
        -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=8192 \
        -dict="fuzz/${t#strict_}.dict" -artifact_prefix="build/fuzz/findings/$t-" \
        -print_final_stats=1 -close_fd_mask=1 \
        "$work" "fuzz/corpus/${t#strict_}"
  done
}
