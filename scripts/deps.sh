#!/usr/bin/env bash
# Installs the Debian packages the build, the tests, the demo and the benchmarks need, when
# any is missing. Runs apt as root (directly, or through sudo when not root).
set -euo pipefail

packages=(
  build-essential cmake ninja-build g++ clang libclang-rt-dev
  libgtest-dev libgmock-dev
  libpugixml-dev libcli11-dev nlohmann-json3-dev
  python3 python3-aiosmtpd
  libssl-dev openssl stunnel4 libcurl4-openssl-dev
  postfix valgrind curl strace
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "deps: need root to install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi

echo "deps: installing ${missing[*]}" >&2
# postfix is only wanted for its smtp-sink and smtp-source tools: no mail system configured.
echo "postfix postfix/main_mailer_type select No configuration" | "${as_root[@]}" debconf-set-selections
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq || true
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# An install must not leave a mail daemon behind.
if command -v postfix >/dev/null && "${as_root[@]}" postfix status >/dev/null 2>&1; then
  "${as_root[@]}" postfix stop >/dev/null 2>&1 || true
fi
