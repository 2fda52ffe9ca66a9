#!/usr/bin/env bash
# Installs what building, testing and the demonstration need on Debian 12.
# Idempotent: quiet and quick when everything is already there.
set -euo pipefail

packages=(
  cmake make g++ pkg-config
  libssl-dev openssl
  libboost-dev libboost-regex-dev
  libgtest-dev libgmock-dev
  dovecot-imapd dovecot-core
  netbase procps python3
)
[ "${WITH_BENCH:-0}" = 1 ] && packages+=(isync)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq

# Keep the package scripts from starting the system's own mail server: the
# tests run their own instances on their own ports.
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$policy" >/dev/null
  $sudo chmod +x "$policy"
  made_policy=1
fi
trap '[ $made_policy = 1 ] && $sudo rm -f "$policy"' EXIT
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
