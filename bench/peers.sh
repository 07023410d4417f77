#!/usr/bin/env bash
# The benchmark: the runner through the plug-in against the SMTP clients users would otherwise
# pick (Postfix's smtp-source, Python's smtplib, curl), all sending to one smtp-sink on loopback
# in the same run, interleaved over three rounds; prints a table of medians and our ratios, a
# connection per mail and kept connections (ConnectionReuse=yes beside smtp-source -d).
# Then the same over TLS (implicit, and STARTTLS), against stunnel in front of the same sink,
# kept connections beside one curl process that keeps its own.
# Usage: bench/peers.sh [N]   (default 3000 mails a run; curl sends N/10, one process each)
# Bounded in time (every run under `timeout`), starts no mail daemon, removes what it made.
set -euo pipefail
n=${1:-3000}
from=bench@example.com
rcpt=sink@example.com
ncurl=$(( n / 10 > 20 ? n / 10 : 20 ))
rounds=3
limit=300  # seconds any one run may take
. "$(dirname "$0")/common.sh"
prepare flowrun SendMailPlugIn send_mails
driver=$build/bench/send_mails
echo "== machine: $(uname -n), $(nproc) cores ($(awk -F': ' '/^model name/ { print $2; exit }' /proc/cpuinfo)), Linux $(uname -r)"
echo "   every figure is the median of $rounds interleaved rounds unless it says otherwise; the sink runs on"
echo "   core 0; sequential clients share core 0 with it, the others run on core 1 (taskset)"

# ---- inputs: one 1 KiB body (14 lines of 72 bytes and a short one), as each client takes it
$py - "$work" "$from" "$rcpt" <<'EOF'
import sys
work, sender, rcpt = sys.argv[1:4]
lines = ["x" * 71] * 14 + ["y" * 15]          # 14 * 72 + 16 = 1024 bytes with their line feeds
open(f"{work}/mail.xml", "w").write(
    "<Mail><To>%s</To><Subject>benchmark</Subject><Body>%s</Body></Mail>\n"
    % (rcpt, "".join(f"<Line>{l}</Line>" for l in lines)))
open(f"{work}/mail.eml", "w", newline="").write(
    f"From: {sender}\r\nTo: {rcpt}\r\nSubject: benchmark\r\n\r\n" + "".join(l + "\r\n" for l in lines))
# 64 MiB: the same lines over and over, as the runner's Body text and as curl's upload.
line = "z" * 71 + "\n"
count = (64 << 20) // len(line)
body = line * count + "z" * ((64 << 20) - count * len(line))
with open(f"{work}/big.xml", "w") as f:
    f.write(f"<Mail><To>{rcpt}</To><Subject>big</Subject><Body>")
    f.write(body)
    f.write("</Body></Mail>\n")
with open(f"{work}/big.eml", "w", newline="") as f:
    f.write(f"From: {sender}\r\nTo: {rcpt}\r\nSubject: big\r\n\r\n")
    f.write(body.replace("\n", "\r\n"))
# 20 MiB: a plain body, and the same size as a binary file attached by reference.
with open(f"{work}/body20.xml", "w") as f:
    f.write(f"<Mail><To>{rcpt}</To><Subject>body</Subject><Body>")
    f.write(body[:20 << 20])
    f.write("</Body></Mail>\n")
with open(f"{work}/attach20.bin", "wb") as f:
    f.write(bytes((i * 2654435761 >> 13) & 255 for i in range(1 << 16)) * 320)
open(f"{work}/attach20.xml", "w").write(
    f"<Mail><To>{rcpt}</To><Subject>attachment</Subject><Body>See the attachment.</Body>"
    "<Attachment><Name>data.bin</Name><Data><File>attach20.bin</File></Data></Attachment></Mail>\n")
EOF
cat >"$work/smtplib_send.py" <<'EOF'
import smtplib, sys
port, count, sender, rcpt, path = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4], sys.argv[5]
message = open(path, "rb").read()
for _ in range(count):
    with smtplib.SMTP("127.0.0.1", port) as s:  # one connection per mail
        s.sendmail(sender, [rcpt], message)
EOF

# ---- the sink: a free loopback port, pinned to core 0 with every sequential client
port=$(free_port)
start_sink "$port"

# Runs one client and prints "seconds cpu-seconds peak-KiB": wall time from start to exit, user +
# system time of the whole client (children included) and its peak RSS, all from wait4.
cat >"$work/measure.py" <<'EOF'
import os, subprocess, sys, time
start = time.monotonic()
with open(sys.argv[1], "wb") as err:
    child = subprocess.Popen(sys.argv[2:], stdout=subprocess.DEVNULL, stderr=err)
    _, status, usage = os.wait4(child.pid, 0)
    child.returncode = os.waitstatus_to_exitcode(status)
seconds = time.monotonic() - start
print(f"{seconds:.6f} {usage.ru_utime + usage.ru_stime:.6f} {usage.ru_maxrss}")
sys.exit(child.returncode)
EOF

# smtp-source as installed re-touches a fresh 128 KiB buffer per mail unless malloc keeps it.
tunables=glibc.malloc.mmap_threshold=4194304:glibc.malloc.trim_threshold=67108864
# Each sets `cmd` to one client's command line for COUNT mails (and SESSIONS at once).
ours_cmd()    { cmd=("$flowrun" --server "127.0.0.1:$port" --set "SMTPFrom=$from" -q --repeat "$1" --threads "${2:-1}" "$work/mail.xml"); }
source_cmd()  { cmd=(env "GLIBC_TUNABLES=$tunables" smtp-source -m "$1" -s "${2:-1}" -l 1024 -f "$from" -t "$rcpt" "127.0.0.1:$port"); }
# Kept connections: ours with ConnectionReuse=yes, smtp-source -d (one connection for every mail).
reuse_cmd()   { ours_cmd "$@"; cmd+=(--set ConnectionReuse=yes); }
kept_cmd()    { source_cmd "$@"; cmd=("${cmd[@]:0:2}" smtp-source -d "${cmd[@]:3}"); }
driver_cmd()  { cmd=("$driver" "$port" count "$1"); }
smtplib_cmd() { cmd=("$py" "$work/smtplib_send.py" "$port" "$1" "$from" "$rcpt" "$work/mail.eml"); }
curl_cmd()    {
  cmd=(bash -c 'for _ in $(seq "$1"); do curl -sS --url "smtp://127.0.0.1:$2" --mail-from "$3" --mail-rcpt "$4" --upload-file "$5" || exit 1; done'
       curl-loop "$1" "$port" "$from" "$rcpt" "$work/mail.eml")
}

# run CORES COUNT CMD...: one client run; prints "mails/s cpu-µs-per-mail peak-KiB".
run() {
  local cores=$1 count=$2 stats; shift 2
  if ! stats=$(timeout "$limit" "$py" "$work/measure.py" "$work/err" taskset -c "$cores" "$@"); then
    echo "benchmark: failed: $*" >&2; cat "$work/err" >&2; return 1
  fi
  awk -v n="$count" -v t="$stats" 'BEGIN { split(t, f, " "); printf "%.1f %.1f %d\n", n / f[1], f[2] * 1e6 / n, f[3] }'
}

declare -A rate cpu
clients=(ours source smtplib curl driver reuse kept)  # each has a <name>_cmd
declare -A label=([ours]="flowrun + plug-in (ours)" [source]="smtp-source" [smtplib]="python smtplib"
                  [curl]="curl (process per mail)" [driver]="SendEmailMessage alone"
                  [reuse]="ours, ConnectionReuse=yes" [kept]="smtp-source -d (one connection)")
echo "== sequential: 1 KiB body, one recipient, one mail per connection (the last two: kept connections);"
echo "   sink and client on core 0"
echo "   N=$n per run (curl $ncurl), $rounds rounds interleaved"
for round in $(seq "$rounds"); do
  for c in "${clients[@]}"; do
    count=$n
    [ "$c" = curl ] && count=$ncurl
    "${c}_cmd" "$count"
    result=$(run 0 "$count" "${cmd[@]}")
    read -r r u _ <<<"$result"
    rate[$c]+="$r "; cpu[$c]+="$u "
  done
  echo "   round $round: $(for c in "${clients[@]}"; do printf '%s %.0f/s  ' "$c" "$(echo "${rate[$c]}" | awk '{ print $NF }')"; done)"
done
declare -A mrate mcpu
for c in "${clients[@]}"; do
  mrate[$c]=$(echo "${rate[$c]}" | median)
  mcpu[$c]=$(echo "${cpu[$c]}" | median)
done
# Each row's ratios are ours over it: a connection per mail against the first rows, ours with
# reuse against the kept-connection rows.
printf '\n%-32s %10s %12s %14s %12s\n' "client" "mails/s" "ours/peer" "CPU µs/mail" "ours/peer"
for c in "${clients[@]}"; do
  mine=ours
  [ "$c" = reuse ] || [ "$c" = kept ] && mine=reuse
  printf '%-32s %10.0f %12s %14.1f %12s\n' "${label[$c]}" "${mrate[$c]}" "$(ratio "${mrate[$mine]}" "${mrate[$c]}")" \
    "${mcpu[$c]}" "$(ratio "${mcpu[$mine]}" "${mcpu[$c]}")"
done

# ---- instructions per mail: callgrind over 1 and 1 + M mails; the difference over M removes
# start-up (loading, parsing, the first mail's lazy binding) and leaves the steady cost.
echo
echo "== instructions per mail (callgrind, user space of the whole client; (I[1+M] - I[1]) / M, M=200)"
instructions() {  # instructions CMD-with-COUNT-placeholder
  local a b
  a=$(timeout "$limit" valgrind --tool=callgrind --callgrind-out-file=/dev/null "${@//COUNT/1}" 2>&1 >/dev/null | awk '/Collected/ { print $4 }')
  b=$(timeout "$limit" valgrind --tool=callgrind --callgrind-out-file=/dev/null "${@//COUNT/201}" 2>&1 >/dev/null | awk '/Collected/ { print $4 }')
  awk -v a="$a" -v b="$b" 'BEGIN { printf "%.0f", (b - a) / 200 }'
}
ours_cmd COUNT; ins_ours=$(instructions "${cmd[@]}")
ins_source=$(instructions smtp-source -m COUNT -l 1024 -f "$from" -t "$rcpt" "127.0.0.1:$port")
reuse_cmd COUNT; ins_reuse=$(instructions "${cmd[@]}")
ins_kept=$(instructions smtp-source -d -m COUNT -l 1024 -f "$from" -t "$rcpt" "127.0.0.1:$port")
printf '%-32s %10s\n%-32s %10s   ours/peer %s\n' "${label[ours]}" "$ins_ours" "${label[source]}" "$ins_source" \
  "$(ratio "$ins_ours" "$ins_source")"
printf '%-32s %10s\n%-32s %10s   ours/peer %s\n' "${label[reuse]}" "$ins_reuse" "${label[kept]}" "$ins_kept" \
  "$(ratio "$ins_reuse" "$ins_kept")"

# ---- system calls per mail (strace -c over 500 mails), when strace is there
if command -v strace >/dev/null; then
  syscalls() {  # "n/a" where tracing is not allowed
    rm -f "$work/strace"
    timeout "$limit" strace -f -c -o "$work/strace" "$@" >/dev/null 2>&1 || true
    awk '/total$/ { printf "%.1f", $(NF - 2) / 500; found = 1 } END { if (!found) printf "n/a" }' \
      "$work/strace" 2>/dev/null || printf 'n/a'
  }
  ours_cmd 500; sc_ours=$(syscalls "${cmd[@]}")
  source_cmd 500; sc_source=$(syscalls "${cmd[@]}")
  reuse_cmd 500; sc_reuse=$(syscalls "${cmd[@]}")
  kept_cmd 500; sc_kept=$(syscalls "${cmd[@]}")
  echo "   system calls per mail (strace -c -f, 500 mails): ours $sc_ours, smtp-source $sc_source;"
  echo "   kept connections: ours $sc_reuse, smtp-source -d $sc_kept"
fi

# ---- parallel senders: the sink keeps core 0 to itself, the clients get core 1
echo
echo "== parallel senders (sink on core 0, clients on core 1; median of $rounds)"
printf '%-10s %16s %16s %10s\n' "sessions" "ours mails/s" "smtp-source" "ours/peer"
for t in 1 2 4; do
  pr_ours=""; pr_source=""
  for round in $(seq "$rounds"); do
    ours_cmd "$n" "$t"; result=$(run 1 "$n" "${cmd[@]}"); pr_ours+="${result%% *} "
    source_cmd "$n" "$t"; result=$(run 1 "$n" "${cmd[@]}"); pr_source+="${result%% *} "
  done
  mo=$(echo "$pr_ours" | median)
  ms=$(echo "$pr_source" | median)
  printf '%-10s %16.0f %16.0f %10s\n' "$t" "$mo" "$ms" "$(ratio "$mo" "$ms")"
done

# ---- one 64 MiB body: elapsed time and peak RSS of the whole client process
echo
echo "== one mail with a 64 MiB body (71-byte lines; client on core 1): whole process, best of $rounds"
big() {  # big CMD...: prints "seconds peak-MiB"
  local stats
  if ! stats=$(timeout "$limit" "$py" "$work/measure.py" "$work/err" taskset -c 1 "$@"); then
    echo "benchmark: failed: $*" >&2; cat "$work/err" >&2; return 1
  fi
  awk -v t="$stats" 'BEGIN { split(t, f, " "); printf "%.3f %.1f\n", f[1], f[3] / 1024 }'
}
best_ours=""; best_curl=""; best_driver=""
for round in $(seq "$rounds"); do
  result=$(big "$flowrun" --server "127.0.0.1:$port" --set "SMTPFrom=$from" -q "$work/big.xml")
  best_ours+="$result"$'\n'
  result=$(big curl -sS --url "smtp://127.0.0.1:$port" --mail-from "$from" --mail-rcpt "$rcpt" --upload-file "$work/big.eml")
  best_curl+="$result"$'\n'
  result=$(big "$driver" "$port" big 64)
  best_driver+="$result"$'\n'
done
read -r to mo < <(echo "$best_ours" | grep . | sort -g | head -1)
read -r tc mc < <(echo "$best_curl" | grep . | sort -g | head -1)
read -r td md < <(echo "$best_driver" | grep . | sort -g | head -1)
printf '%-28s %10s %14s\n' "client" "seconds" "peak RSS MiB"
printf '%-28s %10s %14s\n' "${label[ours]}" "$to" "$mo" "curl" "$tc" "$mc" "${label[driver]}" "$td" "$md"
echo "   time ours/curl $(ratio "$to" "$tc"), SendEmailMessage alone/curl $(ratio "$td" "$tc")"
echo "   ours holds the tree's UTF-16 value (128 MiB) and, in the node, one body-sized buffer (the"
echo "   value as the host hands it over, converted to UTF-8 in place); the driver holds the body once"

# ---- 20 MiB as an attachment (base64 part) beside 20 MiB as a plain body
echo
echo "== one mail with a 20 MiB attachment vs a 20 MiB plain body (client on core 1): best of $rounds"
runs_ab=""; runs_aa=""; runs_db=""; runs_da=""
for round in $(seq "$rounds"); do
  runs_ab+="$(big "$flowrun" --server "127.0.0.1:$port" --set "SMTPFrom=$from" -q "$work/body20.xml")"$'\n'
  runs_aa+="$(big "$flowrun" --server "127.0.0.1:$port" --set "SMTPFrom=$from" -q "$work/attach20.xml")"$'\n'
  runs_db+="$(big "$driver" "$port" big 20)"$'\n'
  runs_da+="$(big "$driver" "$port" attach 20)"$'\n'
done
printf '%-34s %10s %14s\n' "client" "seconds" "peak RSS MiB"
peak=()
for pair in "flowrun, 20 MiB body:$runs_ab" "flowrun, 20 MiB attachment:$runs_aa" \
            "SendEmailMessage, 20 MiB body:$runs_db" "client alone, 20 MiB attachment:$runs_da"; do
  read -r t m < <(echo "${pair#*:}" | grep . | sort -g | head -1)
  printf '%-34s %10s %14s\n' "${pair%%:*}" "$t" "$m"
  peak+=("$m")
done
printf '   memory, attachment minus body: flowrun %s MiB, client alone %s MiB (target <= 2.0)\n' \
  "$(awk -v a="${peak[1]}" -v b="${peak[0]}" 'BEGIN { printf "%.1f", a - b }')" \
  "$(awk -v a="${peak[3]}" -v b="${peak[2]}" 'BEGIN { printf "%.1f", a - b }')"
echo "   the attachment is held as the host's bytes and the node's one copy read from the host; its"
echo "   base64 is made while it is written, 256 KiB at a time (the runner's body is held as UTF-16 too)"
# ---- TLS: stunnel (C, OpenSSL) terminates TLS in front of the same smtp-sink, implicit TLS on
# one port and STARTTLS (its "protocol = smtp") on another; a Python server would be the
# bottleneck. stunnel's STARTTLS front waits about 200 ms per connection before it greets, for
# every client alike, so STARTTLS rates are bounded by that wait: compare CPU per mail there.
# The resumed share counts the handshakes stunnel reports as "previous session reused".
echo
echo "== TLS: one mail per connection through stunnel to the same sink (clients on core 1, median of $rounds)"
tls_port=$(free_port)
starttls_port=$(free_port)
start_tunnel "$starttls_port" "debug = 6" "output = $work/stunnel.log" \
  "[implicit]" "accept = 127.0.0.1:$tls_port" "connect = 127.0.0.1:$port" \
  "[starttls]" "accept = 127.0.0.1:$starttls_port" "connect = 127.0.0.1:$port" "protocol = smtp"
printf '%s\n' 'import smtplib, ssl, sys' \
  'port, count, sender, rcpt, path, ca, mode = sys.argv[1:8]' \
  'message = open(path, "rb").read()' \
  'context = ssl.create_default_context(cafile=ca)' \
  'for _ in range(int(count)):' \
  '    if mode == "tls":' \
  '        s = smtplib.SMTP_SSL("127.0.0.1", int(port), context=context)' \
  '    else:' \
  '        s = smtplib.SMTP("127.0.0.1", int(port))' \
  '        s.starttls(context=context)' \
  '    with s:' \
  '        s.sendmail(sender, [rcpt], message)' >"$work/smtplib_tls.py"
ntls=$(( n / 10 > 100 ? n / 10 : 100 ))
nstarttls=20
# Kept connections: ours with ConnectionReuse=yes beside one curl process that sends every mail
# as a transfer of its own ("next" between them in a config file), which keeps its connection;
# and ours again with one connection for the whole run as curl has (MaxMailsPerConnection=N), the
# like-for-like pair: by default ours opens a new, resumed, connection every 100 mails.
tls_clients=(ours smtplib curl reuse reuseone curlkeep)
declare -A tls_label=([ours]="flowrun + plug-in (ours)" [smtplib]="python smtplib"
                      [curl]="curl --ssl-reqd (process per mail)" [reuse]="ours, ConnectionReuse=yes"
                      [reuseone]="ours, reuse, one connection" [curlkeep]="curl, one process, connection kept")
curl_config() {  # curl_config COUNT PORT SCHEME: COUNT transfers, one config file
  local i
  for i in $(seq "$1"); do
    [ "$i" -gt 1 ] && echo next
    printf '%s\n' "url = \"$3://127.0.0.1:$2\"" ssl-reqd "cacert = \"$work/cert.pem\"" "mail-from = \"$from\"" \
      "mail-rcpt = \"$rcpt\"" "upload-file = \"$work/mail.eml\"" silent show-error
  done >"$work/curl-$3.conf"
}
declare -A kept_cpu per_cpu
for mode in tls starttls; do
  if [ "$mode" = tls ]; then
    tport=$tls_port; scheme=smtps; count=$ntls
  else
    tport=$starttls_port; scheme=smtp; count=$nstarttls
  fi
  keptcount=$n  # kept connections pay stunnel's STARTTLS wait once per 100 mails: N of them both ways
  curl_config "$keptcount" "$tport" "$scheme"
  declare -A trate=() tcpu=() tls_rate=() tls_cpu=()
  reused=0; accepted=0
  for round in $(seq "$rounds"); do
    for c in "${tls_clients[@]}"; do
      case $c in
        ours) cmd=("$flowrun" --server "127.0.0.1:$tport" --set "SMTPFrom=$from" --set "Security=$mode"
                   --set "TLSCAFile=$work/cert.pem" -q --repeat "$count" "$work/mail.xml") ;;
        smtplib) cmd=("$py" "$work/smtplib_tls.py" "$tport" "$count" "$from" "$rcpt" "$work/mail.eml"
                      "$work/cert.pem" "$mode") ;;
        curl) cmd=(bash -c 'for _ in $(seq "$1"); do curl -sS --ssl-reqd --cacert "$6" --url "$7://127.0.0.1:$2" --mail-from "$3" --mail-rcpt "$4" --upload-file "$5" || exit 1; done'
                   curl-loop "$count" "$tport" "$from" "$rcpt" "$work/mail.eml" "$work/cert.pem" "$scheme") ;;
        reuse) cmd=("$flowrun" --server "127.0.0.1:$tport" --set "SMTPFrom=$from" --set "Security=$mode"
                    --set "TLSCAFile=$work/cert.pem" --set ConnectionReuse=yes -q --repeat "$keptcount" "$work/mail.xml") ;;
        reuseone) cmd=("$flowrun" --server "127.0.0.1:$tport" --set "SMTPFrom=$from" --set "Security=$mode"
                       --set "TLSCAFile=$work/cert.pem" --set ConnectionReuse=yes --set "MaxMailsPerConnection=$keptcount"
                       -q --repeat "$keptcount" "$work/mail.xml") ;;
        curlkeep) cmd=(curl -K "$work/curl-$scheme.conf") ;;
      esac
      [ "$c" = ours ] && : >"$work/stunnel.log"
      mails=$count
      case $c in reuse|reuseone|curlkeep) mails=$keptcount ;; esac
      result=$(run 1 "$mails" "${cmd[@]}")
      read -r r u _ <<<"$result"
      trate[$c]+="$r "; tcpu[$c]+="$u "
      if [ "$c" = ours ]; then
        sleep 0.3  # stunnel logs a handshake when it ends
        reused=$(( reused + $(grep -c 'previous session reused' "$work/stunnel.log" || true) ))
        accepted=$(( accepted + $(grep -c 'TLS accepted' "$work/stunnel.log" || true) ))
      fi
    done
  done
  for c in "${tls_clients[@]}"; do
    tls_rate[$c]=$(echo "${trate[$c]}" | median)
    tls_cpu[$c]=$(echo "${tcpu[$c]}" | median)
  done
  echo "-- $mode ($count mails a run over a connection each, $keptcount over kept ones)"
  printf '%-36s %10s %14s %16s\n' "client" "mails/s" "CPU µs/mail" "ours/peer CPU"
  for c in "${tls_clients[@]}"; do  # kept connections: ours with reuse over curl keeping its own
    mine=ours
    case $c in reuse|curlkeep) mine=reuse ;; reuseone) mine=reuseone ;; esac
    printf '%-36s %10.1f %14.1f %16s\n' "${tls_label[$c]}" "${tls_rate[$c]}" "${tls_cpu[$c]}" "$(ratio "${tls_cpu[$mine]}" "${tls_cpu[$c]}")"
  done
  printf '   resumed handshakes of ours: %d of %d after the first of each run: %s%% (target >= 99%%)\n' "$reused" \
    "$(( accepted - rounds ))" "$(awk -v r="$reused" -v h="$(( accepted - rounds ))" 'BEGIN { printf "%.1f", (h > 0) ? 100 * r / h : 0 }')"
  printf '   a connection per mail: CPU per mail vs curl %s (<= 0.50), vs smtplib %s (< 1.00)\n' \
    "$(ratio "${tls_cpu[ours]}" "${tls_cpu[curl]}")" "$(ratio "${tls_cpu[ours]}" "${tls_cpu[smtplib]}")"
  printf '   kept connections: CPU per mail vs curl keeping its connection %s%s (a new connection every\n' \
    "$(ratio "${tls_cpu[reuseone]}" "${tls_cpu[curlkeep]}")" "$([ "$mode" = tls ] && echo " (<= 0.35)")"
  printf '   100 mails, the default: %s); mails/s %s\n' "$(ratio "${tls_cpu[reuse]}" "${tls_cpu[curlkeep]}")" \
    "$(ratio "${tls_rate[reuseone]}" "${tls_rate[curlkeep]}")"
  kept_cpu[$mode]=$(ratio "${tls_cpu[reuseone]}" "${tls_cpu[curlkeep]}")
  per_cpu[$mode]=$(ratio "${tls_cpu[ours]}" "${tls_cpu[curl]}")
done

echo
# ---- TLS resumption against Postfix's own smtpd: a private instance (its own configuration,
# queue and data folders in the scratch folder, loopback ports only, the self-signed certificate
# above), with discard as its only transport; stopped on exit. Its log (tls loglevel 2) names
# every handshake and every resumed one; the first of each run cannot be resumed.
echo
echo "== TLS resumption against Postfix's smtpd (private instance on loopback, $ntls mails a run)"
pfx=$work/postfix
if ! command -v postfix >/dev/null || [ "$(id -u)" -ne 0 ]; then
  echo "   skipped: a private Postfix instance needs postfix installed and root to start it"
else
  mkdir -p "$pfx/conf" "$pfx/queue" "$pfx/data"
  chmod o+x "$work"                   # its daemons reach their folders as the postfix user
  chown postfix "$pfx/data"
  pfx_port=$(free_port); pfx_tls_port=$(free_port)
  cat >"$pfx/conf/main.cf" <<CONF
compatibility_level = 3.6
queue_directory = $pfx/queue
data_directory = $pfx/data
maillog_file = $pfx/maillog
maillog_file_prefixes = $pfx
inet_interfaces = loopback-only
inet_protocols = ipv4
myhostname = bench.localhost
mydestination =
local_recipient_maps =
alias_maps =
alias_database =
mynetworks = 127.0.0.0/8
default_transport = discard
local_transport = discard
smtpd_relay_restrictions = permit_mynetworks, reject
smtpd_client_connection_count_limit = 0
smtpd_client_connection_rate_limit = 0
smtpd_tls_cert_file = $work/cert.pem
smtpd_tls_key_file = $work/key.pem
smtpd_tls_security_level = may
smtpd_tls_loglevel = 2
CONF
  printf '%s\n' "127.0.0.1:$pfx_port inet n - n - - smtpd" \
    "127.0.0.1:$pfx_tls_port inet n - n - - smtpd -o smtpd_tls_wrappermode=yes" \
    "cleanup unix n - n - 0 cleanup" "qmgr unix n - n 300 1 qmgr" "tlsmgr unix - - n 1000? 1 tlsmgr" \
    "rewrite unix - - n - - trivial-rewrite" "bounce unix - - n - 0 bounce" "defer unix - - n - 0 bounce" \
    "trace unix - - n - 0 bounce" "discard unix - - n - - discard" "anvil unix - - n - 1 anvil" \
    "scache unix - - n - 1 scache" "proxymap unix - - n - - proxymap" \
    "postlog unix-dgram n - n - 1 postlogd" >"$pfx/conf/master.cf"
  trap 'postfix -c "$pfx/conf" stop >/dev/null 2>&1 || true; cleanup' EXIT
  if ! postfix -c "$pfx/conf" start >/dev/null 2>&1; then
    echo "   skipped: the private instance did not start:"; tail -3 "$pfx/maillog" 2>/dev/null | sed 's/^/   /'
  else
    await_port "$pfx_port"; await_port "$pfx_tls_port"
    for mode in starttls tls; do
      tport=$pfx_port; [ "$mode" = tls ] && tport=$pfx_tls_port
      reused=0; handshakes=0
      for round in $(seq "$rounds"); do
        : >"$pfx/maillog"
        run 1 "$ntls" "$flowrun" --server "127.0.0.1:$tport" --set "SMTPFrom=$from" --set "Security=$mode" \
          --set "TLSCAFile=$work/cert.pem" -q --repeat "$ntls" "$work/mail.xml" >/dev/null
        sleep 0.5  # the log is written by another process
        reused=$(( reused + $(grep -c 'smtpd.*Reusing old session' "$pfx/maillog" || true) ))
        handshakes=$(( handshakes + $(grep -c 'smtpd.*TLS connection established' "$pfx/maillog" || true) ))
      done
      printf '   %-9s resumed %d of %d handshakes after the first of each run: %s%% (target >= 99%%)\n' "$mode" \
        "$reused" "$(( handshakes - rounds ))" "$(awk -v r="$reused" -v h="$(( handshakes - rounds ))" 'BEGIN { printf "%.1f", (h > 0) ? 100 * r / h : 0 }')"
    done
  fi
fi

echo
echo "== targets (printed, not asserted; ratios of this run, on this machine)"
printf '   a connection per mail: mails/s vs smtp-source %s (>= 1.20), CPU per mail %s (<= 0.65)\n' \
  "$(ratio "${mrate[ours]}" "${mrate[source]}")" "$(ratio "${mcpu[ours]}" "${mcpu[source]}")"
printf '   ConnectionReuse=yes: mails/s vs smtp-source -d %s (>= 1.20), CPU per mail %s (<= 0.80)\n' \
  "$(ratio "${mrate[reuse]}" "${mrate[kept]}")" "$(ratio "${mcpu[reuse]}" "${mcpu[kept]}")"
printf '   implicit TLS, ConnectionReuse=yes, one connection as curl keeps: CPU per mail vs one curl process %s (<= 0.35)\n' "${kept_cpu[tls]}"
printf '   no regression: implicit TLS a connection per mail, CPU vs curl %s (<= 0.50); 64 MiB time vs\n' "${per_cpu[tls]}"
printf '   curl %s, peak RSS %s MiB (as the README says)\n' "$(ratio "$to" "$tc")" "$mo"
