#!/usr/bin/env bash
# Installs what the i386 build needs, as root on a Debian machine. Idempotent:
# when everything is present it only checks and returns.
set -euo pipefail

packages=(
  g++-multilib
  cmake
  make
  ninja-build
  libgtest-dev:i386
  libgmock-dev:i386
  libbenchmark-dev:i386
  libopenblas-dev:i386
  unicode-data
  python3
  tmux
)

# One query for all of them: a set-up with nothing to do must answer at once.
installed=$(dpkg-query -W -f='${binary:Package}\t${Status}\n' "${packages[@]}" 2>/dev/null |
  awk -F'\t' '$2 == "install ok installed" { print $1 }')
missing=()
for pkg in "${packages[@]}"; do
  grep -qxF "$pkg" <<<"$installed" || missing+=("$pkg")
done

install_packages() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "setup: missing packages ($*); run this script as root" >&2
    exit 1
  fi
  echo "setup: installing $*"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "$@"
}

if [ ${#missing[@]} -gt 0 ]; then
  install_packages "${missing[@]}"
fi

# The tests run the i386 programs they build. A kernel without 32-bit
# support refuses them ("Exec format error"); there they run under the
# user-mode emulator, registered for i386 ELF files so that programs the
# tests start run under it too.
binfmt=/proc/sys/fs/binfmt_misc
emulator_entry=$binfmt/qemu-i386

i386_runs() {
  local dir
  dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' > "$dir/probe.c"
  gcc -m32 "$dir/probe.c" -o "$dir/probe" && "$dir/probe" 2>/dev/null
  local status=$?
  rm -rf "$dir"
  return $status
}

# A registered emulator serves i386 programs already; the probe (a compile
# and a run) is only needed where it is not.
emulator_registered() {
  grep -qx enabled $emulator_entry 2>/dev/null
}

if ! emulator_registered && ! i386_runs; then
  if ! dpkg-query -W -f='${Status}' qemu-user-static 2>/dev/null | grep -q '^install ok installed$'; then
    install_packages qemu-user-static
  fi
  [ -e $binfmt/register ] || mount -t binfmt_misc binfmt_misc $binfmt
  if [ ! -e $emulator_entry ]; then
    # Magic and mask: ELF, 32-bit, little-endian, machine 3 (i386), for
    # executables and shared objects alike. F: the emulator is opened now,
    # so it serves inside other mount namespaces too.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      > $binfmt/register
  fi
  if ! i386_runs; then
    echo "setup: this machine cannot run i386 programs, natively or emulated" >&2
    exit 1
  fi
  echo "setup: i386 programs run under the user-mode emulator"
fi
