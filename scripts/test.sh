#!/usr/bin/env bash
# Builds everything twice (optimised, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test of both builds; then builds the
# fuzz targets (preset fuzz) and runs each for a bounded time on a copy of its
# seeds. A crash, a leak, a timeout or a broken property fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh

for preset in dev asan; do
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
  mkdir -p "$corpus"
  cp -n "$seeds"* "$corpus"/
  echo "== fuzz: $name"
  "build/fuzz/fuzz/$name" -max_total_time="${SONARELL_FUZZ_SECONDS:-30}" -rss_limit_mb=2048 -timeout=10 \
    -print_final_stats=1 "$corpus"
done

scripts/test-size.sh
