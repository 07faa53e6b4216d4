#!/usr/bin/env python3
"""Fills the native symbol table into a linked runtime library.

Reads the library's own symbol table, lists every defined function, object and
untyped code symbol in address order (not the compiler's split-off parts and
clones, whose names hold a dot, which no program can name) with its offset from the start of the
code section, and writes the table into the area reserved by the symbol
vxm_native_symbol_table, in place: nothing in the library moves, so the
addresses listed are the final ones.

usage: fill_native_symbol_table.py LIBRARY NAMES_FILE
"""
import os
import shutil
import struct
import sys

TABLE_SYMBOL = "vxm_native_symbol_table"
MAGIC = 15731467
SECTION_NAME_TEXT = ".text"
STT_NOTYPE, STT_OBJECT, STT_FUNC = 0, 1, 2
SHN_UNDEF, SHN_LORESERVE = 0, 0xFF00


def fail(message):
    sys.exit("fill_native_symbol_table: " + message)


def read_sections(data):
    if data[:4] != b"\x7fELF" or data[4] != 1 or data[5] != 1:
        fail("not a 32-bit little-endian ELF file")
    shoff, = struct.unpack_from("<I", data, 0x20)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", data, 0x2E)
    sections = []
    for i in range(shnum):
        name, kind, _, addr, offset, size, link, _, _, entsize = struct.unpack_from(
            "<10I", data, shoff + i * shentsize)
        sections.append(dict(name=name, kind=kind, addr=addr, offset=offset, size=size,
                             link=link, entsize=entsize))
    names = sections[shstrndx]
    for section in sections:
        start = names["offset"] + section["name"]
        section["name"] = data[start:data.index(b"\0", start)].decode()
    return sections


def read_symbols(data, sections):
    symtab = next((s for s in sections if s["name"] == ".symtab"), None)
    if symtab is None:
        fail("the library has no symbol table")
    strings = sections[symtab["link"]]
    symbols = []
    for offset in range(symtab["offset"], symtab["offset"] + symtab["size"], 16):
        name, value, size, info, _, shndx = struct.unpack_from("<IIIBBH", data, offset)
        start = strings["offset"] + name
        symbols.append(dict(name=data[start:data.index(b"\0", start)].decode(), value=value,
                            size=size, kind=info & 0xF, shndx=shndx))
    return symbols


def listed_name(name, renames):
    if name in renames:
        return renames[name]
    return name if name.startswith("_Z") else "_" + name


def main():
    if len(sys.argv) != 3:
        fail("usage: fill_native_symbol_table.py LIBRARY NAMES_FILE")
    library, names_file = sys.argv[1], sys.argv[2]
    renames = {}
    with open(names_file) as lines:
        for line in lines:
            words = line.split("#", 1)[0].split()
            if words:
                renames[words[0]] = words[1]
    data = bytearray(open(library, "rb").read())
    sections = read_sections(data)
    symbols = read_symbols(data, sections)
    text = next((s for s in sections if s["name"] == SECTION_NAME_TEXT), None)
    area = next((s for s in symbols if s["name"] == TABLE_SYMBOL), None)
    if text is None or area is None:
        fail("no code section or no reserved area in " + library)

    listed = sorted(
        (s["value"], listed_name(s["name"], renames))
        for s in symbols
        if s["name"] and s["kind"] in (STT_NOTYPE, STT_OBJECT, STT_FUNC)
        and SHN_UNDEF < s["shndx"] < SHN_LORESERVE and "." not in s["name"])
    # Address order; names of one address in a fixed order.
    name_area = bytearray()
    entries = bytearray()
    for address, name in listed:
        # Held as the offset from the start of the code section.
        entries += struct.pack("<II", (address - text["addr"]) & 0xFFFFFFFF, len(name_area))
        name_area += name.encode() + b"\0"
    total = 12 + len(entries) + len(name_area)
    if total > area["size"]:
        fail("the table needs %d bytes, the reserved area holds %d" % (total, area["size"]))
    section = sections[area["shndx"]]
    start = area["value"] - section["addr"] + section["offset"]
    table = struct.pack("<III", MAGIC, total, len(listed)) + entries + name_area
    data[start:start + area["size"]] = table + bytes(area["size"] - total)
    # Written beside it and renamed over it, so that a failed write leaves the
    # library as it was.
    partial = library + ".filling"
    with open(partial, "wb") as out:
        out.write(data)
    shutil.copymode(library, partial)
    os.replace(partial, library)


main()
