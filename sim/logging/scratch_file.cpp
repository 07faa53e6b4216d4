#include "sim/logging/scratch_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

std::FILE* openScratchFile(const char* fileName) {
  struct stat status;
  if (lstat(fileName, &status) == 0 && S_ISLNK(status.st_mode)) unlink(fileName);
  // O_NOFOLLOW: a link that is (again) there makes the open fail instead.
  const int fd = open(fileName, O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = fdopen(fd, "w+b");
  if (file == nullptr) close(fd);
  return file;
}

}  // namespace sim
