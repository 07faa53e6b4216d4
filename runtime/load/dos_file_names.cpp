// Separator conversion of file names.
//
// Decision: names are UTF-8 here, whose multi-byte sequences consist of bytes
// 0x80 and above only; no byte of one can be a separator or an ASCII letter,
// so there is no lead byte to keep together with the byte after it and every
// byte is examined on its own.

#include "runtime/load/dos_file_names.h"

void canonicalize_dos_filename(char* text, int length, int lowerCase) {
  if (!text) return;
  for (int i = 0; i < length && text[i] != '\0'; ++i) {
    char& c = text[i];
    if (c == '\\')
      c = '/';
    else if (lowerCase && c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  }
}

void uncanonicalize_dos_filename(char* text, int length) {
  if (!text) return;
  for (int i = 0; i < length && text[i] != '\0'; ++i)
    if (text[i] == '/') text[i] = '\\';
}
