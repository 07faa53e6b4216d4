#!/usr/bin/env python3
"""An independent model of the symbol-name hash. Prints COUNT random names
of 16-bit characters (lengths 0 to 40) from SEED, one line each:
"hash c1 c2 ..." in hex, the hash first."""
import random
import sys

M = 0xFFFFFFFF


def name_hash(chars):
    data = b"".join(c.to_bytes(2, "little") for c in chars)
    b = len(data)
    if b < 1:
        return 0
    data += b"\0\0\0"
    word = lambda i: int.from_bytes(data[4 * i:4 * i + 4], "little")
    k = b - 1
    w, r = k // 4, k % 4
    mask = [0xFF, 0xFFFF, 0xFFFFFF, 0xFFFFFFFF][r]
    low_case = [0x20, 0x2020, 0x202020, 0x20202020][r]
    last = (word(w) & mask) | low_case
    h = (b + last + (last << 17) + (last << 10) + (last << 3)) & M
    for i in range(w - 1, -1, -1):
        e = (3 * h + (word(i) | 0x20202020)) & M
        h = ((e + (e >> 5)) & M) ^ 0x12515264
    return (h + (h >> 3) + (h >> 23) + (h >> 18) + (h >> 13)) & 0xFFFFFF


def main():
    seed, count = int(sys.argv[1]), int(sys.argv[2])
    rng = random.Random(seed)
    for _ in range(count):
        chars = [rng.randrange(0x10000) for _ in range(rng.randrange(41))]
        print(" ".join(["%x" % name_hash(chars)] + ["%x" % c for c in chars]))


if __name__ == "__main__":
    main()
