#!/usr/bin/env bash
# Installs what the i386 build needs, as root on a Debian machine. Idempotent:
# when everything is present it only checks and returns. Every failure ends
# with one line on standard error that says what failed and what to do.
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

fail() {
  echo "setup: $*" >&2
  exit 1
}

# Prints those of the named packages that are installed, one per line. One
# query for all of them: a set-up with nothing to do must answer at once.
# dpkg-query exits 1 when it knows none of a name (every :i386 package before
# the architecture is added, a package absent from the lists); for this
# question that is an answer ("not installed"), not a failure.
installed_of() {
  { dpkg-query -W -f='${binary:Package}\t${Status}\n' "$@" 2>/dev/null || true; } |
    awk -F'\t' '$2 == "install ok installed" { print $1 }'
}

# Prints those of the named packages that are not installed, one per line.
missing_of() {
  local installed pkg
  installed=$(installed_of "$@")
  for pkg in "$@"; do
    grep -qxF "$pkg" <<<"$installed" || echo "$pkg"
  done
}

install_packages() {
  if [ "$(id -u)" -ne 0 ]; then
    fail "missing packages ($*); run this script as root (sudo bash scripts/setup.sh)"
  fi
  echo "setup: installing $*"
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386 ||
      fail "dpkg could not add the i386 architecture; run 'dpkg --add-architecture i386' by hand to see why"
  fi
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq ||
    fail "no package source reachable (apt-get update failed); check the network and /etc/apt/sources.list, then run this again"
  apt-get install -y -qq --no-install-recommends "$@" ||
    fail "apt-get could not install $*; its messages above say why"
}

mapfile -t missing < <(missing_of "${packages[@]}")
if [ ${#missing[@]} -gt 0 ]; then
  install_packages "${missing[@]}"
fi

# The tests run the i386 programs they build. A kernel without 32-bit
# support refuses them ("Exec format error"); there they run under the
# user-mode emulator, registered for i386 ELF files so that programs the
# tests start run under it too. (BINFMT_MISC_DIR lets the set-up test point
# this at a folder of its own.)
binfmt=${BINFMT_MISC_DIR:-/proc/sys/fs/binfmt_misc}
emulator_entry=$binfmt/qemu-i386

i386_runs() {
  local dir status=0
  dir=$(mktemp -d)
  printf 'int main(void) { return 0; }\n' > "$dir/probe.c"
  { gcc -m32 "$dir/probe.c" -o "$dir/probe" && "$dir/probe"; } >/dev/null 2>&1 || status=1
  rm -rf "$dir"
  return $status
}

# A registered emulator serves i386 programs already; the probe (a compile
# and a run) is only needed where it is not.
emulator_registered() {
  grep -qx enabled "$emulator_entry" 2>/dev/null
}

register_emulator() {
  if [ ! -e "$binfmt/register" ]; then
    mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
      fail "cannot mount binfmt_misc on $binfmt to register the i386 emulator; run as root on a machine that allows it, or on a kernel with 32-bit support"
  fi
  if [ ! -e "$emulator_entry" ]; then
    # Magic and mask: ELF, 32-bit, little-endian, machine 3 (i386), for
    # executables and shared objects alike. F: the emulator is opened now,
    # so it serves inside other mount namespaces too.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' \
      2>/dev/null > "$binfmt/register" ||
      fail "cannot register the i386 emulator with binfmt_misc ($binfmt/register); run as root on a machine that allows it, or on a kernel with 32-bit support"
  fi
}

if ! emulator_registered && ! i386_runs; then
  mapfile -t missing < <(missing_of qemu-user-static)
  if [ ${#missing[@]} -gt 0 ]; then
    install_packages "${missing[@]}"
  fi
  register_emulator
  i386_runs ||
    fail "this machine cannot run i386 programs, natively or under the registered emulator ($emulator_entry)"
  echo "setup: i386 programs run under the user-mode emulator"
fi
