// The file calls' surroundings for a test: a host record whose stream hooks
// are the runtime's own descriptor operations (as the launcher's are for
// every entry that is not a console), distinct words for nil and t, cleared
// error words, and a directory of the test's own for its files.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "runtime/os/errno_values.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/tests/host_table_fixture.h"
#include "testing/temp_path.h"

namespace os_test {

class FileCallTest : public HostTableTest {
 protected:
  static constexpr lisp::lispval kNil = 0x1005;  // tagged as nil, never followed
  static constexpr lisp::lispval kT = 0x1017;

  void SetUp() override {
    HostTableTest::SetUp();
    record_.readHook = win_read;
    record_.writeHook = win_write;
    record_.closeHook = win_close;
    record_.noHangHook = win_no_hang;
    savedNil_ = nilval;
    savedT_ = tval;
    nilval = kNil;
    tval = kT;
    cl_error = 0;
    clear_errno_value();
    directory_ = testing_support::processTempPath("files");
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_);
  }

  void TearDown() override {
    // Whatever a test left open is closed through its entry.
    for (int32_t descriptor = host::kFirstAllocatedDescriptor;
         descriptor < host::kOutOfRangeDescriptor; ++descriptor)
      if (entry(descriptor).kind != host::kKindFree) {
        int32_t error = 0;
        win_close(descriptor, &error);
      }
    nilval = savedNil_;
    tval = savedT_;
    std::filesystem::remove_all(directory_);
    HostTableTest::TearDown();
  }

  std::string path(const std::string& name) const { return directory_ + "/" + name; }

  static void writeFile(const std::string& file, const std::string& content) {
    std::ofstream(file, std::ios::binary) << content;
  }
  static std::string readFile(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // The pseudo descriptor in a fixnum result.
  static int32_t descriptorOf(lisp::lispval result) { return lisp::fixnumValue(result); }

  std::string directory_;

 private:
  lisp::lispval savedNil_ = 0;
  lisp::lispval savedT_ = 0;
};

}  // namespace os_test
