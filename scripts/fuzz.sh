#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer) in
# build/fuzz and runs each for a bounded time, starting from the seed corpus in fuzz/corpus/.
# Usage: scripts/fuzz.sh [--smoke | --time SECONDS | --build-only] [TARGET...]
#   --smoke          10 s per target (what CI runs)
#   --time SECONDS   that long per target (default 300)
#   --build-only     build the targets, run none
#   TARGET           smtp_client, evaluate or body (default: all three)
# New inputs go to build/fuzz/corpus/TARGET; a crash is written to build/fuzz/artifacts/ and
# ends the script with a non-zero status. Copy an input worth keeping into fuzz/corpus/TARGET.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

seconds=300
build_only=0
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --smoke) seconds=10 ;;
    --build-only) build_only=1 ;;
    --time) seconds=${2:?--time needs a number of seconds}; shift ;;
    smtp_client|evaluate|body) targets+=("$1") ;;
    *) echo "usage: $0 [--smoke | --time SECONDS | --build-only] [smtp_client|evaluate|body]..." >&2; exit 2 ;;
  esac
  shift
done
[ ${#targets[@]} -eq 0 ] && targets=(smtp_client evaluate body)

scripts/deps.sh  # quick when all is there; clang alone lacks the fuzzer runtime

build=build/fuzz
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSM_BUILD_FUZZERS=ON -DSM_BUILD_TESTS=OFF -DSM_WERROR=ON -DSM_SANITIZE=address,undefined >/dev/null
cmake --build "$build" -j2 --target "${targets[@]/#/fuzz_}"
[ $build_only -eq 1 ] && exit 0

declare -A max_len=([smtp_client]=20000 [evaluate]=8192 [body]=20000)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/artifacts"
for t in "${targets[@]}"; do
  echo "== fuzz $t for ${seconds}s"
  mkdir -p "$build/corpus/$t"
  log="$build/fuzz-$t.log"
  # The first directory takes new inputs; the seeds (and kept regression inputs) are read only.
  status=0
  "$build/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len="${max_len[$t]}" -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$t-" "$build/corpus/$t" "fuzz/corpus/$t" >"$log" 2>&1 ||
    status=$?
  grep -E '^(INFO: seed corpus|#[0-9]+ *DONE)|^stat::(number_of_executed_units|peak_rss_mb)' "$log" || true
  if [ "$status" -ne 0 ]; then
    tail -n 60 "$log" >&2
    echo "fuzz $t failed (status $status); the input is in $build/artifacts/, the log in $log" >&2
    exit 1
  fi
done
echo "== fuzz: no finding"
