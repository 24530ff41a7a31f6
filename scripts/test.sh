#!/usr/bin/env bash
# Checks the layout of the C++ sources, then builds every preset (dev: optimised
# with GCC; asan: AddressSanitizer and UndefinedBehaviorSanitizer; clang: Release
# with Clang) and runs every test of each. All three treat warnings as errors, so
# what either compiler says stops the run. Then builds the fuzz targets (preset
# fuzz) and runs each for a bounded time on a copy of its seeds: a crash, a leak,
# a timeout or a broken property fails the script. Ends with the size of the tests
# beside the code.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh

echo "== format: clang-format --dry-run --Werror"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Only the tracked C++ sources: never build folders or files someone has not added.
  git ls-files -z -- '*.cpp' '*.h' | xargs -0 --no-run-if-empty clang-format --dry-run --Werror
else
  echo "not a git checkout: no list of tracked sources, format check skipped"
fi

for preset in dev asan clang; do
  echo "== $preset: configure and build"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  echo "== $preset: test"
  ctest --preset "$preset"
done

echo "== fuzz: configure and build"
cmake --preset fuzz
cmake --build --preset fuzz
for seeds in fuzz/corpus/*/; do
  name="$(basename "$seeds")"
  corpus="build/fuzz/corpus/$name"
  artifacts="build/fuzz/artifacts"  # inputs that failed, kept out of the source tree
  mkdir -p "$corpus" "$artifacts"
  cp -n "$seeds"* "$corpus"/
  echo "== fuzz: $name"
  "build/fuzz/fuzz/$name" -max_total_time="${SONARELL_FUZZ_SECONDS:-30}" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$artifacts/$name-" "$corpus"
done

scripts/test-size.sh
