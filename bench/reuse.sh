#!/usr/bin/env bash
# Kept connections: the runner with ConnectionReuse=yes beside smtp-source -d (one connection for
# every mail) and smtp-source (a connection per mail), all to one smtp-sink on loopback; then over
# STARTTLS (stunnel in front of the same sink) beside the runner without reuse.
# Usage: bench/reuse.sh [N]   (default 5000 mails a run; medians of three interleaved rounds)
# Sink on core 0, clients on core 1; every run under `timeout`; removes what it made.
set -euo pipefail
n=${1:-5000}
from=bench@example.com
rcpt=sink@example.com
rounds=3
limit=120
. "$(dirname "$0")/common.sh"
prepare flowrun SendMailPlugIn

# A 1 KiB body, as smtp-source's -l 1024 sends.
printf '<Mail><To>%s</To><Subject>benchmark</Subject><Body>%s</Body></Mail>\n' "$rcpt" \
  "$(for _ in $(seq 14); do printf '<Line>%071d</Line>' 0; done)<Line>$(printf '%015d' 0)</Line>" >"$work/mail.xml"

port=$(free_port)
start_sink "$port"

# run COUNT CMD...: prints "mails/s cpu-µs-per-mail" of one run on core 1 (CPU of the client and
# its children, from the shell's own accounting).
run() {
  local count=$1 t; shift
  TIMEFORMAT='%R %U %S'
  if ! t=$({ time timeout "$limit" taskset -c 1 "$@" >/dev/null 2>"$work/err"; } 2>&1); then
    echo "benchmark: failed: $*" >&2; cat "$work/err" >&2; return 1
  fi
  awk -v n="$count" -v t="$t" 'BEGIN { split(t, f, " "); printf "%.1f %.1f\n", n / f[1], (f[2] + f[3]) * 1e6 / n }'
}
ours() { cmd=("$flowrun" --server "127.0.0.1:$1" --set "SMTPFrom=$from" -q --repeat "$2" "${@:3}" "$work/mail.xml"); }

declare -A rate cpu
table() {  # table NAME...: medians, and each one's ratio to the first
  local first=$1 c r u
  printf '%-36s %10s %10s %14s %10s\n' client mails/s ours/peer "CPU µs/mail" ours/peer
  for c in "$@"; do
    r=$(echo "${rate[$c]}" | median); u=$(echo "${cpu[$c]}" | median)
    rate[$c]=$r; cpu[$c]=$u
  done
  for c in "$@"; do
    printf '%-36s %10.0f %10s %14.1f %10s\n' "$c" "${rate[$c]}" "$(ratio "${rate[$first]}" "${rate[$c]}")" \
      "${cpu[$c]}" "$(ratio "${cpu[$first]}" "${cpu[$c]}")"
  done
}
measure() {  # measure NAME COUNT: runs `cmd`, adds its figures to NAME's
  local r u
  read -r r u < <(run "$2" "${cmd[@]}")
  rate[$1]+="$r "; cpu[$1]+="$u "
}

echo "== plain: $n mails a run, 1 KiB body, one recipient, $rounds rounds"
for _ in $(seq "$rounds"); do
  ours "$port" "$n" --set ConnectionReuse=yes; measure "ours, ConnectionReuse=yes" "$n"
  cmd=(smtp-source -d -m "$n" -l 1024 -f "$from" -t "$rcpt" "127.0.0.1:$port"); measure "smtp-source -d (one connection)" "$n"
  cmd=(smtp-source -m "$n" -l 1024 -f "$from" -t "$rcpt" "127.0.0.1:$port"); measure "smtp-source (connection per mail)" "$n"
  ours "$port" "$n"; measure "ours, connection per mail" "$n"
done
table "ours, ConnectionReuse=yes" "smtp-source -d (one connection)" "smtp-source (connection per mail)" "ours, connection per mail"
plain_reuse=${rate[ours, ConnectionReuse=yes]}
plain_d=${rate[smtp-source -d (one connection)]}
plain_s=${rate[smtp-source (connection per mail)]}
cpu_reuse=${cpu[ours, ConnectionReuse=yes]}
cpu_d=${cpu[smtp-source -d (one connection)]}

# STARTTLS through stunnel: its STARTTLS front waits about 200 ms before it greets, so a
# connection per mail is bounded by that wait, and reuse pays it once per MaxMailsPerConnection.
tport=$(free_port)
start_tunnel "$tport" "[starttls]" "accept = 127.0.0.1:$tport" "connect = 127.0.0.1:$port" "protocol = smtp"
ntls=$(( n / 5 ))
nplain=20
tls=(--set Security=starttls --set "TLSCAFile=$work/cert.pem")
rate=(); cpu=()
echo
echo "== STARTTLS through stunnel: reuse $ntls mails a run, a connection per mail $nplain, $rounds rounds"
for _ in $(seq "$rounds"); do
  ours "$tport" "$ntls" "${tls[@]}" --set ConnectionReuse=yes; measure "ours STARTTLS, ConnectionReuse=yes" "$ntls"
  ours "$tport" "$nplain" "${tls[@]}"; measure "ours STARTTLS, connection per mail" "$nplain"
done
table "ours STARTTLS, ConnectionReuse=yes" "ours STARTTLS, connection per mail"

echo
echo "== targets (printed, not asserted)"
echo "   reuse vs smtp-source: $(ratio "$plain_reuse" "$plain_s") (>= 2.00); vs smtp-source -d: $(ratio "$plain_reuse" "$plain_d") (>= 1.00)"
echo "   CPU per mail vs smtp-source -d: $(ratio "$cpu_reuse" "$cpu_d") (<= 1.00)"
echo "   STARTTLS reuse vs a connection per mail: $(ratio "${rate[ours STARTTLS, ConnectionReuse=yes]}" "${rate[ours STARTTLS, connection per mail]}") (>= 5.00)"
