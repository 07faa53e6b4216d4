// File names between the two separator conventions: backslashes become
// slashes (optionally with upper-case ASCII letters folded to lower case) and
// back. Bundle lookup compares directory names in the canonical lower-case
// form; the file calls use the slash form without folding.
#pragma once

extern "C" {
// Rewrites the first `length` bytes of `text` in place (stops early at a
// zero byte).
void canonicalize_dos_filename(char* text, int length, int lowerCase);
void uncanonicalize_dos_filename(char* text, int length);
}
