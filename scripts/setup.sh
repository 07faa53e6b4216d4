#!/usr/bin/env bash
# Installs what the i386 build needs, as root on a Debian machine. Idempotent:
# when everything is present it only checks and returns.
set -euo pipefail

packages=(
  g++-multilib
  cmake
  make
  libgtest-dev:i386
  libgmock-dev:i386
  libbenchmark-dev:i386
  libopenblas-dev:i386
  unicode-data
  python3
  tmux
)

missing=()
for pkg in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q '^install ok installed$'; then
    missing+=("$pkg")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${missing[*]}); run this script as root" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
