#include "runtime/os/text_conversions.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "runtime/gc/gc_state.h"
#include "runtime/os/lisp_text_vectors.h"

namespace {

constexpr int32_t kBadArgument = 87;
constexpr int32_t kNoMapping = 1113;
constexpr int32_t kTooSmall = 122;
constexpr const char* kUnits = "UTF-16LE";

struct CodePage {
  uint32_t number;
  const char* charset;
};
constexpr CodePage kCodePages[] = {{0, "UTF-8"},     {1, "UTF-8"},          {65001, "UTF-8"},
                                   {1252, "CP1252"}, {28591, "ISO-8859-1"}, {20127, "ASCII"}};

const char* charsetOf(uint32_t codePage) {
  for (const CodePage& page : kCodePages)
    if (page.number == codePage) return page.charset;
  return nullptr;
}

lisp::lispval failed(int32_t code) {
  return lisp::makeFixnum(-code);
}

// Runs iconv over the whole input into `out`; the bytes written, or the
// errno that stopped it.
struct Converted {
  size_t bytes;
  int error;
};
Converted convert(const char* to, const char* from, const char* in, size_t inBytes, char* out,
                  size_t outBytes) {
  iconv_t converter = iconv_open(to, from);
  if (converter == reinterpret_cast<iconv_t>(-1)) return {0, EINVAL};
  char* input = const_cast<char*>(in);
  char* output = out;
  size_t left = outBytes;
  const size_t result = iconv(converter, &input, &inBytes, &output, &left);
  const int error = result == static_cast<size_t>(-1) ? errno : 0;
  iconv_close(converter);
  return {outBytes - left, error};
}

bool validRange(const lisp::os::TextVector& v, int32_t start, int32_t end) {
  return start >= 0 && end >= start && static_cast<uint32_t>(end) <= v.elements;
}

}  // namespace

extern "C" {

lisp::lispval sy_win_MultiByteToWideChar(lisp::lispval source, int32_t start, int32_t end,
                                         lisp::lispval destination, int32_t destinationLength,
                                         uint32_t codePage, uint32_t) {
  const std::optional<lisp::os::TextVector> from = lisp::os::textVectorOf(source);
  const char* charset = charsetOf(codePage);
  if (!from || from->elementBytes != 1 || !validRange(*from, start, end) || !charset)
    return failed(kBadArgument);
  if (start == end) return lisp::makeFixnum(0);
  std::optional<lisp::os::TextVector> to;
  if (destination != nilval) {
    to = lisp::os::textVectorOf(destination);
    if (!to || to->elementBytes != 2 || destinationLength < 0) return failed(kBadArgument);
  }
  // Every byte gives at most one unit... or a surrogate pair: room for two.
  const size_t inBytes = static_cast<size_t>(end - start);
  std::vector<char> units(4 * inBytes);
  const Converted result =
      convert(kUnits, charset, reinterpret_cast<const char*>(from->data) + start, inBytes,
              units.data(), units.size());
  if (result.error) return failed(result.error == EINVAL ? kBadArgument : kNoMapping);
  const size_t count = result.bytes / 2;
  if (to) {
    const size_t room = std::min<size_t>(to->elements, static_cast<size_t>(destinationLength));
    if (count > room) return failed(kTooSmall);
    std::copy(units.begin(), units.begin() + static_cast<std::ptrdiff_t>(result.bytes), to->data);
  }
  return lisp::makeFixnum(static_cast<int32_t>(count));
}

lisp::lispval sy_win_WideCharToMultiByte(lisp::lispval source, int32_t start, int32_t end,
                                         char* buffer, int32_t size) {
  const std::optional<lisp::os::TextVector> from = lisp::os::textVectorOf(source);
  if (!from || from->elementBytes != 2 || !validRange(*from, start, end) || size < 0)
    return lisp::makeFixnum(0);
  const size_t inBytes = 2 * static_cast<size_t>(end - start);
  std::vector<char> bytes(2 * inBytes + 1);
  const Converted result =
      convert("UTF-8", kUnits, reinterpret_cast<const char*>(from->data) + 2 * start, inBytes,
              bytes.data(), bytes.size());
  if (result.error) return lisp::makeFixnum(0);
  if (buffer && size > 0) {
    if (result.bytes > static_cast<size_t>(size)) return lisp::makeFixnum(0);
    std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(result.bytes), buffer);
  }
  return lisp::makeFixnum(static_cast<int32_t>(result.bytes));
}

}  // extern "C"
