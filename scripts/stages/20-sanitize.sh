# Sanitizer builds (gcc): the whole test suite under AddressSanitizer +
# UndefinedBehaviorSanitizer, then the concurrency tests under ThreadSanitizer. Every
# finding stops the test process (-fno-sanitize-recover=all, halt_on_error), so it
# fails its test. See docs/testing.md.

# Tests that run several threads against the library: the stress test, any test whose
# name speaks of concurrency, threads or races, the cache, start-up, and every bus test
# (the bus client runs a receive thread of its own).
LPR_TSAN_TESTS=${LPR_TSAN_TESTS:-'[Cc]oncurren|[Tt]hread|[Ss]tress|[Rr]ace|^Bus|^Cache\.|^Startup\.'}

stage_sanitize() {
  ./scripts/deps.sh build host test

  cmake --preset asan >/dev/null
  cmake --build --preset asan -j "$JOBS"
  ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:strict_init_order=1:abort_on_error=0 \
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --preset asan -j "$JOBS"

  cmake --preset tsan >/dev/null
  # shellcheck disable=SC2046
  cmake --build --preset tsan -j "$JOBS" --target $(library_test_targets)
  # Kernels with more than 28 bits of mmap randomisation break ThreadSanitizer's memory
  # layout; running the tests without address randomisation avoids that.
  local norand=()
  if [ "$(cat /proc/sys/vm/mmap_rnd_bits 2>/dev/null || echo 0)" -gt 28 ] &&
     setarch "$(uname -m)" -R true 2>/dev/null; then
    norand=(setarch "$(uname -m)" -R)
  fi
  # libzmq comes from Debian without ThreadSanitizer: the lock-free queues between a
  # calling thread and ZeroMQ's own I/O thread are invisible to it, so every message
  # handed over looks like a race inside libzmq. Reports with a libzmq frame in either
  # access are suppressed, and the memory functions libzmq calls (memcpy of every message
  # between its threads) are not checked at all: a suppressed report still costs a search
  # under TSan's global lock, and a stream of bus messages made a run take minutes instead
  # of seconds. Every race in our own code is reported.
  local supp=build/tsan/tsan.supp
  printf '%s\n' 'race:libzmq.so' 'called_from_lib:libzmq.so' >"$supp"
  TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/$supp" \
    "${norand[@]}" ctest --preset tsan -j "$JOBS" -R "$LPR_TSAN_TESTS"
}
