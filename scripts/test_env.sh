#!/usr/bin/env bash
# Prints the environment the build's test programs need on this machine, as
# shell assignments for `eval`. Under the user-mode i386 emulator (see
# setup.sh) the leak checker cannot stop the process's threads and waits for
# ever at exit, so leak checking is off there; elsewhere nothing changes.
if [ -e /proc/sys/fs/binfmt_misc/qemu-i386 ]; then
  echo "export ASAN_OPTIONS=detect_leaks=0${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
fi
