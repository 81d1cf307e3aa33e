# Release build, whole test suite, and the format check: every C and C++ source of ours as
# .clang-format writes it (clang-format -i on a file fixes it).
stage_unit() {
  ./scripts/deps.sh build host test
  find lib tools tests fuzz bench -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) \
    -print0 | xargs -0 clang-format --dry-run -Werror
  cmake --preset release >/dev/null
  cmake --build --preset release -j "$JOBS"
  ctest --preset release -j "$JOBS"
}
