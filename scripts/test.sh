#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and runs the suite three times over
# (Release; AddressSanitizer with UndefinedBehaviorSanitizer; ThreadSanitizer on the threaded
# tests) and the fuzz targets for a short bounded time, all with warnings as errors. Each test starts the servers it uses.
# Usage: scripts/test.sh [--quick]   (--quick: the Release build only)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/deps.sh

jobs=$(nproc)
generator=()
command -v ninja >/dev/null && generator=(-G Ninja)
build() {  # build <dir> <cmake args...> [-- targets...]
  local dir=$1 args=() targets=(); shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && { shift; targets=(--target "$@"); }
  # A folder made by another generator is configured afresh.
  if [ -f "$dir/CMakeCache.txt" ] && ! grep -q "CMAKE_GENERATOR:INTERNAL=${generator[1]:-Unix Makefiles}$" "$dir/CMakeCache.txt"; then
    rm -rf "$dir"
  fi
  cmake -S "$root" -B "$dir" "${generator[@]}" -DCMAKE_BUILD_TYPE=Release -DSM_WERROR=ON "${args[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs" "${targets[@]}"
}

echo "== Release build and tests"
build build/release
ctest --test-dir build/release --output-on-failure -j"$jobs"

[ $quick -eq 1 ] && exit 0

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DSM_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" -LE no-asan

echo "== ThreadSanitizer (threaded tests)"
# Only the suites whose product code runs on several threads at once (label "threaded").
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DSM_SANITIZE=thread -- smtp_tests reliability_tests runner_tests
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -j"$jobs" -L threaded

if [ -x scripts/fuzz.sh ]; then
  echo "== Fuzz smoke"
  scripts/fuzz.sh --smoke
fi
echo "== all tests passed"
