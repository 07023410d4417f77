#!/usr/bin/env bash
# A provider's limits as the server sees them. The runner sends N mails through the plug-in on
# eight threads at MaxMailsPerMinute=R to aiosmtpd, whose record of each accepted MAIL FROM gives
# the run's length against (N-1)/R minutes and the most mails started in any second (calendar
# and sliding); then M mails on eight threads with MaxConnections=3, over connections of their
# own and over kept ones replaced every ten mails, to a server that greets a fourth connection
# with 432: the refusals, and the most connections it saw open at once.
# Usage: bench/limits.sh [N] [R] [M]   (default 10000 mails at 6000 a minute, then 5000)
# Bounded in time (every run under `timeout`), starts no mail daemon, removes what it made.
set -euo pipefail
n=${1:-10000}
per_minute=${2:-6000}
m=${3:-5000}
limit=$((n * 60 / per_minute + 120))  # seconds any one run may take
. "$(dirname "$0")/common.sh"
prepare flowrun SendMailPlugIn

echo '<Mail><To>sink@example.com</To><Subject>limits</Subject><Body>one line</Body></Mail>' >"$work/mail.xml"
mkfifo "$work/stdin"
exec 4<>"$work/stdin"  # the servers stop when this closes, with the script

# server NAME OPTIONS...: aiosmtpd recording to $work/NAME.jsonl; sets `port`.
server() {
  local name=$1; shift
  "$py" "$root/tests/support/smtp_server.py" --port 0 --record "$work/$name.jsonl" "$@" <&4 >"$work/$name.port" 2>/dev/null &
  pids+=("$!")
  for _ in $(seq 100); do grep -q PORT "$work/$name.port" && break; sleep 0.1; done
  port=$(awk '/PORT/ { print $2 }' "$work/$name.port")
}
runner() { timeout "$limit" "$flowrun" --server "127.0.0.1:$port" --set SMTPFrom=bench@example.com -q --threads 8 "$@" "$work/mail.xml" || true; }

echo "== MaxMailsPerMinute=$per_minute: $n mails on 8 threads"
server rate
runner --repeat "$n" --set "MaxMailsPerMinute=$per_minute"
"$py" - "$work/rate.jsonl" "$n" "$per_minute" <<'EOF'
import bisect, collections, json, sys
path, n, per_minute = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
starts = sorted(json.loads(line)["at"] for line in open(path))
took, expected = starts[-1] - starts[0], (n - 1) * 60 / per_minute
calendar = collections.Counter(int(t - starts[0]) for t in starts)
sliding = max(bisect.bisect_left(starts, t + 1) - i for i, t in enumerate(starts))
print(f"   {len(starts)} stored; first to last start {took:.3f} s, expected {expected:.3f} s ({(took / expected - 1) * 100:+.2f} %)")
print(f"   most in a second: {max(calendar.values())} (calendar), {sliding} (sliding); allowed {per_minute / 60:g}")
gaps = sorted((b - a) * 1000 for a, b in zip(starts, starts[1:]))
print(f"   gaps between starts: median {gaps[len(gaps) // 2]:.2f} ms, shortest {gaps[0]:.2f} ms, "
      f"{sum(g < 60000 / per_minute / 2 for g in gaps)} under half the spacing (the server's own pauses)")
EOF

kept=(--set ConnectionReuse=yes --set MaxMailsPerConnection=10)
for round in own kept; do
  echo "== MaxConnections=3, $round connections: $m mails on 8 threads, the server greets a fourth with 432"
  server "cap-$round" --max-sessions 3
  extra=()
  [ "$round" = kept ] && extra=("${kept[@]}")
  echo "   $(runner --repeat "$m" --set MaxConnections=3 "${extra[@]}")"
  "$py" -c 'import json, sys; o = [json.loads(l)["open"] for l in open(sys.argv[1])]
print(f"   {len(o)} stored; most connections open at once, server side: {max(o)}")' "$work/cap-$round.jsonl"
done
