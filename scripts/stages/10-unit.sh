# Release build, whole test suite.
stage_unit() {
  ./scripts/deps.sh build host test
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$JOBS"
  ctest --preset release -j "$JOBS"
}
