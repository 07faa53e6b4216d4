// The ways into libfasl: a file by name, a pseudo file descriptor; the
// timestamp probe, file names for Lisp, and the module's initialisation.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "launcher/host_record.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/load/symbol_names.h"
#include "runtime/os/console_printing.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/rs/foreign_callbacks.h"
#include "runtime/rs/object_routines.h"

namespace {

constexpr size_t kStreamBufferBytes = 512;
constexpr int kNoDescriptorResult = lisp::fasl::kMachineCodeFlags;  // 9

// One stream buffer per nesting level would be needed for nested loads by
// name; each open stream gets its own, freed when the stream is closed.
std::FILE* bufferedStream(std::FILE* stream) {
  std::setvbuf(stream, nullptr, _IOFBF, kStreamBufferBytes);
  return stream;
}

}  // namespace

extern "C" int faslname(lisp::lispval* segmentCell, const char* path, lisp::lispval thread) {
  std::string name = path;
  if (!name.empty() && name[0] == '*') {
    const std::string afterStar = name.substr(1);
    if (access(afterStar.c_str(), R_OK) == 0)
      name = afterStar;
    else
      name[0] = 'd';
  }
  std::FILE* stream = std::fopen(name.c_str(), "rb");
  if (stream == nullptr) {
    std::perror(name.c_str());
    // Returning 0 would report a file that was never read as loaded.
    return lisp::fasl::kNotFasl;
  }
  vxmprintf(lisp::fasl::messages::kFaslName, name.c_str());
  bufferedStream(stream);
  const lisp::fasl::DecodedString link =
      lisp::fasl::buftostr(reinterpret_cast<const uint8_t*>(name.data()),
                           static_cast<uint32_t>(name.size()), 1, false, lisp::fasl::kKeepCase,
                           new_lisp_obj);
  return libfasl(stream, segmentCell, link.fault ? nilval : link.string, thread);
}

extern "C" int rtfasldesc(uint32_t pseudoDescriptor, lisp::lispval* segmentCell,
                          lisp::lispval linkValue, uint32_t readMode, lisp::lispval thread) {
  curreadmode = readMode;
  const int32_t fd = pseudofd_to_fd(pseudoDescriptor, 1);
  if (fd < 0) return kNoDescriptorResult;
  std::FILE* stream = fdopen(fd, "rb");
  if (stream == nullptr) return kNoDescriptorResult;
  fd_open_p = 1;
  bufferedStream(stream);
  const int result = libfasl(stream, segmentCell, linkValue, thread);
  // libfasl closes the stream and clears fd_open_p on every exit.
  if (host::DescriptorEntry* table = lisp::os::descriptorTable())
    if (pseudoDescriptor < static_cast<uint32_t>(host::kDescriptorCount))
      table[pseudoDescriptor].kind = host::kKindFree;
  return result;
}

extern "C" void fasl_validation(const char* path, uint32_t* timestamp, int closeFlag) {
  *timestamp = 0;
  // A file that is missing or unreadable has no timestamp and no message: a
  // disk copy is often absent when the bundle holds the fasl.
  if (access(path, R_OK) != 0) return;
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    std::perror(path);
    return;
  }
  lisp::fasl::StdioSource source(stream);
  int byte = source.next();
  while (byte == lisp::fasl::kCommentHash || byte == lisp::fasl::kCommentLetter) {
    lisp::fasl::skipCommentLine(source);
    byte = source.next();
  }
  if (byte == lisp::fasl::kSegmentMarker) {
    lisp::fasl::FaslReader reader(source);
    const uint32_t word = reader.get32bit();
    if (!reader.ended()) *timestamp = word;
  }
  if (closeFlag) std::fclose(stream);
}

// The Lisp world converts the name, by its own external format, into strbuf.
extern "C" const char* FLC_filename_string(lisp::lispval string) {
  if (string == 0) return bundlename;
  inlisp_string_to_native(string, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(strbuf)));
  return strbuf;
}

extern "C" void faslinit() {
  lsoinit();
  // Decision: without a size from the build start-up the boot table takes
  // kDefaultObSize slots.
  if (oblist == nullptr) {
    if (ob_size == 0) ob_size = lisp::fasl::kDefaultObSize;
    oblist = static_cast<lisp::lispval*>(std::calloc(ob_size, sizeof(lisp::lispval)));
  }
}
