#!/usr/bin/env bash
# Checks that the tests are at most half the size of the code, checks the layout of the
# C++ sources and the shell scripts (shellcheck), then builds every preset (dev:
# optimised with GCC; asan: AddressSanitizer and UndefinedBehaviorSanitizer; clang:
# Release with Clang), checks the names in the C++ sources against the rule in
# docs/architecture.md (clang-tidy's naming check, on the dev build's compile
# commands) and runs every test of each preset. All three treat warnings as errors,
# so what either compiler says stops the run. Then builds the fuzz targets (preset
# fuzz) and runs each for a bounded time on a copy of its seeds: a crash, a leak,
# a timeout or a broken property fails the script.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-deps.sh

echo "== test size: at most half the code"
scripts/test-size.sh --check

echo "== format: clang-format --dry-run --Werror"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Only the tracked C++ sources: never build folders or files someone has not added.
  git ls-files -z -- '*.cpp' '*.h' | xargs -0 --no-run-if-empty clang-format --dry-run --Werror
else
  echo "not a git checkout: no list of tracked sources, format check skipped"
fi

echo "== shell scripts: shellcheck"
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # Every tracked shell script (by name or by its first line) but the vendored ones.
  git ls-files -z | while IFS= read -r -d '' file; do
    case $file in
      third_party/*) continue ;;
      *.sh) ;;
      *) head -n 1 -- "$file" 2>/dev/null | grep -Eq '^#!.*[/ ](ba|da)?sh$' || continue ;;
    esac
    printf '%s\0' "$file"
  done | xargs -0 --no-run-if-empty shellcheck
else
  echo "not a git checkout: no list of tracked scripts, shellcheck skipped"
fi

for preset in dev asan clang; do
  echo "== $preset: configure and build"
  cmake --preset "$preset"
  cmake --build --preset "$preset"
  if [ "$preset" = dev ]; then
    # Only the naming check runs (.clang-tidy, register/.clang-tidy,
    # register/tests/.clang-tidy), on the dev build's compile_commands.json once
    # the files its build generates are there; headers are checked through the
    # sources that include them. Two at a time: the machine is shared.
    echo "== names: clang-tidy readability-identifier-naming"
    git ls-files -z -- '*.cpp' ':!third_party/' |
      xargs -0 --no-run-if-empty -n 4 -P 2 clang-tidy -p build/dev --quiet --extra-arg=-Wno-unknown-warning-option
  fi
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
