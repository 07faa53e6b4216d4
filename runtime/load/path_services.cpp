// Small file and path services of the start-up module: chunked writes, the
// initial working directory, existence tests and a search along a path list.

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "runtime/load/small_services.h"
#include "runtime/load/startup_messages.h"

namespace {

namespace text = startup::text;

constexpr ssize_t kWriteChunkBytes = 8192;
constexpr size_t kPathBytes = 512;
constexpr char kUnknownDirectory[] = "./";
// Decision: without the variable the search looks in the current directory.
constexpr char kDefaultSearchList[] = ".";

bool exists(const char* path, struct stat* status) {
  return stat(path, status) == 0;
}

}  // namespace

extern "C" {

ssize_t xwrite(int fd, const void* buffer, ssize_t count) {
  if (count < 0) return 0;
  const auto* bytes = static_cast<const char*>(buffer);
  for (ssize_t done = 0; done < count;) {
    const ssize_t chunk = count - done < kWriteChunkBytes ? count - done : kWriteChunkBytes;
    const ssize_t written = write(fd, bytes + done, static_cast<size_t>(chunk));
    if (written < 0) {
      if (errno == EINTR) continue;
      std::perror(text::kXwritePrefix);
      return written;
    }
    done += written;
  }
  return count;
}

char initialwd[kPathBytes] = {};
int initialpwd_fail = 0;
int pgmname_init = 0;

void initpgmname() {
  char directory[kPathBytes];
  const bool known = getcwd(directory, sizeof directory) != nullptr;
  size_t length = known ? std::strlen(directory) : 0;
  // The canonical directory form: "/" separators and one trailing "/".
  const bool fits = known && length + 2 <= sizeof initialwd;
  if (fits) {
    for (size_t i = 0; i < length; ++i)
      if (directory[i] == '\\') directory[i] = '/';
    if (length == 0) directory[length++] = '.';
    if (directory[length - 1] != '/') directory[length++] = '/';
    directory[length] = '\0';
    std::memcpy(initialwd, directory, length + 1);
    initialpwd_fail = 0;
  } else {
    std::strcpy(initialwd, kUnknownDirectory);
    initialpwd_fail = 1;
  }
  pgmname_init = 0;
}

int cl_dir_does_not_exist(const char* path) {
  struct stat status {};
  return path && exists(path, &status) && S_ISDIR(status.st_mode) ? 0 : 1;
}

int cl_file_does_not_exist(const char* path) {
  struct stat status {};
  return path && exists(path, &status) ? 0 : 1;
}

int find_file_using_pathstring(const char* name, char* out, const char* variable) {
  const char* value = variable ? std::getenv(variable) : nullptr;
  const std::string list = value ? std::string(value) + ":" : std::string(kDefaultSearchList);
  bool refusedOne = false;
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    const std::string_view element(list.data() + start, end - start);
    start = end + 1;
    const int needed = std::snprintf(out, kPathBytes, "%.*s%s%s", static_cast<int>(element.size()),
                                     element.data(), element.empty() ? "" : "/", name);
    // A candidate that does not fit is refused, never overrun; the search
    // goes on with the next element.
    if (needed < 0 || static_cast<size_t>(needed) >= kPathBytes) {
      refusedOne = true;
      continue;
    }
    struct stat status {};
    if (exists(out, &status)) return 0;
  }
  // Not found: said only when a candidate was refused, as that may be why.
  if (refusedOne) std::fprintf(stderr, text::kNameTooLong, name);
  out[0] = '\0';
  return -1;
}

}  // extern "C"
