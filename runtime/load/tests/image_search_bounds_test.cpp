// The image search's fixed buffers under AddressSanitizer: names at and past
// the 512-byte limit are either used whole or refused, never overrun.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/load/image_search.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"

namespace {

const std::string kRefused = "File name too long: ";

class ImageSearchBounds : public ::testing::Test {
 protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    home_location[0] = '\0';
    lisp_default_image_name = nullptr;
  }
};

TEST_F(ImageSearchBounds, ANameThatJustFitsIsUsedWhole) {
  const std::string name(507, 'n');  // with ".vxi": 511 characters and the zero byte
  EXPECT_EQ(find_image_file(name.c_str(), ".vxi", nullptr, 0), nullptr);  // searched, not found
  EXPECT_EQ(get_default_image_file(nullptr, name.c_str(), nullptr, 0), nullptr);
}

TEST_F(ImageSearchBounds, OverlongNamesEndStartUpWithAMessage) {
  const std::string longName(600, 'n');
  const std::string justTooLong(508, 'n');
  EXPECT_EXIT(find_image_file(longName.c_str(), ".vxi", nullptr, 0), ::testing::ExitedWithCode(1),
              kRefused + longName + ".vxi\n");
  EXPECT_EXIT(find_image_file(justTooLong.c_str(), ".vxi", nullptr, 0),
              ::testing::ExitedWithCode(1), kRefused + justTooLong + ".vxi\n");
  EXPECT_EXIT(get_default_image_file(nullptr, longName.c_str(), nullptr, 0),
              ::testing::ExitedWithCode(1), kRefused);
  EXPECT_EXIT(get_default_image_file(("/" + longName).c_str(), "prog", nullptr, 0),
              ::testing::ExitedWithCode(1), kRefused + "/" + longName + "/prog.vxi\n");
}

TEST_F(ImageSearchBounds, ADirectoryAndANameThatFitAloneAreRefusedTogether) {
  const std::string home = "/" + std::string(400, 'h');
  std::strcpy(home_location, home.c_str());
  const std::string name(200, 'i');
  EXPECT_EXIT(find_image_file(name.c_str(), ".vxi", nullptr, 0), ::testing::ExitedWithCode(1),
              kRefused + home + "/" + name + ".vxi\n");
  home_location[0] = '\0';
  EXPECT_EXIT(find_image_file(name.c_str(), ".vxi", home.c_str(), 0), ::testing::ExitedWithCode(1),
              kRefused + home + "/" + name + ".vxi\n");
}

TEST_F(ImageSearchBounds, ASuppliedDefaultImageNameIsBoundedToo) {
  const std::string longName(600, 'd');
  lisp_default_image_name = longName.c_str();
  EXPECT_EXIT(get_default_image_file(nullptr, "prog", nullptr, 0), ::testing::ExitedWithCode(1),
              kRefused + longName + ".vxi\n");
}

TEST_F(ImageSearchBounds, ThePathSearchRefusesWithoutWritingPastItsBuffer) {
  setenv("IMAGE_SEARCH_BOUNDS_PATH", std::string(505, 'p').c_str(), 1);
  char* out = static_cast<char*>(std::malloc(512));  // exactly the buffer the service fills
  EXPECT_EQ(find_file_using_pathstring("name", out, "IMAGE_SEARCH_BOUNDS_PATH"), -1);
  std::free(out);
  unsetenv("IMAGE_SEARCH_BOUNDS_PATH");
}

}  // namespace
