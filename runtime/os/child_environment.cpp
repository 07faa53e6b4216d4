// Merging a Lisp environment block into the process's environment.

#include "runtime/os/child_environment.h"

#include <algorithm>
#include <cstring>

#include "runtime/rs/object_layout.h"

extern "C" char** environ;

namespace lisp::os {

namespace {

// Bytes before the entries of a Lisp block.
constexpr size_t kByteCountBytes = 2;

bool endsName(char c) {
  return c == '=' || c == '\0';
}

char folded(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The raw bytes of a vector whose elements are not Lisp values.
std::optional<std::string_view> rawBytesOf(lispval vector) {
  if (!isOther(vector)) return std::nullopt;
  const uint32_t header = wordAt(vector, kHeaderOffset);
  const VectorType* type = vectorType(typeCodeOf(header));
  if (!type || type->widthBits == 0) return std::nullopt;
  switch (type->element) {
    case ElementKind::LispValue:
    case ElementKind::Entry:
    case ElementKind::Refused:
      return std::nullopt;
    default:
      break;
  }
  const int32_t length = type->fixnumLength ? fixnumValue(wordAt(vector, kHeaderOffset + 4))
                                            : static_cast<int32_t>(headerLength(header));
  if (length < 0) return std::nullopt;
  const auto* data = reinterpret_cast<const char*>(
      static_cast<uintptr_t>(objectAddress(vector) + vectorDataOffset(*type)));
  return std::string_view(data, vectorElementBytes(*type, static_cast<uint64_t>(length)));
}

}  // namespace

int compareEnvironmentNames(std::string_view a, std::string_view b) {
  for (size_t i = 0;; ++i) {
    const char ca = i < a.size() ? a[i] : '\0';
    const char cb = i < b.size() ? b[i] : '\0';
    const bool aEnds = endsName(ca);
    const bool bEnds = endsName(cb);
    if (aEnds || bEnds) return aEnds == bEnds ? 0 : aEnds ? -1 : 1;
    const auto fa = static_cast<unsigned char>(folded(ca));
    const auto fb = static_cast<unsigned char>(folded(cb));
    if (fa != fb) return fa < fb ? -1 : 1;
  }
}

std::optional<std::vector<std::string>> lispEnvironmentEntries(lispval block) {
  const std::optional<std::string_view> bytes = rawBytesOf(block);
  if (!bytes || bytes->size() < kByteCountBytes) return std::nullopt;
  const size_t count = static_cast<uint8_t>((*bytes)[0]) |
                       static_cast<size_t>(static_cast<uint8_t>((*bytes)[1])) << 8;
  const std::string_view entries =
      bytes->substr(kByteCountBytes, std::min(count, bytes->size() - kByteCountBytes));
  std::vector<std::string> result;
  size_t at = 0;
  for (;;) {
    const size_t end = entries.find('\0', at);
    if (end == std::string_view::npos || end == at) return result;
    result.emplace_back(entries.substr(at, end - at));
    at = end + 1;
  }
}

std::vector<std::string> mergeEnvironments(const std::vector<std::string>& lispEntries,
                                           std::vector<std::string> processEntries) {
  const auto before = [](const std::string& a, const std::string& b) {
    return compareEnvironmentNames(a, b) < 0;
  };
  std::stable_sort(processEntries.begin(), processEntries.end(), before);
  std::vector<std::string> merged;
  merged.reserve(lispEntries.size() + processEntries.size());
  size_t l = 0;
  size_t p = 0;
  while (l < lispEntries.size() && p < processEntries.size()) {
    const int order = compareEnvironmentNames(lispEntries[l], processEntries[p]);
    if (order <= 0) {
      if (order == 0) ++p;  // the Lisp entry replaces it
      merged.push_back(lispEntries[l++]);
    } else {
      merged.push_back(processEntries[p++]);
    }
  }
  merged.insert(merged.end(), lispEntries.begin() + static_cast<ptrdiff_t>(l), lispEntries.end());
  merged.insert(merged.end(), processEntries.begin() + static_cast<ptrdiff_t>(p),
                processEntries.end());
  return merged;
}

std::vector<std::string> processEnvironment() {
  std::vector<std::string> entries;
  for (char** entry = environ; entry && *entry; ++entry) entries.emplace_back(*entry);
  return entries;
}

}  // namespace lisp::os
