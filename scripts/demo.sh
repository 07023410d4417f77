#!/usr/bin/env bash
# The main job on a machine without a broker: builds the plug-in and the runner, starts a real
# SMTP server (aiosmtpd) on a free loopback port that stores mail in a Maildir under the build
# folder, runs the sample messages of examples/ through the plug-in, shows where each went and
# the first delivered mail, and stops the server it started.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

scripts/deps.sh
cmake -S "$root" -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)" --target flowrun SendMailPlugIn >/dev/null

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"

# The server prints "PORT <n>" once it listens; it also stops when its stdin closes.
coproc SERVER { exec /usr/bin/python3 tests/support/smtp_server.py --host 127.0.0.1 --port 0 \
  --record "$demo/mails.jsonl" --maildir "$demo/Maildir" 2>"$demo/server.log"; }
server_pid=$SERVER_PID
trap 'kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true' EXIT
port=""
while read -r -t 20 word value <&"${SERVER[0]}"; do
  if [ "$word" = PORT ]; then port=$value; break; fi
done
[ -n "$port" ] || { echo "demo: the SMTP server did not start" >&2; cat "$demo/server.log" >&2; exit 1; }
echo "SMTP server (aiosmtpd) listening on 127.0.0.1:$port, mail stored in $demo/Maildir"
echo

status=0
build/release/flowrun/flowrun --node examples/node.properties --server "127.0.0.1:$port" \
  --out "$demo/out" examples/ || status=$?
[ $status -le 1 ] || exit $status

echo
echo "Propagated messages written to $demo/out/{out,failure}/"
first=$(ls -1 "$demo/Maildir/new" 2>/dev/null | sort | head -n 1 || true)
if [ -n "$first" ]; then
  echo "First delivered mail ($demo/Maildir/new/$first):"
  echo "----------------------------------------------------------------"
  cat "$demo/Maildir/new/$first"
  echo "----------------------------------------------------------------"
fi
