#!/usr/bin/env bash
# Prints how large the tests are beside the code they test, in non-blank lines of
# the tracked sources (C++, shell, CMake, Python). Tests: everything under tests/,
# any */tests/ folder and fuzz/. Code: everything else except bench/ and
# third_party/ (the macOS shell and tool stand-ins the script's tests run under).
# With --check it also fails when the tests are more than half the code's size.
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
[ "${1:-}" != --check ] || check=1
if ! git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "test size: not a git checkout, no list of tracked sources to count"
  exit 0
fi

git ls-files -z -- '*.cpp' '*.h' '*.sh' '*.cmake' '*.py' 'CMakeLists.txt' '*/CMakeLists.txt' .ci/run |
  xargs -0 awk '
    FNR == 1 {
      test = (FILENAME ~ /^tests\// || FILENAME ~ /\/tests\// || FILENAME ~ /^fuzz\//)
      skip = (FILENAME ~ /^bench\// || FILENAME ~ /^third_party\//)
    }
    skip || /^[[:space:]]*$/ { next }
    { if (test) t++; else c++ }
    END {
      printf "test size: %d test lines, %d code lines, %.1f%% of the code\n", t, c, c ? 100 * t / c : 0
      if (check && 2 * t > c) {
        print "test size: more than half the size of the code; merge tests that check the same thing"
        exit 1
      }
    }' check="$check"
