#!/usr/bin/env python3
"""Prints the case pairs the runtime's case tables must hold, one "lower upper"
line each (hex): characters of Unicode 4.0 (DerivedAge <= 4.0) whose simple
upper- and lower-case mappings are each other, both in the pages with high
byte 00-05, 1E, 1F, 21, 24 or FF. Reads UnicodeData.txt and DerivedAge.txt
from the directory given (default /usr/share/unicode)."""
import sys

directory = sys.argv[1] if len(sys.argv) > 1 else "/usr/share/unicode"
high_bytes = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x1E, 0x1F, 0x21, 0x24, 0xFF}

in_four = set()
with open(directory + "/DerivedAge.txt", encoding="utf-8") as lines:
    for line in lines:
        data = line.split("#", 1)[0]
        if ";" not in data:
            continue
        codes, age = [part.strip() for part in data.split(";")]
        major, minor = (int(x) for x in age.split("."))
        if (major, minor) > (4, 0):
            continue
        low, _, high = codes.partition("..")
        in_four.update(range(int(low, 16), int(high or low, 16) + 1))

to_upper, to_lower = {}, {}
with open(directory + "/UnicodeData.txt", encoding="utf-8") as lines:
    for line in lines:
        fields = line.rstrip("\n").split(";")
        code = int(fields[0], 16)
        if fields[12]:
            to_upper[code] = int(fields[12], 16)
        if fields[13]:
            to_lower[code] = int(fields[13], 16)


def wanted(code):
    return code in in_four and code < 0x10000 and (code >> 8) in high_bytes


for lower in sorted(to_upper):
    upper = to_upper[lower]
    if wanted(lower) and wanted(upper) and to_lower.get(upper) == lower:
        print("%04x %04x" % (lower, upper))
