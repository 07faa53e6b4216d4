// A pure library laid out from test contents, written into the test's own
// temporary folder and attached below the Lisp heap the way the runtime
// attaches one (map_lso_file). The library, its file and the loader's
// variables are given back when the object goes.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/gc/heap_reservation.h"
#include "runtime/load/pure_library.h"
#include "runtime/os/profiler_timer.h"
#include "testing/pure_library_file.h"
#include "testing/temp_path.h"

namespace gc_test {

class AttachedTestLibrary {
 public:
  explicit AttachedTestLibrary(const testing_support::LibraryContents& contents)
      : path_(testing_support::processTempPath("attached.vpl")), savedHostOs_(host_os) {
    forget();
    const std::vector<uint8_t> bytes = testing_support::libraryBytes(contents);
    std::FILE* file = std::fopen(path_.c_str(), "wb");
    if (file == nullptr) {
      ADD_FAILURE() << "cannot write " << path_;
      return;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    std::fclose(file);
    if (!written || path_.size() >= sizeof lso_file) {
      ADD_FAILURE() << "cannot lay out " << path_;
      return;
    }
    std::strcpy(lso_file, path_.c_str());
    host_os = 1;  // the host family that maps libraries below the heap
    EXPECT_EQ(map_lso_file(lisp_heap.base), 0) << "a first attachment moves nothing";
  }
  ~AttachedTestLibrary() {
    forget();
    host_os = savedHostOs_;
    std::remove(path_.c_str());
  }
  AttachedTestLibrary(const AttachedTestLibrary&) = delete;
  AttachedTestLibrary& operator=(const AttachedTestLibrary&) = delete;

  bool attached() const { return vxm_lso != 0; }
  // The first object of the code section (its table's first entry).
  static uint32_t firstCode() {
    return vxm_cvsh + *reinterpret_cast<const uint32_t*>(static_cast<uintptr_t>(vxm_cvsh));
  }

 private:
  static void forget() {
    unmap_lso_file();
    lso_file[0] = '\0';
    lsoinit();
  }

  std::string path_;
  int savedHostOs_;
};

}  // namespace gc_test
