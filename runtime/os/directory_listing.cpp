// Directory listings for Lisp code. Each open listing is a dirlist_node on
// the list pwfd0 (newest first); Lisp code names it by the node's address
// shifted right by three and never hands the address back: an identifier is
// only ever compared with the nodes on the list.
//
// As with a first-find call, opening a listing reads its first entry;
// "." and ".." are listed like any other entry. Errors are system error
// codes.

#include <dirent.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>

#include "platform/error_numbers.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/file_names.h"

using namespace lisp::fio;

namespace {

enum ListingState : int32_t {
  kFirstEntryWaiting = 0,
  kListing = 1,
  kExhausted = -1,
};

constexpr uint32_t kSystemPathNotFound = 3;
constexpr size_t kEntryNameBytes = 260;  // a Linux name (255 bytes) and its zero fit
static_assert(sizeof(dirent::d_name) <= kEntryNameBytes);
// The 64-bit entries (the build's _FILE_OFFSET_BITS=64): the 32-bit readdir
// gives up with EOVERFLOW at an entry whose inode number or offset is wider,
// as the directory offsets of hashed directories are on a 64-bit kernel.
static_assert(sizeof(dirent::d_ino) == 8 && sizeof(dirent::d_off) == 8);

// The error word value of an identifier that names no open listing
// (error number 1).
constexpr int32_t kUnknownListing = 4;

}  // namespace

extern "C" {

struct dirlist_node {
  dirlist_node* next;
  int32_t state;  // ListingState
  DIR* find;
  char name[kEntryNameBytes];  // the entry the listing stands at
};

dirlist_node* pwfd0 = nullptr;

}  // extern "C"

namespace {

int32_t identifierOf(const dirlist_node* node) {
  return static_cast<int32_t>(reinterpret_cast<uintptr_t>(node) >> 3);
}

dirlist_node* findListing(int32_t identifier) {
  for (dirlist_node* node = pwfd0; node; node = node->next)
    if (identifierOf(node) == identifier) return node;
  return nullptr;
}

void unlinkListing(dirlist_node* node) {
  for (dirlist_node** link = &pwfd0; *link; link = &(*link)->next)
    if (*link == node) {
      *link = node->next;
      return;
    }
}

void freeListing(dirlist_node* node) {
  unlinkListing(node);
  if (node->find) ::closedir(node->find);
  std::free(node);
}

// Reads the next entry into the node; false at the end or on an error
// (errno then says which: 0 at the end).
bool readEntry(dirlist_node* node) {
  errno = 0;
  const dirent* entry = ::readdir(node->find);
  if (!entry) return false;
  const size_t length = strnlen(entry->d_name, kEntryNameBytes - 1);
  std::memcpy(node->name, entry->d_name, length);
  node->name[length] = '\0';
  return true;
}

}  // namespace

extern "C" {

int32_t cl_opendir(const char* path) {
  const PreparedPath prepared(path, kCanonicalListedDirectory);
  if (!prepared.text()) {
    noteSystemError(path ? platform::system_error::kNotEnoughMemory
                         : platform::system_error::kInvalidParameter);
    return -1;
  }
  // Aligned to 8 so that the identifier names the node exactly.
  void* memory = std::aligned_alloc(8, (sizeof(dirlist_node) + 7) & ~size_t{7});
  if (!memory) {
    noteSystemError(platform::system_error::kNotEnoughMemory);
    return -1;
  }
  auto* node = new (memory) dirlist_node{pwfd0, kListing, nullptr, {}};
  pwfd0 = node;
  node->find = ::opendir(prepared.text());
  int failure = node->find ? 0 : errno;
  if (node->find) {
    if (readEntry(node))
      node->state = kFirstEntryWaiting;
    else
      failure = errno;  // 0: nothing to list, and the first read ends it
  }
  if (failure != 0) {
    freeListing(node);
    // A directory that is not there is a path not found.
    noteSystemError(failure == ENOENT || failure == ENOTDIR
                        ? kSystemPathNotFound
                        : platform::systemErrorFromLinux(failure));
    return -1;
  }
  return identifierOf(node);
}

const char* cl_readdir(int32_t listing) {
  dirlist_node* node = findListing(listing);
  if (!node) {
    cl_error = kUnknownListing;
    return nullptr;
  }
  switch (node->state) {
    case kFirstEntryWaiting:
      node->state = kListing;
      return node->name;
    case kListing:
      if (readEntry(node)) return node->name;
      node->state = kExhausted;
      return nullptr;
    default:
      return nullptr;
  }
}

lisp::lispval cl_closedir(int32_t listing) {
  if (dirlist_node* node = findListing(listing)) freeListing(node);
  return nilval;
}

}  // extern "C"
