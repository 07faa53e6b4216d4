// A file's life through the calls the file-system dispatcher makes, with the
// arguments in the forms it passes (names as native addresses, flags and
// close/stat descriptors as Lisp words, transfer descriptors as integers)
// and each result read the way it reads them.
#include <gtest/gtest.h>

#include <array>
#include <set>
#include <string>

#include "runtime/os/tests/file_call_fixture.h"
#include "runtime/rs/object_layout.h"

namespace {

using lisp::makeFixnum;

class FileCallRoundTrip : public os_test::FileCallTest {};

TEST_F(FileCallRoundTrip, CreateWriteReadStatListRenameDelete) {
  const std::string name = path("notes.txt");
  const lisp::lispval created = cl_create_x(name.c_str(), 0);
  ASSERT_TRUE(lisp::isFixnum(created));
  ASSERT_EQ(cl_error, 0);
  const char text[] = "first line\nsecond line\n";
  const int32_t length = sizeof text - 1;
  EXPECT_EQ(cl_write(descriptorOf(created), text, 0, length), length);
  EXPECT_EQ(cl_close(created), kT);
  ASSERT_EQ(cl_error, 0);

  const lisp::lispval opened = cl_open(name.c_str(), kT, kNil, makeFixnum(0));
  ASSERT_TRUE(lisp::isFixnum(opened));
  char back[64] = {};
  EXPECT_EQ(cl_read(descriptorOf(opened), back, 0, 11), 11);
  EXPECT_EQ(cl_read(descriptorOf(opened), back, 11, 64 - 11), length - 11);
  EXPECT_EQ(cl_read(descriptorOf(opened), back, 0, 64), 0);
  EXPECT_STREQ(back, text);
  EXPECT_EQ(cl_seek(descriptorOf(opened), 6, 0), 6);

  alignas(8) std::array<uint32_t, 2 + 15> words{lisp::headerWord(123), makeFixnum(15)};
  const lisp::lispval record = lisp::wordOf(words.data(), lisp::Tag::Other);
  EXPECT_EQ(cl_fnstat(opened, record), 4u);
  EXPECT_EQ(words[2 + 0], static_cast<uint32_t>(length));
  EXPECT_EQ(cl_close(opened), kT);
  words[2 + 0] = 0;
  EXPECT_EQ(cl_stat(name.c_str(), record, kNil), 4u);
  EXPECT_EQ(words[2 + 0], static_cast<uint32_t>(length));
  EXPECT_EQ(words[2 + 6], 0u);  // a regular file

  const int32_t listing = cl_opendir(directory_.c_str());
  ASSERT_GT(listing, 0);
  std::set<std::string> listed;
  while (const char* entryName = cl_readdir(listing)) listed.insert(entryName);
  EXPECT_EQ(cl_closedir(listing), kNil);
  EXPECT_EQ(listed, (std::set<std::string>{".", "..", "notes.txt"}));

  std::string from = name, to = path("kept.txt");
  EXPECT_EQ(cl_rename(from.data(), to.data()), makeFixnum(0));
  EXPECT_EQ(cl_existsp(name.c_str()), 0);
  EXPECT_EQ(cl_existsp(to.c_str()), 4);
  EXPECT_EQ(readFile(to), text);
  EXPECT_EQ(cl_delete(to.data()), kT);
  EXPECT_EQ(cl_existsp(to.c_str()), 0);
  EXPECT_EQ(cl_error, 0);

  // What the dispatcher turns into nil and the error number.
  EXPECT_EQ(cl_open(name.c_str(), kT, kNil, makeFixnum(0)), kNil);
  EXPECT_EQ(cl_error, 2 * 4);
}

}  // namespace
