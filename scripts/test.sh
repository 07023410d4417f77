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
build() {  # build <dir> <cmake args...>
  local dir=$1; shift
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSM_WERROR=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs"
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
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DSM_SANITIZE=thread
TSAN_OPTIONS=halt_on_error=1 ctest --test-dir build/tsan --output-on-failure -L threaded

if [ -x scripts/fuzz.sh ]; then
  echo "== Fuzz smoke"
  scripts/fuzz.sh --smoke
fi
echo "== all tests passed"
