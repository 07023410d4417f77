# Shared by the benchmark scripts (sourced, not run): the packages and the build they need, a
# scratch directory, the smtp-sink and stunnel they start on core 0, and the arithmetic of their
# tables. Everything started here is ended, and the scratch directory removed, when the script exits.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD_DIR:-$root/build/release}
export PATH=$PATH:/usr/sbin
py=/usr/bin/python3
flowrun=$build/flowrun/flowrun

work=$(mktemp -d)
pids=()  # what this script started, and only that, is ended on exit
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

# prepare TARGET...: installs what is missing (smtp-sink, stunnel, openssl, ...), then builds the
# targets in Release.
prepare() {
  "$root/scripts/deps.sh"
  cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target "$@" >/dev/null
}

free_port() { $py -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
# await_port PORT: until something listens there (at most 5 s; the first run then fails loudly).
await_port() {
  local _
  for _ in $(seq 50); do (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return; sleep 0.1; done
}

# start_sink PORT: smtp-sink on core 0 with a backlog of 512; as root it drops to nobody.
start_sink() {
  local user=()
  [ "$(id -u)" -eq 0 ] && user=(-u nobody)
  taskset -c 0 smtp-sink "${user[@]}" "127.0.0.1:$1" 512 &
  pids+=("$!")
  await_port "$1"
}

# start_tunnel AWAIT-PORT CONFIG-LINE...: a self-signed certificate for 127.0.0.1 in
# $work/cert.pem (the clients' CA file) and stunnel on core 0 with the given services after the
# common part of its configuration; returns once AWAIT-PORT listens.
start_tunnel() {
  local await=$1; shift
  openssl req -x509 -newkey rsa:2048 -nodes -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \
    -days 2 -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1
  printf '%s\n' "foreground = yes" "pid =" "socket = l:TCP_NODELAY=1" "socket = r:TCP_NODELAY=1" \
    "cert = $work/cert.pem" "key = $work/key.pem" "$@" >"$work/stunnel.conf"
  taskset -c 0 stunnel4 "$work/stunnel.conf" >/dev/null 2>&1 &
  pids+=("$!")
  await_port "$await"
}

# median: of the numbers on stdin, separated by spaces or line feeds; the middle two averaged
# when their count is even.
median() {
  tr ' ' '\n' | grep . | sort -g |
    awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0) ? a / b : 0 }'; }
