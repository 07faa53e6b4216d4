#!/usr/bin/env bash
# Runs scripts/setup.sh as on machines in several states, with stand-ins for
# the package tools, the compiler probe and binfmt_misc first on PATH: no
# root, network or real installation is needed. Each stand-in records its
# calls; the cases check what set-up asked of them and what it said.
#
# The machine a stand-in plays is held in files of a state folder:
#   installed  packages installed, one per line (as dpkg-query names them)
#   archs      dpkg's foreign architectures
#   calls      every call of dpkg (to change something), apt-get and mount
# and in variables: STUB_UID (id -u), STUB_NATIVE_I386 (1: the kernel runs
# i386 programs), STUB_APT_UPDATE_STATUS, STUB_MOUNT_STATUS.
set -uo pipefail

setup_script=$(cd "$(dirname "$0")/.." && pwd)/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

all_packages="g++-multilib cmake make ninja-build libgtest-dev:i386 libgmock-dev:i386 \
libbenchmark-dev:i386 libopenblas-dev:i386 unicode-data python3 tmux"
# What a fresh Debian machine already has of them: no i386 package, no
# compiler side for i386, no emulator.
fresh_machine="cmake make python3"

write_stand_ins() {
  local bin=$1
  mkdir -p "$bin"
  # Knows only installed packages; like the real one, exits 1 when a name
  # is unknown (every :i386 name before the architecture is added).
  cat > "$bin/dpkg-query" <<'STUB'
#!/usr/bin/env bash
status=0
for arg in "$@"; do
  case $arg in -*) continue ;; esac
  if grep -qxF "$arg" "$STATE/installed"; then
    printf '%s\tinstall ok installed\n' "$arg"
  else
    echo "dpkg-query: no packages found matching $arg" >&2
    status=1
  fi
done
exit $status
STUB
  cat > "$bin/dpkg" <<'STUB'
#!/usr/bin/env bash
case $1 in
  --print-foreign-architectures) cat "$STATE/archs" ;;
  --add-architecture) echo "dpkg $*" >> "$STATE/calls"; echo "$2" >> "$STATE/archs" ;;
  *) echo "dpkg $*" >> "$STATE/calls" ;;
esac
STUB
  cat > "$bin/apt-get" <<'STUB'
#!/usr/bin/env bash
echo "apt-get $*" >> "$STATE/calls"
case " $* " in
  *" update "*) exit "${STUB_APT_UPDATE_STATUS:-0}" ;;
  *" install "*)
    for arg in "$@"; do
      case $arg in -*|install) ;; *) echo "$arg" >> "$STATE/installed" ;; esac
    done ;;
esac
STUB
  cat > "$bin/id" <<'STUB'
#!/usr/bin/env bash
echo "$STUB_UID"
STUB
  cat > "$bin/mount" <<'STUB'
#!/usr/bin/env bash
echo "mount $*" >> "$STATE/calls"
exit "${STUB_MOUNT_STATUS:-0}"
STUB
  # The i386 probe: its program runs when the kernel runs i386 programs, or
  # once the emulator is registered.
  cat > "$bin/gcc" <<'STUB'
#!/usr/bin/env bash
while [ $# -gt 0 ]; do
  [ "$1" = -o ] && out=$2
  shift
done
if [ "${STUB_NATIVE_I386:-1}" = 1 ] || grep -qs ':qemu-i386:' "$BINFMT_MISC_DIR/register"; then
  printf '#!/bin/sh\nexit 0\n' > "$out"
else
  printf '#!/bin/sh\nexit 1\n' > "$out"
fi
chmod +x "$out"
STUB
  chmod +x "$bin"/*
}

# run_setup <case> <installed packages> [<foreign architectures>]: a new
# state folder with those packages installed and architectures added; runs
# set-up there and leaves its status, output and calls in $status, $out,
# $err and $calls.
run_setup() {
  local name=$1 pkg
  export STATE=$work/$name
  export BINFMT_MISC_DIR=$STATE/binfmt_misc
  mkdir -p "$STATE" "$BINFMT_MISC_DIR"
  printf '%s' "${3:-}" > "$STATE/archs"
  : > "$STATE/calls"
  : > "$STATE/installed"
  for pkg in $2; do echo "$pkg" >> "$STATE/installed"; done
  PATH=$work/bin:$PATH bash "$setup_script" > "$STATE/out" 2> "$STATE/err"
  status=$?
  out=$(cat "$STATE/out")
  err=$(cat "$STATE/err")
  calls=$(cat "$STATE/calls")
}

fail() {
  echo "FAIL [$case]: $*"
  echo "  status: $status"
  echo "  stdout: $out" | head -5
  echo "  stderr: $err" | head -5
  echo "  calls:  $calls" | head -10
  failures=$((failures + 1))
}

expect_status() { [ "$status" "$1" 0 ] || fail "status $status, expected $1 0"; }
expect_calls() { [ "$calls" = "$1" ] || fail "calls were '$calls', expected '$1'"; }
expect_one_error_line() {
  [ "$(printf '%s\n' "$err" | wc -l)" -eq 1 ] && [ -n "$err" ] || fail "expected one line on standard error"
  grep -qF -- "$1" <<<"$err" || fail "standard error does not say '$1'"
}
missing_after() { # the packages of $all_packages not in $1
  local pkg result=()
  for pkg in $all_packages; do
    grep -qw -- "$pkg" <<<" $1 " || result+=("$pkg")
  done
  echo "${result[*]}"
}

write_stand_ins "$work/bin"
fresh_missing=$(missing_after "$fresh_machine")

case="fresh machine, not root"
STUB_UID=1000 run_setup non-root "$fresh_machine"
expect_status -ne
expect_one_error_line "missing packages ($fresh_missing)"
expect_one_error_line "run this script as root"
expect_calls ""

case="fresh machine, root"
STUB_UID=0 run_setup root "$fresh_machine"
expect_status -eq
expect_calls "dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq --no-install-recommends $fresh_missing"

case="i386 architecture already added, root"
STUB_UID=0 run_setup arch-added "$fresh_machine" i386
expect_status -eq
expect_calls "apt-get update -qq
apt-get install -y -qq --no-install-recommends $fresh_missing"

case="everything installed"
for uid in 0 1000; do
  STUB_UID=$uid run_setup "installed-$uid" "$all_packages"
  expect_status -eq
  expect_calls ""
  [ -z "$out$err" ] || fail "said something with nothing to do"
done

case="no package source reachable"
STUB_UID=0 STUB_APT_UPDATE_STATUS=100 run_setup no-source "$fresh_machine"
expect_status -ne
expect_one_error_line "no package source reachable"

case="kernel without i386, root: the emulator is installed and registered"
STUB_UID=0 STUB_NATIVE_I386=0 run_setup emulator "$all_packages"
expect_status -eq
expect_calls "dpkg --add-architecture i386
apt-get update -qq
apt-get install -y -qq --no-install-recommends qemu-user-static
mount -t binfmt_misc binfmt_misc $BINFMT_MISC_DIR"
grep -qF ':qemu-i386:M::' "$BINFMT_MISC_DIR/register" || fail "the emulator was not registered"
grep -qF 'run under the user-mode emulator' <<<"$out" || fail "did not say the emulator is used"

case="kernel without i386, emulator installed, binfmt_misc cannot be mounted"
STUB_UID=0 STUB_NATIVE_I386=0 STUB_MOUNT_STATUS=32 run_setup no-binfmt "$all_packages qemu-user-static"
expect_status -ne
expect_one_error_line "cannot mount binfmt_misc"

case="kernel without i386, not root"
STUB_UID=1000 STUB_NATIVE_I386=0 run_setup emulator-non-root "$all_packages"
expect_status -ne
expect_one_error_line "missing packages (qemu-user-static); run this script as root"

if [ $failures -gt 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "all set-up cases passed"
