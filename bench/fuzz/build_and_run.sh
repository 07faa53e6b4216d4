#!/bin/sh
# Builds the pure-library fuzz target with clang (i386, libFuzzer, address and
# undefined-behaviour sanitizers) and runs it for a bounded time.
#   bench/fuzz/build_and_run.sh [seconds]   (default 60)
set -e
root=$(cd "$(dirname "$0")/../.." && pwd)
out=${root}/build/fuzz
mkdir -p "${out}/corpus"
# Seeds: a first mapping and a restore of a 512-byte library whose code
# section is 0x40..0x140 with its fill point at 0x80.
seed() {
  { printf "\\$1"
    printf '\375\001\007\000\064\022\355\136\000\000\000\000'
    printf '\100\000\000\000\200\000\000\000\000\001\000\000'
    printf '\000\000\000\000\000\000\000\000\000\000\000\000'
    head -c 476 /dev/zero; } > "${out}/corpus/seed_$1"
}
seed 000
seed 001
clang++ -m32 -std=c++20 -g -O1 -fsanitize=fuzzer,address,undefined -I"${root}" \
  "${root}/bench/fuzz/pure_library_fuzz.cpp" \
  "${root}/runtime/load/pure_library.cpp" \
  "${root}/platform/memory.cpp" \
  -o "${out}/pure_library_fuzz"
"${out}/pure_library_fuzz" -max_total_time="${1:-60}" "${out}/corpus"
