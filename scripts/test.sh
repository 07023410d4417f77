#!/usr/bin/env bash
# Runs every test: installs what is missing, then builds and runs the suite three times over
# (Release; AddressSanitizer with UndefinedBehaviorSanitizer; ThreadSanitizer on the threaded
# tests) and the fuzz targets for a short bounded time, all with warnings as errors. Each test
# starts the servers it uses.
# Usage: scripts/test.sh [--quick]   (--quick: the Release build only)
# The tests mostly wait on their servers while a build keeps the cores busy, so each pass's tests
# run while the next pass builds; their output is shown when they end (and in build/*-tests.log).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

scripts/deps.sh

jobs=$(nproc)
# New build folders use Ninja (deps.sh installs it); one made earlier keeps its generator.
export CMAKE_GENERATOR=Ninja
build() {  # build <dir> <cmake args...> [-- targets...]
  local dir=$1 args=() targets=(); shift
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do args+=("$1"); shift; done
  [ $# -gt 0 ] && { shift; targets=(--target "$@"); }
  cmake -S "$root" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DSM_WERROR=ON "${args[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs" "${targets[@]}"
}

# One pass's tests in the background, with the caller's VAR=value settings:
# start_tests <name> <dir> [ctest args...]
running= running_pid=
start_tests() {
  local name=$1 dir=$2; shift 2
  ctest --test-dir "$dir" --output-on-failure -j"$jobs" "$@" >"build/$name-tests.log" 2>&1 &
  running=$name running_pid=$!
}
finish_tests() {  # waits for the tests started last; their summary, or all their output on failure
  [ -z "$running" ] && return 0
  local name=$running
  running=
  if wait "$running_pid"; then
    echo "== $name tests:"; grep -E '^(100% tests passed|Total Test time)' "build/$name-tests.log" || true
  else
    cat "build/$name-tests.log"; echo "== $name tests failed" >&2; exit 1
  fi
}
# A build that fails does not leave tests running behind the script; their outcome is shown.
trap finish_tests EXIT
mkdir -p build

echo "== Release build"
build build/release
if [ $quick -eq 1 ]; then
  ctest --test-dir build/release --output-on-failure -j"$jobs"
  exit 0
fi
start_tests release build/release

echo "== AddressSanitizer + UndefinedBehaviorSanitizer build"
build build/asan -DCMAKE_BUILD_TYPE=Debug -DSM_SANITIZE=address,undefined
finish_tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  start_tests asan build/asan -LE no-asan

echo "== ThreadSanitizer build (the threaded suites)"
# Only the suites whose product code runs on several threads at once (label "threaded").
build build/tsan -DCMAKE_BUILD_TYPE=Debug -DSM_SANITIZE=thread -- threaded_tests
finish_tests
TSAN_OPTIONS="halt_on_error=1 suppressions=$root/scripts/tsan.supp" start_tests tsan build/tsan -L threaded

echo "== Fuzz build"
scripts/fuzz.sh --build-only
finish_tests

echo "== Fuzz smoke"
scripts/fuzz.sh --smoke
echo "== all tests passed"
