#include "runtime/os/minor_services.h"

#include <cstdlib>
#include <cstring>

#include "platform/message_queue.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/case_mapping.h"
#include "runtime/load/string_file.h"

namespace {
constexpr int32_t kMostAcceleratorEntries = 0x8000;
constexpr uint32_t kEightBitInput = 4;
}  // namespace

extern "C" {

lisp::lispval sy_shell(const char*) {
  return lisp::makeFixnum(-1);
}

int32_t sy_shell_from_c(const char*) {
  return -1;
}

lisp::lispval sy_open_str_file(const char* path) {
  return lisp::makeFixnum(path ? open_str_file(path) : -1);
}

lisp::lispval sy_set_mixed_convert(lisp::lispval flag) {
  mixed_case_convert = flag != nilval ? 1 : 0;
  return flag;
}

lisp::lispval sy_purify_codevec(lisp::lispval x) {
  return x;
}

int32_t sy_get_term_chars(int32_t /*which*/) {
  return 0;
}

int32_t sy_set_term_chars(int32_t /*which*/, uint32_t /*characters*/, int32_t /*first*/,
                          int32_t /*count*/, uint32_t /*flags*/) {
  return -1;
}

uint32_t sy_8bitinput() {
  return kEightBitInput;
}

int32_t b_search(int32_t key, const int32_t* words, int32_t count) {
  if (count <= 0 || !words || key < words[0] || key > words[count - 1]) return -1;
  int32_t low = 0, high = count, previous = -1;
  for (;;) {
    const int32_t middle = low + (high - low) / 2;
    if (words[middle] == key) return middle;
    if (middle == previous) return -1;  // the range no longer shrinks: not there
    previous = middle;
    if (words[middle] < key)
      low = middle;
    else
      high = middle;
  }
}

void ms_fixtramp() {
  if (!nilval) return;
  const uint32_t stub = gc::globalWord(lisp::os::kBranchStubOffset);
  if (stub) *reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(stub)) = lisp::os::kBranchIfBelow;
}

uint32_t vxm_CreateAcceleratorTable(const void* entries, int32_t count) {
  if (!entries || count <= 0 || count > kMostAcceleratorEntries) return 0;
  const size_t bytes = static_cast<size_t>(count) * lisp::os::kAcceleratorEntryBytes;
  void* table = std::malloc(bytes);
  if (!table) return 0;
  std::memcpy(table, entries, bytes);
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(table));
}

int32_t vxm_DestroyAcceleratorTable(uint32_t table) {
  if (table == 0) return 0;
  std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(table)));
  return 1;
}

int32_t GetMessageWrapper(void* message, uint32_t window, uint32_t first, uint32_t last) {
  if (!message) return -1;
  return platform::getMessageFiltered(static_cast<platform::Message*>(message), window, first,
                                      last);
}

}  // extern "C"
