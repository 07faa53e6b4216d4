// Looking code vectors and strings up in the pure library's hash tables.
//
// Invariant: no byte is read through a table entry unless the whole object
// it names, and every byte a comparison could reach in it, lies inside the
// mapped library (vxm_lso..vxm_lsoend); entries are read only between a
// table's base and its end.

#include "runtime/load/pure_cache.h"

#include <algorithm>
#include <cstring>

#include "runtime/gc/gc_state.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/symbol_name_hash.h"
#include "runtime/rs/object_layout.h"

extern "C" {
uint32_t faslbsize = 0;
uint32_t faslbufl = 0;
uint32_t faslmatchp = 0;
uint32_t faslmatchl = 0;
uint32_t fasl_cache_hits = 0;
uint32_t string_cache_hits = 0;
}

namespace lisp::fasl {

namespace {

constexpr uint32_t kEntryBytes = 8;
constexpr uint32_t kHeaderBytes = 4;
constexpr uint32_t kSmallestSearchedHash = 3;
constexpr uint32_t kStringDataOffset = 8;  // header, fixnum length

const uint8_t* bytesAt(uint32_t address) {
  return reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(address));
}

uint32_t word32(uint32_t address) {
  uint32_t value;
  std::memcpy(&value, bytesAt(address), 4);
  return value;
}

struct Entry {
  uint32_t offset;
  uint32_t hash;
};
Entry entryAt(uint32_t address) {
  return {word32(address), word32(address + 4)};
}

// True when [address, address + bytes) lies inside the mapped library.
bool insideLibrary(uint32_t address, uint64_t bytes) {
  return vxm_lso != 0 && address >= vxm_lso && uint64_t{address} + bytes <= vxm_lsoend;
}

// A code-vector candidate: its header, the extent its header gives, and the
// header plus `codeBytes` that a comparison may reach, all in the library.
bool codeVectorFits(uint32_t candidate, uint32_t codeBytes) {
  if (!insideLibrary(candidate, kHeaderBytes)) return false;
  const uint64_t objectBytes = kHeaderBytes + 2ull * headerLength(word32(candidate));
  return insideLibrary(candidate, objectBytes) &&
         insideLibrary(candidate, uint64_t{kHeaderBytes} + codeBytes);
}

// Which entries a code-vector lookup considers: those with one hash, or
// every entry of the table.
struct Key {
  bool anyHash;
  uint32_t hash;
};

// The header word of a code vector of `size` code bytes being loaded.
uint32_t loadedHeader(uint32_t size, bool pure) {
  const uint8_t type = pure ? kPureCodeVectorType : type_code::CodeVector;
  return ((size + 8) / 2) << 8 | type;
}

// The walk of get_cached_codevec; see its comment in the header. A stream
// that ends early gives nil with faslbsize as it was when it ended.
lispval lookupCodeVector(uint8_t* buffer, const Key& key, FaslReader* stream, bool pure) {
  faslmatchp = 0;
  faslmatchl = 0;
  faslbufl = 0;
  const uint32_t size = faslbsize;
  const uint32_t first = std::min(size, kFirstCodeChunkBytes);
  const uint8_t* chunk = buffer;
  if (stream != nullptr) {
    const uint32_t header = loadedHeader(size, pure);
    std::memcpy(buffer, &header, kHeaderBytes);
    if (!stream->readRaw(buffer + kHeaderBytes, first)) return nilval;
  }
  faslbsize -= first;
  faslbufl = first + kHeaderBytes;

  const uint32_t base = vxm_cvsh;
  const uint32_t end = vxm_cvsp;
  const uint32_t start = key.anyHash ? base : bsearch_pure_hash(base, end, key.hash);
  for (uint32_t at = start; at >= base && uint64_t{at} + kEntryBytes <= end; at += kEntryBytes) {
    const Entry entry = entryAt(at);
    if (entry.offset == 0) break;
    if (!key.anyHash) {
      if (entry.hash < key.hash) continue;
      if (entry.hash > key.hash) break;
    }
    const uint32_t candidate = base + entry.offset;
    // Mended: an entry whose object does not lie whole in the library is skipped.
    if (!codeVectorFits(candidate, size)) continue;
    if (faslmatchl != 0 && std::memcmp(bytesAt(candidate), bytesAt(faslmatchp), faslmatchl) != 0)
      continue;
    while (std::memcmp(bytesAt(candidate + faslmatchl), chunk, faslbufl) == 0) {
      faslmatchl += faslbufl;
      faslmatchp = candidate;
      if (faslbsize == 0) {
        faslbufl = 0;
        ++fasl_cache_hits;
        return pointerWord(candidate, Tag::Other);
      }
      const uint32_t next = std::min(faslbsize, kCodeChunkBytes);
      if (stream != nullptr) {
        if (!stream->readRaw(buffer, next)) return nilval;
      } else {
        chunk += faslbufl;
      }
      faslbsize -= next;
      faslbufl = next;
    }
  }
  return nilval;
}

// Appends the bytes of the concatenation library match, buffered chunk,
// rest of the stream to the object, leaving out its first `skip` bytes.
class CodeWriter {
 public:
  CodeWriter(uint8_t* object, uint32_t skip) : at_(object), skip_(skip) {}
  void append(const uint8_t* bytes, uint32_t count) {
    const uint32_t skipped = std::min(skip_, count);
    skip_ -= skipped;
    at_ += skipped;
    std::memcpy(at_, bytes + skipped, count - skipped);
    at_ += count - skipped;
  }
  uint8_t* position() { return at_; }

 private:
  uint8_t* at_;
  uint32_t skip_;
};

}  // namespace

lispval get_cached_codevec(uint8_t* buffer, uint32_t hash, FaslReader* stream, bool pure) {
  return lookupCodeVector(buffer, Key{false, hash}, stream, pure);
}

lispval cached_or_new_codevec(uint32_t size, uint32_t hash, bool pure, FaslReader& stream,
                              bool swap, ObjectMaker make) {
  faslbsize = size;
  uint8_t buffer[kCodeChunkBytes];
  if (swap) {
    // Mended: the library holds code in this machine's order, and a swapped
    // file's bytes are not that order until they are swapped; comparing them
    // could hand out the wrong code, so such a file always makes its own.
    faslmatchp = faslmatchl = faslbufl = 0;
  } else {
    const lispval found = get_cached_codevec(buffer, hash, &stream, pure);
    if (found != nilval || stream.ended()) return found;
  }
  // The match state, taken before the object is made: making it may collect
  // and so run Lisp, which may load a fasl and set these words anew.
  const uint32_t matchedAt = faslmatchp, matchedBytes = faslmatchl;
  const uint32_t bufferedBytes = faslbufl, unreadBytes = faslbsize;
  const uint32_t units = (size + 1) / 2;
  const lispval vector =
      make(pure ? kPureCodeVectorType : type_code::CodeVector, units, pure ? 1 : 0);
  const bool made = tagOf(vector) == Tag::Other &&
                    typeCodeOf(wordAt(vector, kHeaderOffset)) ==
                        (pure ? kPureCodeVectorType : type_code::CodeVector) &&
                    headerLength(wordAt(vector, kHeaderOffset)) == units + kCodeVectorExtraUnits;
  if (!made) {
    // The constructor refused (its error is signalled): the code bytes are
    // still passed over, so the file goes on at the next item.
    stream.source().skip(unreadBytes);
    return vector;
  }
  // The object's header is its constructor's: the concatenation starts with
  // the header word it was compared under, which is left out.
  uint8_t* object = reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(objectAddress(vector)));
  CodeWriter writer =
      swap ? CodeWriter(object + kHeaderBytes, 0) : CodeWriter(object, kHeaderBytes);
  if (matchedBytes != 0) writer.append(bytesAt(matchedAt), matchedBytes);
  if (bufferedBytes != 0) writer.append(buffer, bufferedBytes);
  if (!stream.readRaw(writer.position(), unreadBytes)) return nilval;
  faslbsize = 0;
  if (swap) swapCodeUnits({object + kHeaderBytes, size});
  return vector;
}

}  // namespace lisp::fasl

extern "C" {

uint32_t bsearch_pure_hash(uint32_t tableBase, uint32_t tableEnd, uint32_t hash) {
  if (hash < lisp::fasl::kSmallestSearchedHash || tableEnd < tableBase ||
      tableEnd - tableBase <= lisp::fasl::kEntryBytes)
    return tableBase;
  uint32_t low = 0;
  uint32_t high = (tableEnd - tableBase - lisp::fasl::kEntryBytes) / lisp::fasl::kEntryBytes;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    if (lisp::fasl::entryAt(tableBase + middle * lisp::fasl::kEntryBytes).hash < hash)
      low = middle + 1;
    else
      high = middle;
  }
  return tableBase + low * lisp::fasl::kEntryBytes;
}

lisp::lispval find_cached_string(const uint16_t* characters, uint32_t count) {
  using namespace lisp::fasl;
  const uint32_t base = vxm_strh;
  const uint32_t end = vxm_strp;
  if (end < base || end - base < kEntryBytes || entryAt(base).offset == 0) return nilval;
  const uint32_t hash = sshash(characters, count);
  const uint64_t dataBytes = 2ull * count;
  for (uint32_t at = bsearch_pure_hash(base, end, hash); uint64_t{at} + kEntryBytes <= end;
       at += kEntryBytes) {
    const Entry entry = entryAt(at);
    if (entry.offset == 0 || entry.hash > hash) break;
    if (entry.hash < hash) continue;
    const uint32_t candidate = base + entry.offset;
    // Mended: only a whole 16-bit string inside the library is compared.
    if (!insideLibrary(candidate, kStringDataOffset)) continue;
    if (lisp::typeCodeOf(word32(candidate)) != lisp::type_code::SimpleString) continue;
    if (word32(candidate + 4) != lisp::makeFixnum(static_cast<int32_t>(count))) continue;
    if (!insideLibrary(candidate, kStringDataOffset + dataBytes)) continue;
    if (count != 0 &&
        std::memcmp(bytesAt(candidate + kStringDataOffset), characters, dataBytes) != 0)
      continue;
    ++string_cache_hits;
    return lisp::pointerWord(candidate, lisp::Tag::Other);
  }
  return nilval;
}

lisp::lispval find_cached_codevec(lisp::lispval codeVector) {
  using namespace lisp::fasl;
  if (lisp::tagOf(codeVector) != lisp::Tag::Other) return nilval;
  const uint32_t header = lisp::wordAt(codeVector, lisp::kHeaderOffset);
  const uint8_t type = lisp::typeCodeOf(header);
  if (type != lisp::type_code::CodeVector && type != kPureCodeVectorType) return nilval;
  const uint32_t units = lisp::headerLength(header);
  if (units < lisp::kCodeVectorExtraUnits) return nilval;
  // Decision: the library's table is keyed by the compiler's hash, which an
  // existing code vector no longer carries; the lookup compares it with every
  // entry (a different length fails on the header word at once).
  faslbsize = 2 * (units - lisp::kCodeVectorExtraUnits);
  auto* object =
      reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(lisp::objectAddress(codeVector)));
  return lookupCodeVector(object, Key{true, 0}, nullptr, type == kPureCodeVectorType);
}

}  // extern "C"
