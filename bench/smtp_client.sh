#!/usr/bin/env bash
# SMTP client benchmark: N mails (1 KiB body, one recipient, one connection each, one at a
# time) through SendEmailMessage and then through Postfix's smtp-source, both to one smtp-sink on
# loopback, pinned to one core; prints mails/s of each and our ratio (best of three rounds each),
# then one mail with a 64 MiB body: its time and the client's memory beyond the body.
# Usage: bench/smtp_client.sh [N]   (default 3000). Starts no mail daemon; stops what it starts.
set -euo pipefail
n=${1:-3000}
root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build/release}
export PATH=$PATH:/usr/sbin

"$root/scripts/deps.sh"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target send_mails >/dev/null
driver=$build/bench/send_mails

port=$(/usr/bin/python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
sink_user=()
[ "$(id -u)" -eq 0 ] && sink_user=(-u nobody)
taskset -c 0 smtp-sink "${sink_user[@]}" "127.0.0.1:$port" 256 &
sink=$!
trap 'kill "$sink" 2>/dev/null || true; wait "$sink" 2>/dev/null || true' EXIT
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
  sleep 0.1
done

# smtp-source as installed re-touches a fresh 128 KiB buffer per mail unless malloc keeps it.
tunables=glibc.malloc.mmap_threshold=4194304:glibc.malloc.trim_threshold=67108864

ours() {
  timeout 300 taskset -c 0 "$driver" "$port" count "$n" | sed -E 's/.*: ([0-9.]+) mails\/s/\1/'
}
theirs() {
  local start end
  start=$(date +%s.%N)
  GLIBC_TUNABLES=$tunables timeout 300 taskset -c 0 \
    smtp-source -m "$n" -l 1024 -f bench@example.com -t sink@example.com "127.0.0.1:$port"
  end=$(date +%s.%N)
  awk -v n="$n" -v s="$start" -v e="$end" 'BEGIN { print n / (e - s) }'
}
best() { sort -g | tail -1; }

declare -a a b
for round in 1 2 3; do
  a+=("$(ours)")
  b+=("$(theirs)")
  echo "round $round: SendEmailMessage $(printf '%.0f' "${a[-1]}") mails/s, smtp-source $(printf '%.0f' "${b[-1]}") mails/s"
done
mine=$(printf '%s\n' "${a[@]}" | best)
postfix=$(printf '%s\n' "${b[@]}" | best)
printf 'SendEmailMessage: %.0f mails/s\nsmtp-source:      %.0f mails/s\nratio:            %.2f\n' \
  "$mine" "$postfix" "$(awk -v a="$mine" -v b="$postfix" 'BEGIN { print a / b }')"

timeout 300 taskset -c 0 "$driver" "$port" big 64
timeout 300 taskset -c 0 "$driver" "$port" big 64 utf8
