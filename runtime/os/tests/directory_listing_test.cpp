// Directory listings: opening, reading to the end, unknown identifiers,
// missing directories.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>

#include "runtime/os/tests/file_call_fixture.h"

namespace {

class DirectoryListing : public os_test::FileCallTest {
 protected:
  // Every name the listing gives until none; `limit` guards against a
  // listing that never ends.
  std::multiset<std::string> readAll(int32_t listing, int limit = 100) {
    std::multiset<std::string> names;
    while (const char* name = cl_readdir(listing)) {
      names.insert(name);
      if (--limit == 0) break;
    }
    return names;
  }
};

TEST_F(DirectoryListing, ListsEveryEntryWithDotAndDotDotThenNone) {
  for (const char* name : {"a", "b.txt", "c"}) writeFile(path(name), name);
  for (const std::string& name : {directory_, directory_ + "/", directory_ + "\\"}) {
    SCOPED_TRACE(name);
    const int32_t listing = cl_opendir(name.c_str());
    ASSERT_GT(listing, 0) << cl_error;
    EXPECT_EQ(readAll(listing), (std::multiset<std::string>{".", "..", "a", "b.txt", "c"}));
    EXPECT_EQ(cl_readdir(listing), nullptr);  // stays at the end
    EXPECT_EQ(cl_error, 0);
    EXPECT_EQ(cl_closedir(listing), kNil);
  }
}

TEST_F(DirectoryListing, ListingsAreIndependentAndNamedByTheirNodes) {
  writeFile(path("only"), "x");
  const int32_t first = cl_opendir(directory_.c_str());
  const int32_t second = cl_opendir(directory_.c_str());
  ASSERT_GT(first, 0);
  ASSERT_GT(second, 0);
  EXPECT_NE(first, second);
  EXPECT_NE(cl_readdir(first), nullptr);
  EXPECT_EQ(readAll(second).size(), 3u);
  EXPECT_EQ(readAll(first).size(), 2u);
  cl_closedir(first);
  cl_closedir(second);
}

TEST_F(DirectoryListing, AnUnknownOrClosedIdentifierGivesNoneAndErrorOne) {
  const int32_t listing = cl_opendir(directory_.c_str());
  ASSERT_GT(listing, 0);
  EXPECT_EQ(cl_closedir(listing), kNil);
  for (int32_t identifier : {listing, listing + 1, 0, -1, 12345}) {
    cl_error = 0;
    EXPECT_EQ(cl_readdir(identifier), nullptr);
    EXPECT_EQ(cl_error, 4);
    EXPECT_EQ(cl_closedir(identifier), kNil);  // ignored
  }
}

TEST_F(DirectoryListing, AMissingDirectoryIsAPathNotFound) {
  writeFile(path("file"), "x");
  for (const std::string& name : {path("missing"), path("file"), path("missing/deeper")}) {
    cl_error = 0;
    EXPECT_EQ(cl_opendir(name.c_str()), -1) << name;
    EXPECT_EQ(cl_error, 3 * 4) << name;
  }
  EXPECT_EQ(cl_opendir(nullptr), -1);
  EXPECT_EQ(cl_error, 87 * 4);
  // Nothing failed stays on the list: a new listing is the only one.
  const int32_t listing = cl_opendir(directory_.c_str());
  ASSERT_GT(listing, 0);
  EXPECT_EQ(readAll(listing).size(), 3u);
  cl_closedir(listing);
}

}  // namespace
