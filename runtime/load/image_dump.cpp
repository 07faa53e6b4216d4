// Saving the running world from Lisp code and leaving it (the native halves
// of dumplisp, lispexit, set_boot_mode and the pure-string routines).
//
// A dump runs with signals blocked and the dynamic environment neutral from
// pre_dump to post_dump, so every saved image holds reborn = 1 and the
// neutral environment; the file name is copied out of Lisp's memory before
// anything else is touched, so a bad name costs nothing.

#include "runtime/load/image_dump.h"

#include <array>
#include <cstring>

#include "platform/faults.h"
#include "runtime/gc/allocation.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/jetcode.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/image_file.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/pure_cache.h"
#include "runtime/load/startup_services.h"
#include "runtime/load/string_characters.h"
#include "runtime/load/string_file.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"

extern "C" lisp::lispval tval;

namespace {

using lisp::lispval;
namespace dump = startup::dump;

constexpr int32_t kSymbolTableGlobal = -0x15 - 4 * 303;
constexpr uint32_t kProbeChunkBytes = 4096;  // never crosses a page

// The non-negative 32-bit integer a fixnum or a bignum of at most two digits
// holds; false for anything else.
bool addressFromInteger(lispval value, uint32_t* address) {
  if (lisp::isFixnum(value)) {
    const int32_t n = lisp::fixnumValue(value);
    if (n < 0) return false;
    *address = static_cast<uint32_t>(n);
    return true;
  }
  if (!lisp::isOther(value)) return false;
  const uint32_t header = lisp::wordAt(value, lisp::kHeaderOffset);
  if ((header & 0xff) != lisp::type_code::Bignum || ((header >> 8) & 0xff) != 0) return false;
  const uint32_t digits = lisp::bignumDigitCount(header);
  if (digits > 2) return false;
  const auto* bignum = lisp::objectOf<lisp::BignumObject>(value);
  uint32_t word = 0;
  for (uint32_t i = 0; i < digits; ++i) word |= uint32_t{bignum->digits[i]} << (16 * i);
  *address = word;
  return true;
}

// Copies the zero-terminated name at `address` into `name`; false when the
// address is 0, a byte before the zero cannot be read, or no zero comes
// within the buffer.
bool copyName(uint32_t address, std::array<char, dump::kMaxDumpNameBytes>& name) {
  if (address == 0) return false;
  uint32_t copied = 0;
  while (copied < name.size()) {
    const uint32_t at = address + copied;
    if (at < address) return false;  // the name would wrap round the address space
    uint32_t chunk = kProbeChunkBytes - at % kProbeChunkBytes;
    chunk = std::min<uint32_t>(chunk, static_cast<uint32_t>(name.size()) - copied);
    if (!platform::readCodeBytes(at, name.data() + copied, chunk)) return false;
    const void* zero = std::memchr(name.data() + copied, 0, chunk);
    if (zero != nullptr) return true;
    copied += chunk;
  }
  return false;
}

// The first `count` characters of a string; false when count is out of range.
bool prefixOf(lispval string, int32_t count, lisp::StringCharacters* characters) {
  if (!lisp::isOther(string) || count < 0) return false;
  const uint8_t type = lisp::wordAt(string, lisp::kHeaderOffset) & 0xff;
  if (type != lisp::type_code::SimpleString) return false;
  *characters = lisp::stringCharacters(string);
  if (static_cast<uint32_t>(count) > characters->count) return false;
  characters->count = static_cast<uint32_t>(count);
  return true;
}

}  // namespace

extern "C" {

void save_signals_for_dumplisp() {}
void reset_signals_after_dumplisp() {}
void block_all_signals() {}
int unblock_all_signals(int how) {
  return how;
}
void lisp_pre_exit() {}

void pre_dump() {
  save_signals_for_dumplisp();
  block_all_signals();
  reborn = 1;
  vxm_make_environment_neutral();
}

void post_dump() {
  reinstall_my_dynamic_environment();
  unblock_all_signals(0);
}

int dodump(const char* name, uint32_t, uint32_t) {
  if (jc_dumpcheck() == 0) return dump::kDumpRefusedByCodeFile;
  pre_dump();
  const int result = save_image_file(name, 0);
  post_dump();
  return result;
}

int dumplisp_native(lispval nameAddress) {
  uint32_t address = 0;
  std::array<char, dump::kMaxDumpNameBytes> name{};
  if (!addressFromInteger(nameAddress, &address) || !copyName(address, name))
    return kSaveWriteFailed;
  scavenge(0);
  return dodump(name.data(), 0, 0);
}

void lispexit_native(int32_t status) {
  if (str_file != 0) close_str_file();
  lisp_pre_exit();
  lisp_exit(status);
}

void set_boot_mode_native(int32_t mode) {
  bootmode = static_cast<uint32_t>(mode);
  if (mode != 0) return;
  oblist = reinterpret_cast<lispval*>(static_cast<uintptr_t>(nilval));
  lisp::nil_block::word(nilval, kSymbolTableGlobal) = nilval;
}

lispval get_pure_string_native(lispval string, int32_t count) {
  lisp::StringCharacters characters{};
  if (!prefixOf(string, count, &characters)) return nilval;
  return find_cached_string(characters.data, characters.count);
}

lispval write_pure_string_native(lispval string, lispval flag, int32_t count) {
  lisp::StringCharacters characters{};
  if (str_file == 0 || !prefixOf(string, count, &characters)) return nilval;
  write_str_file(characters.data, characters.count, flag != nilval ? 1 : 0);
  return tval;
}

}  // extern "C"
