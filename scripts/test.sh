#!/usr/bin/env bash
# Builds everything twice (optimised, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test of both builds.
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
scripts/test-size.sh
