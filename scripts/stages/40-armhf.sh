# The camera's own architecture: 32-bit ARM (armhf) cross build with Debian's cross
# compiler, the library tests run under qemu-user, and the size report of both
# libraries against their budget. Skipped (not failed) only when the package archive
# cannot be reached, since then there is no toolchain to build with. See docs/target.md.

LPR_ARMHF_LABELS=${LPR_ARMHF_LABELS:-'^(cgi|common)$'}
LPR_ARMHF_EXCLUDE=${LPR_ARMHF_EXCLUDE:-'^Soak\.'}

stage_armhf() {
  local rc=0
  ./scripts/deps.sh build host test
  ./scripts/armhf-setup.sh || rc=$?
  if [ "$rc" -eq 77 ]; then
    echo "armhf: SKIPPED - the Debian package archive cannot be reached, so neither the"
    echo "armhf: cross compiler nor the armhf libraries can be installed"
    return 0
  fi
  [ "$rc" -eq 0 ] || return "$rc"

  # The records' and the bus configuration's layout checks, in C as the host sees them
  # (C++ is checked by the build itself).
  local h
  for h in lpr_defs.h lpr_zmq.h lpr_bus_topics.h; do
    echo "#include \"$h\"" |
      arm-linux-gnueabihf-gcc -x c -std=c11 -Wall -Werror -fsyntax-only -Ilib/api -
  done

  cmake --preset armhf >/dev/null
  # shellcheck disable=SC2046
  cmake --build --preset armhf -j "$JOBS" --target $(library_test_targets)
  # Under qemu the library and liblprcommon tests, where the camera's byte order,
  # alignment and type sizes meet the records, the database and the bus; the end-to-end
  # tests drive the same libraries through programs and only take longer there, and
  # the soak test's resident-memory bound measures qemu more than the library.
  ctest --preset armhf -j "$JOBS" -L "$LPR_ARMHF_LABELS" -E "$LPR_ARMHF_EXCLUDE"
  ./scripts/size-report.sh --check build/armhf
}
