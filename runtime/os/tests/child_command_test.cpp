// Command lines, program look-up and the environment merge of a child start.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "runtime/os/child_environment.h"
#include "runtime/os/command_line.h"
#include "testing/temp_path.h"

namespace {

using Words = std::vector<std::string>;

// ---- splitting ----

TEST(CommandLine, SplitsByTheCRuntimeRules) {
  const struct {
    const char* line;
    Words words;
  } cases[] = {
      {"", {}},
      {"  \t ", {}},
      {"prog", {"prog"}},
      {"  prog  a\tb  ", {"prog", "a", "b"}},
      {R"("my prog" a)", {"my prog", "a"}},
      {R"(C:\dir\prog a\b)", {R"(C:\dir\prog)", R"(a\b)"}},
      {R"(p "a b" c)", {"p", "a b", "c"}},
      {R"(p a"b c"d)", {"p", "ab cd"}},
      {R"(p a\"b)", {"p", R"(a"b)"}},
      {R"(p a\\"b c")", {"p", R"(a\b c)"}},
      {R"(p a\\\"b)", {"p", R"(a\"b)"}},
      {R"(p a\\b)", {"p", R"(a\\b)"}},
      {R"(p "")", {"p", ""}},
      {R"(p "a""b")", {"p", R"(a"b)"}},
      {R"(p "unclosed quote)", {"p", "unclosed quote"}},
      {R"(p trailing\)", {"p", R"(trailing\)"}},
      {R"("prog\" a)", {R"(prog\)", "a"}},
  };
  for (const auto& c : cases) EXPECT_EQ(lisp::os::splitCommandLine(c.line), c.words) << c.line;
}

// ---- finding the program ----

class ProgramLookup : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = testing_support::processTempPath("bin");
    std::filesystem::remove_all(directory_);
    std::filesystem::create_directories(directory_ + "/first");
    std::filesystem::create_directories(directory_ + "/second");
    make("first/plain", 0644);
    make("second/plain", 0755);
    make("second/tool", 0755);
    std::filesystem::create_directories(directory_ + "/first/tool");  // a directory
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  void make(const std::string& name, mode_t mode) {
    const std::string path = directory_ + "/" + name;
    std::ofstream(path) << "#!/bin/sh\n";
    ::chmod(path.c_str(), mode);
  }

  std::string directory_;
};

TEST_F(ProgramLookup, TakesTheFirstExecutableFileOnThePath) {
  const std::string path = directory_ + "/first:" + directory_ + "/second";
  EXPECT_EQ(lisp::os::findProgram("plain", path.c_str(), "/"), directory_ + "/second/plain")
      << "a file that may not be run is passed over";
  EXPECT_EQ(lisp::os::findProgram("tool", path.c_str(), "/"), directory_ + "/second/tool")
      << "a directory is passed over";
  EXPECT_EQ(lisp::os::findProgram("absent", path.c_str(), "/"), std::nullopt);
  EXPECT_EQ(lisp::os::findProgram("", path.c_str(), "/"), std::nullopt);
}

TEST_F(ProgramLookup, NamesWithASlashAndRelativeEntriesCountFromTheBaseDirectory) {
  EXPECT_EQ(lisp::os::findProgram("second/tool", "/nowhere", directory_),
            directory_ + "/second/tool");
  EXPECT_EQ(lisp::os::findProgram(directory_ + "/second/tool", "/nowhere", "/"),
            directory_ + "/second/tool");
  EXPECT_EQ(lisp::os::findProgram("first/plain", "/nowhere", directory_), std::nullopt);
  EXPECT_EQ(lisp::os::findProgram("tool", ":second", directory_), directory_ + "/second/tool");
  EXPECT_EQ(lisp::os::findProgram("sh", nullptr, "/"), "/bin/sh") << "no PATH: the usual places";
}

// ---- the environment ----

TEST(EnvironmentNames, CompareWithFoldedLettersAndShorterNamesFirst) {
  const struct {
    const char* a;
    const char* b;
    int order;
  } cases[] = {
      {"A=1", "AB=1", -1},  {"AB=1", "A=1", 1},      {"path=/x", "PATH=/y", 0},
      {"a=1", "B=1", -1},   {"Z=1", "a=1", 1},       {"A", "A=1", 0},
      {"A_B=1", "AB=1", 1}, {"X=", "X=anything", 0}, {"", "A=1", -1},
  };
  for (const auto& c : cases) {
    const int order = lisp::os::compareEnvironmentNames(c.a, c.b);
    EXPECT_EQ((order > 0) - (order < 0), c.order) << c.a << " vs " << c.b;
  }
}

TEST(EnvironmentMerge, LispEntriesReplaceEqualNamesAndLandInOrder) {
  const Words lisp = {"A=1", "B=lisp", "path=/x", "ZZ=last"};
  const Words process = {"PATH=/bin", "b=process", "AB=2", "HOME=/h"};
  const Words expected = {"A=1", "AB=2", "B=lisp", "HOME=/h", "path=/x", "ZZ=last"};
  EXPECT_EQ(lisp::os::mergeEnvironments(lisp, process), expected);
  EXPECT_EQ(lisp::os::mergeEnvironments({}, {"B=2", "A=1"}), (Words{"A=1", "B=2"}));
  EXPECT_EQ(lisp::os::mergeEnvironments({"A=1"}, {}), (Words{"A=1"}));
}

// A vector of 8-bit elements with a fixnum length word, as Lisp code makes
// an environment block.
class ByteVector {
 public:
  explicit ByteVector(const std::string& bytes) : words_(2 + (bytes.size() + 7) / 8 + 1) {
    auto* header = reinterpret_cast<uint32_t*>(words_.data());
    header[0] = 125;
    header[1] = lisp::makeFixnum(static_cast<int32_t>(bytes.size()));
    std::memcpy(header + 2, bytes.data(), bytes.size());
  }
  lisp::lispval word() const { return lisp::wordOf(words_.data(), lisp::Tag::Other); }

 private:
  std::vector<uint64_t> words_;
};

std::string block(uint16_t count, const std::string& entries) {
  return std::string(1, static_cast<char>(count & 0xff)) +
         std::string(1, static_cast<char>(count >> 8)) + entries;
}

TEST(EnvironmentBlock, TheWalkStaysWithinTheCountAndTheVector) {
  const std::string entries("A=1\0B=2\0\0", 9);
  const struct {
    std::string bytes;
    Words expected;
  } cases[] = {
      {block(9, entries), {"A=1", "B=2"}},
      {block(9, entries + std::string("C=3\0", 4)), {"A=1", "B=2"}},  // after the empty entry
      {block(6, entries), {"A=1"}},                                   // B=2 cut by the count
      {block(0xffff, entries.substr(0, 6)), {"A=1"}},                 // cut by the vector
      {block(300, ""), {}},
      {std::string(1, '\0'), {}},
  };
  for (const auto& c : cases) {
    const ByteVector vector(c.bytes);
    const auto got = lisp::os::lispEnvironmentEntries(vector.word());
    if (c.bytes.size() < 2) {
      EXPECT_EQ(got, std::nullopt);
      continue;
    }
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(*got, c.expected);
  }
}

TEST(EnvironmentBlock, OnlyVectorsOfRawElementsAreBlocks) {
  alignas(8) uint32_t simpleVector[4] = {112, lisp::makeFixnum(1), 0, 0};
  EXPECT_EQ(lisp::os::lispEnvironmentEntries(lisp::wordOf(simpleVector, lisp::Tag::Other)),
            std::nullopt);
  EXPECT_EQ(lisp::os::lispEnvironmentEntries(lisp::makeFixnum(3)), std::nullopt);
}

}  // namespace
