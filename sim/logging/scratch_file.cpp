#include "sim/logging/scratch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {
namespace {

std::FILE* createScratchFile(const char* fileName) {
  struct stat status;
  if (lstat(fileName, &status) == 0 && (S_ISREG(status.st_mode) || S_ISLNK(status.st_mode)))
    unlink(fileName);
  // Exclusive creation: whatever is (again) at the name makes the open fail.
  const int fd = open(fileName, O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

ScratchFileOpener installedOpener = nullptr;

}  // namespace

std::FILE* openScratchFile(const char* fileName) {
  return installedOpener ? installedOpener(fileName) : createScratchFile(fileName);
}

void setScratchFileOpener(ScratchFileOpener opener) {
  installedOpener = opener;
}

}  // namespace sim
