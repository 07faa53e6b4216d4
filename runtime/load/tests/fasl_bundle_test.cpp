// Fasl bundles: the directory search over writer-made bundles (good and
// bad), the choice between a bundle's copy and a disk copy when loading on a
// real heap, the numbered copies, and the runtime entries through the Lisp
// calling conventions.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/load/fasl_bundle_format.h"
#include "runtime/load/fasl_bundles.h"
#include "runtime/load/fasl_format.h"
#include "runtime/load/fasl_loader.h"
#include "runtime/load/fasl_segment.h"
#include "runtime/load/startup.h"
#include "runtime/load/tests/loader_object_heap.h"
#include "runtime/os/console_printing.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"
#include "testing/console_recorder.h"
#include "testing/fasl_bundle_writer.h"
#include "testing/fasl_writer.h"
#include "testing/temp_path.h"

extern "C" lisp::lispval tval;

namespace {

using lisp::lispval;
using testing_support::BundleCorruption;
using testing_support::BundleFasl;
using testing_support::faslBundle;
using testing_support::FaslWriter;
namespace bundle = lisp::fasl::bundle;
namespace fs = std::filesystem;
namespace tr = lisp::thread_record;

constexpr char kStartup[] = "sys/startup.fasl";
constexpr char16_t kStartupU16[] = u"sys/startup.fasl";

// A fasl of one segment with the timestamp whose symbol table's slot 0 holds
// the boot symbol `tag`: what was loaded shows which copy it was.
std::vector<uint8_t> taggedFasl(uint32_t timestamp, std::u16string_view tag) {
  FaslWriter w;
  w.segment(timestamp).machineId(0, 61, 31, 0x405);
  w.symbol(tag, 0).code(76).code(78);  // wf_defglobal into slot 0, wf_pop
  w.done();
  return w.bytes();
}

// ---- the directory search ----

std::optional<bundle::FoundEntry> find(const std::vector<uint8_t>& bytes, std::string_view name,
                                       uint32_t minimum = 0) {
  bundle::MemoryBundle memory(bytes);
  return bundle::findEntry(memory, name, minimum);
}

TEST(BundleDirectory, FindsTheFirstEntryThatMeetsTheVersionTest) {
  const std::vector<uint8_t> bytes = faslBundle(
      {{"a.fasl", 5, {1, 2}}, {kStartup, 3, {3}}, {kStartup, 9, {4, 5, 6}}, {kStartup, 12, {7}}});
  const auto first = find(bytes, kStartup);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->version, 3u);
  EXPECT_EQ(bytes[first->offset], 3);
  const auto atLeast4 = find(bytes, kStartup, 4);
  ASSERT_TRUE(atLeast4);
  EXPECT_EQ(atLeast4->version, 9u);
  EXPECT_EQ(bytes[atLeast4->offset], 4);
  EXPECT_EQ(find(bytes, kStartup, 9)->version, 9u);  // an equal version is enough
  EXPECT_FALSE(find(bytes, kStartup, 13));
  EXPECT_FALSE(find(bytes, "sys/startup"));  // names compare whole
  EXPECT_FALSE(find(bytes, "SYS/STARTUP.FASL"));
}

TEST(BundleDirectory, NamesCompareWithinTheirField) {
  char field[bundle::kNameBytes];
  const std::string longest(bundle::kNameBytes - 1, 'n');
  std::memset(field, 0, sizeof field);
  std::memcpy(field, longest.data(), longest.size());
  EXPECT_TRUE(bundle::directoryNameMatches(field, longest));
  EXPECT_FALSE(bundle::directoryNameMatches(field, longest.substr(1)));
  std::memset(field, 'n', sizeof field);  // no zero anywhere
  EXPECT_FALSE(bundle::directoryNameMatches(field, longest));
  EXPECT_FALSE(bundle::directoryNameMatches(field, longest + "n"));
}

// A corruption made by one change to the empty one.
template <class Change>
BundleCorruption corrupted(Change change) {
  BundleCorruption corruption;
  change(corruption);
  return corruption;
}

struct BadBundle {
  const char* what;
  BundleCorruption corruption;
};

// Each is a bundle whose only startup entry cannot be had.
std::vector<BadBundle> badBundles() {
  const size_t whole = faslBundle({{kStartup, 4, taggedFasl(4, u"b")}}).size();
  return {
      {"wrong magic", corrupted([](BundleCorruption& c) { c.magic = 0xF2; })},
      {"short header", corrupted([](BundleCorruption& c) { c.truncateTo = 91; })},
      {"empty file", corrupted([](BundleCorruption& c) { c.truncateTo = 0; })},
      {"no entries", corrupted([](BundleCorruption& c) { c.entryCount = 0; })},
      {"short directory", corrupted([](BundleCorruption& c) { c.truncateTo = 92 + 91; })},
      {"directory past the end",
       corrupted([&](BundleCorruption& c) { c.directoryOffset = static_cast<uint32_t>(whole); })},
      {"directory offset that wraps",
       corrupted([](BundleCorruption& c) { c.directoryOffset = 0xFFFFFFF0u; })},
      {"unterminated name", corrupted([](BundleCorruption& c) { c.unterminatedEntry = 0; })},
      {"offset at the end", corrupted([&](BundleCorruption& c) {
         c.entryWithOffset = 0;
         c.offset = static_cast<uint32_t>(whole);
       })},
      {"offset past the end", corrupted([](BundleCorruption& c) {
         c.entryWithOffset = 0;
         c.offset = 0xFFFFFFFFu;
       })},
  };
}

TEST(BundleDirectory, EveryBadBundleReadsAsNotFound) {
  for (const BadBundle& bad : badBundles()) {
    SCOPED_TRACE(bad.what);
    EXPECT_FALSE(find(faslBundle({{kStartup, 4, taggedFasl(4, u"b")}}, bad.corruption), kStartup));
  }
}

TEST(BundleDirectory, AnUnusableEntryIsPassedOverForALaterOne) {
  for (BundleCorruption corruption :
       {corrupted([](BundleCorruption& c) { c.unterminatedEntry = 0; }),
        corrupted([](BundleCorruption& c) {
          c.entryWithOffset = 0;
          c.offset = 0x7FFFFFFF;
        })}) {
    const auto bytes = faslBundle({{kStartup, 4, {1}}, {kStartup, 5, {2}}}, corruption);
    const auto found = find(bytes, kStartup);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->version, 5u);
  }
}

TEST(BundleDirectory, ACountBeyondTheDirectoryStopsAtTheFileEnd) {
  // The count promises 500 entries; the directory search reads into the
  // entries' bytes and then stops at the end of the file.
  const auto bytes = faslBundle({{"a", 1, std::vector<uint8_t>(300, 0x41)}},
                                corrupted([](BundleCorruption& c) { c.entryCount = 500; }));
  EXPECT_FALSE(find(bytes, kStartup));
  EXPECT_TRUE(find(bytes, "a"));
}

// ---- loading on a real heap ----

// The heap, a thread record with an empty load stack, boot mode, a small
// boot symbol table, a home directory and a bundle file inside a temporary
// directory of the test's own.
class FaslBundleLoad : public loader_test::LoaderObjectHeap {
 protected:
  void SetUp() override {
    LoaderObjectHeap::SetUp();
    ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
    using namespace lisp::fasl;
    saved_ = {bootmode,  curreadmode,   faslversion, min_faslversion,
              rsversion, min_rsversion, raz_fasl,    raz_fasl_noisy};
    savedGcCount_ = auto_gc_count;
    std::memcpy(savedHome_, home_location, sizeof savedHome_);
    std::memcpy(savedBundle_, bu_fname, sizeof savedBundle_);
    bootmode = 1;
    curreadmode = 0;
    faslversion = min_faslversion = 61;
    rsversion = min_rsversion = 31;
    raz_fasl = 0;
    raz_fasl_noisy = 1;
    auto_gc_count = 0;  // no scavenge after a load: the test's cell is no root
    threadWord(tr::kFaslStack) = nil();
    threadWord(tr::kFaslStackWords) = 0;
    threadWord(tr::kSpecialFill) = 0;
    global(runtimeGlobalOffset(kRuntimeVersionGlobal)) = 0;
    global(runtimeGlobalOffset(kFunctionGroupSwitchGlobal)) = 0;
    savedT_ = tval;
    tval = objects_->makeSymbol(nil());
    table_.assign(61, 0);
    oblist = table_.data();
    ob_size = 61;

    root_ = testing_support::processTempPath("bundles");
    fs::remove_all(root_);
    setHome(root_ + "/home");
    setBundle(root_ + "/files.vxb");
    cell_ = nil();
  }
  void TearDown() override {
    oblist = nullptr;
    ob_size = 0;
    tval = savedT_;
    bootmode = saved_[0];
    curreadmode = saved_[1];
    faslversion = saved_[2];
    min_faslversion = saved_[3];
    rsversion = saved_[4];
    min_rsversion = saved_[5];
    raz_fasl = saved_[6];
    raz_fasl_noisy = saved_[7];
    auto_gc_count = savedGcCount_;
    std::memcpy(home_location, savedHome_, sizeof savedHome_);
    std::memcpy(bu_fname, savedBundle_, sizeof savedBundle_);
    fs::remove_all(root_);
    LoaderObjectHeap::TearDown();
  }

  void setHome(const std::string& home) {
    fs::create_directories(home + "/sys");
    ASSERT_LT(home.size(), sizeof home_location);
    std::snprintf(home_location, sizeof home_location, "%s", home.c_str());
  }
  void setBundle(const std::string& path) {
    std::snprintf(bu_fname, sizeof bu_fname, "%s", path.c_str());
    bundlename = bu_fname;
  }
  void writeBundle(const std::vector<BundleFasl>& fasls, const BundleCorruption& corruption = {}) {
    ASSERT_TRUE(testing_support::writeFileBytes(bu_fname, faslBundle(fasls, corruption)));
  }
  // A file under the home directory.
  void writeDisk(const std::string& relative, const std::vector<uint8_t>& bytes) {
    ASSERT_TRUE(
        testing_support::writeFileBytes(std::string(home_location) + "/" + relative, bytes));
  }

  // A Lisp string (type 117) in the test arena.
  lispval lispString(std::u16string_view text) {
    const auto count = static_cast<uint32_t>(text.size());
    auto* bytes = static_cast<uint8_t*>(objects_->allocate(8 + 2 * count + 8));
    const uint32_t header = lisp::headerWord(lisp::type_code::SimpleString);
    const uint32_t length = lisp::makeFixnum(static_cast<int32_t>(count));
    std::memcpy(bytes, &header, 4);
    std::memcpy(bytes + 4, &length, 4);
    std::memcpy(bytes + 8, text.data(), 2 * count);
    return lisp::pointerWord(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(bytes)),
                             lisp::Tag::Other);
  }

  // What the load printed: through the console printer (descriptor 1), and
  // on the process's standard error.
  struct Outcome {
    int result;
    std::string console, err;
  };
  Outcome startup(std::u16string_view directory = u"sys", std::u16string_view name = u"startup",
                  int32_t quiet = 0, int32_t numbered = 1) {
    const lispval d = lispString(directory), n = lispString(name);
    const testing_support::ConsoleRecorder console;
    testing::internal::CaptureStderr();
    const int result = bundfasl(&cell_, d, n, 2, quiet, numbered, thread_);
    return {result, testing_support::ConsoleRecorder::console(),
            testing::internal::GetCapturedStderr()};
  }

  // The name of the boot symbol the last load left in slot 0 of its
  // segment's symbol table; "" when nothing was loaded.
  std::string loadedTag() {
    if (cell_ == nil()) return "";
    using namespace lisp::fasl;
    const lispval symtab = simpleVectorElement(cell_, segment_record::kSymtab);
    if (symtab == nil()) return "";
    const lispval symbol = simpleVectorElement(symtab, 0);
    std::string text;
    for (char16_t c : charactersOf(lisp::objectOf<lisp::SymbolObject>(symbol)->name))
      text.push_back(static_cast<char>(std::tolower(c)));  // whatever the read mode made of it
    return text;
  }

  std::string diskPath(const std::string& relative) {
    return std::string(home_location) + "/" + relative;
  }

  std::string root_;
  lispval cell_ = 0;
  std::vector<lispval> table_;
  std::array<uint32_t, 8> saved_{};
  int32_t savedGcCount_ = 0;
  lispval savedT_ = 0;
  char savedHome_[kHomeLocationBytes] = {};
  char savedBundle_[kBundleNameBytes] = {};
};

TEST_F(FaslBundleLoad, TheStartupFileLoadsFromTheBundle) {
  writeBundle(
      {{"sys/other.fasl", 9, taggedFasl(9, u"other")}, {kStartup, 7, taggedFasl(7, u"bundle")}});
  const Outcome o = startup();
  EXPECT_EQ(o.result, lisp::fasl::kClean);
  EXPECT_EQ(o.console, "; fasl from bundle: sys/startup.fasl\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(loadedTag(), "bundle");
  EXPECT_EQ(curreadmode, 2u);
  EXPECT_EQ(auto_gc_count, -1);
}

TEST_F(FaslBundleLoad, TheBundleOrTheDiskCopyByVersion) {
  struct Case {
    const char* what;
    uint32_t bundleVersion;
    std::optional<uint32_t> diskTimestamp;  // none: no disk copy
    const char* loaded;
  };
  const Case cases[] = {
      {"equal version", 7, 7, "bundle"},
      {"bundle newer", 8, 7, "bundle"},
      {"disk newer", 7, 8, "disk"},
      {"no disk copy, version 0", 0, std::nullopt, "bundle"},
      {"disk copy without a segment marker", 0, 0, "bundle"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(diskPath(kStartup));
    cell_ = nil();
    writeBundle({{kStartup, c.bundleVersion, taggedFasl(c.bundleVersion, u"bundle")}});
    if (c.diskTimestamp) {
      if (*c.diskTimestamp == 0)
        writeDisk(kStartup, {'#', 'x', '\n'});
      else
        writeDisk(kStartup, taggedFasl(*c.diskTimestamp, u"disk"));
    }
    const Outcome o = startup();
    EXPECT_EQ(o.result, lisp::fasl::kClean);
    EXPECT_EQ(loadedTag(), c.loaded);
    EXPECT_EQ(o.err, "");
    if (std::string(c.loaded) == "disk") {
      EXPECT_EQ(o.console, "; fasl " + diskPath(kStartup) + "\n");
    }
  }
}

TEST_F(FaslBundleLoad, OfTwoEqualNamesTheFirstThatMeetsTheVersionIsLoaded) {
  writeBundle({{kStartup, 5, taggedFasl(5, u"five")}, {kStartup, 9, taggedFasl(9, u"nine")}});
  EXPECT_EQ(startup().result, lisp::fasl::kClean);
  EXPECT_EQ(loadedTag(), "five");  // no disk copy: any version will do
  writeDisk(kStartup, taggedFasl(7, u"disk"));
  cell_ = nil();
  EXPECT_EQ(startup().result, lisp::fasl::kClean);
  EXPECT_EQ(loadedTag(), "nine");
}

TEST_F(FaslBundleLoad, NeitherCopyLoadsNothing) {
  const Outcome o = startup();
  EXPECT_EQ(o.result, lisp::fasl::kNotFasl);
  EXPECT_EQ(o.console, "; 1 fasl-bundle skipping file sys/startup.fasl...\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(cell_, nil());
  EXPECT_EQ(auto_gc_count, 0);  // the early return runs no collection
  EXPECT_EQ(startup(u"sys", u"startup", 1).console, "");
}

TEST_F(FaslBundleLoad, EveryBadBundleReadsAsNotFound) {
  for (const BadBundle& bad : badBundles()) {
    SCOPED_TRACE(bad.what);
    writeBundle({{kStartup, 4, taggedFasl(4, u"b")}}, bad.corruption);
    const Outcome o = startup();
    EXPECT_EQ(o.result, lisp::fasl::kNotFasl);
    EXPECT_EQ(o.console, "; 1 fasl-bundle skipping file sys/startup.fasl...\n");
    EXPECT_EQ(cell_, nil());
  }
}

TEST_F(FaslBundleLoad, TheHighestNumberedCopyWinsOverANewerBundleEntry) {
  writeBundle({{kStartup, 100, taggedFasl(100, u"bundle")}});
  writeDisk("sys/startup.001", taggedFasl(1, u"one"));
  writeDisk("sys/startup.002", taggedFasl(2, u"two"));
  Outcome o = startup();
  EXPECT_EQ(o.result, lisp::fasl::kClean);
  EXPECT_EQ(loadedTag(), "two");
  EXPECT_EQ(o.console, "; fasl " + diskPath("sys/startup.002") + "\n");
  // Without the numbered-versions flag the copies are not looked for.
  cell_ = nil();
  o = startup(u"sys", u"startup", 0, 0);
  EXPECT_EQ(loadedTag(), "bundle");
}

TEST_F(FaslBundleLoad, UpperCaseAndBackslashesNameTheCanonicalEntry) {
  writeBundle({{kStartup, 7, taggedFasl(7, u"bundle")}});
  const Outcome o = startup(u"SYS\\", u"StartUp");
  EXPECT_EQ(o.result, lisp::fasl::kClean);
  EXPECT_EQ(o.console, "; fasl from bundle: sys/startup.fasl\n");
  EXPECT_EQ(loadedTag(), "bundle");
}

TEST_F(FaslBundleLoad, AHomeDirectoryKeepsItsCase) {
  setHome(root_ + "/Home/User");
  writeBundle({{kStartup, 7, taggedFasl(7, u"bundle")}});
  writeDisk(kStartup, taggedFasl(8, u"disk"));
  const Outcome o = startup();
  EXPECT_EQ(o.result, lisp::fasl::kClean);
  EXPECT_EQ(loadedTag(), "disk");
  EXPECT_EQ(o.console, "; fasl " + root_ + "/Home/User/sys/startup.fasl\n");
}

TEST_F(FaslBundleLoad, TheLinePrintedForABundleCopy) {
  writeBundle({{kStartup, 7, taggedFasl(7, u"bundle")}});
  raz_fasl = 1;
  raz_fasl_noisy = 0;
  EXPECT_EQ(startup().console, ";");
  raz_fasl_noisy = 1;
  EXPECT_EQ(startup().console, "; fasl from bundle: sys/startup.fasl\n");
  EXPECT_EQ(startup(u"sys", u"startup", 1).console, "");
}

// The load's lines go through the console printer like the rest of the
// console's text, so each comes after what was written before it, whichever
// copy is loaded or skipped.
TEST_F(FaslBundleLoad, ItsLinesComeInOrderWithTheConsolesOtherText) {
  FaslWriter cut;
  cut.segment(9).machineId(0, 61, 31, 0x405).fixnum(1);  // ends inside the segment
  FaslWriter malformed;
  malformed.segment(9).machineId(0, 61, 31, 0x405);
  const size_t popAt = malformed.bytes().size();
  malformed.code(78).done();  // wf_pop on the segment's empty stack
  const std::string disk = "; fasl " + diskPath(kStartup) + "\n";
  const std::string skipping = "fasl-bundle skipping file sys/startup.fasl...\n";
  const std::string popReason = "fasl: malformed item 78 at " + std::to_string(popAt) +
                                ": pops below the segment's stack base\n";
  const struct {
    const char* what;
    bool inBundle;
    std::vector<uint8_t> onDisk;  // empty: no disk copy
    std::string printed;
  } cases[] = {
      {"the bundle's copy", true, {}, "; fasl from bundle: sys/startup.fasl\n"},
      {"a newer disk copy", true, taggedFasl(8, u"disk"), disk},
      {"a disk copy that fails", false, cut.bytes(), disk + "; 3 " + skipping},
      {"a malformed disk copy", false, malformed.bytes(), disk + popReason + "; 7 " + skipping},
      {"no copy", false, {}, "; 1 " + skipping},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(diskPath(kStartup));
    cell_ = nil();
    writeBundle({{c.inBundle ? kStartup : "sys/other.fasl", 7, taggedFasl(7, u"bundle")}});
    if (!c.onDisk.empty()) writeDisk(kStartup, c.onDisk);
    const lispval directory = lispString(u"sys"), name = lispString(u"startup");
    const testing_support::ConsoleRecorder console;
    vxmprintf("before\n");
    bundfasl(&cell_, directory, name, 2, 0, 1, thread_);
    vxmprintf("after\n");
    EXPECT_EQ(testing_support::ConsoleRecorder::console(), "before\n" + c.printed + "after\n");
  }
}

TEST_F(FaslBundleLoad, ADiskCopyThatFailsIsReportedWithItsResult) {
  FaslWriter w;
  w.segment(9).machineId(0, 61, 31, 0x405).fixnum(1);  // ends inside the segment
  writeDisk(kStartup, w.bytes());
  const Outcome o = startup();
  EXPECT_EQ(o.result, lisp::fasl::kTruncated);
  EXPECT_EQ(o.console, "; fasl " + diskPath(kStartup) +
                           "\n; 3 fasl-bundle skipping file sys/startup.fasl...\n");
  EXPECT_EQ(startup(u"sys", u"startup", 1).console, "; fasl " + diskPath(kStartup) + "\n");
}

TEST_F(FaslBundleLoad, NamesThatDoNotFitAreRefused) {
  writeBundle({{kStartup, 7, taggedFasl(7, u"bundle")}});
  const std::u16string longName(600, u'n');
  Outcome o = startup(u"sys", longName);
  EXPECT_EQ(o.result, lisp::fasl::kNotFasl);
  EXPECT_EQ(o.console, "File name too long: sys/" + std::string(600, 'n') + ".fasl\n");
  EXPECT_EQ(o.err, "");
  EXPECT_EQ(cell_, nil());
  // The relative name fits; with the home directory in front it does not.
  const std::u16string fitsAlone(500, u'n');
  o = startup(u"sys", fitsAlone);
  EXPECT_EQ(o.result, lisp::fasl::kNotFasl);
  EXPECT_EQ(o.console.rfind("File name too long: " + std::string(home_location) + "/sys/", 0), 0u);
}

TEST_F(FaslBundleLoad, ACollectionFollowsALoadOnlyWhileTheCountIsPositive) {
  // Each load counts down; a count that was not positive runs no collection.
  writeBundle({{kStartup, 7, taggedFasl(7, u"bundle")}});
  const uint32_t first = GsNewOther1;
  auto_gc_count = -3;
  EXPECT_EQ(startup().result, lisp::fasl::kClean);
  EXPECT_EQ(auto_gc_count, -4);
  EXPECT_EQ(GsNewOther1, first);
  // A positive count: the load is followed by a collection of new space,
  // which moves allocation into the other semispace.
  auto_gc_count = 1;
  EXPECT_EQ(startup().result, lisp::fasl::kClean);
  EXPECT_EQ(auto_gc_count, 0);
  EXPECT_NE(GsNewOther1, first);
}

TEST_F(FaslBundleLoad, LoadFromBundleTakesAnyVersionOfTheCanonicalName) {
  writeBundle({{kStartup, 0, taggedFasl(0, u"bundle")}});
  const testing_support::ConsoleRecorder console;
  EXPECT_EQ(load_from_bundle(&cell_, lispString(u"SYS\\startup.fasl"), 3, thread_),
            lisp::fasl::kClean);
  EXPECT_EQ(testing_support::ConsoleRecorder::console(), "");
  EXPECT_EQ(loadedTag(), "bundle");
  EXPECT_EQ(curreadmode, 3u);
  cell_ = nil();
  EXPECT_EQ(load_from_bundle(&cell_, lispString(u"sys/absent.fasl"), 0, thread_),
            lisp::fasl::kNotFasl);
  EXPECT_EQ(load_from_bundle(&cell_, lisp::makeFixnum(3), 0, thread_), lisp::fasl::kNotFasl);
  EXPECT_EQ(cell_, nil());
}

TEST_F(FaslBundleLoad, SearchBundleGivesTheFirstVersion) {
  writeBundle({{kStartup, 0x12345678, {1}}, {kStartup, 3, {2}}});
  EXPECT_EQ(search_bundle(lispString(u"Sys/Startup.FASL")), 0x12345678);
  EXPECT_EQ(search_bundle(lispString(u"sys/absent.fasl")), -1);
  EXPECT_EQ(search_bundle(nil()), -1);
  setBundle(root_ + "/missing.vxb");
  EXPECT_EQ(search_bundle(lispString(kStartupU16)), -1);
}

// The lowest free descriptor number: equal before and after a call that
// must leave no descriptor open.
int lowestFreeDescriptor() {
  const int fd = dup(0);
  close(fd);
  return fd;
}

TEST_F(FaslBundleLoad, BundlefindFdIsPositionedAtTheEntryOrClosed) {
  writeBundle({{"a", 1, {0x41}}, {kStartup, 2, {0xF3, 0x42}}});
  const int free = lowestFreeDescriptor();
  const int fd = bundlefind_fd(lispString(kStartupU16));
  ASSERT_GE(fd, 0);
  uint8_t bytes[3] = {};
  EXPECT_EQ(read(fd, bytes, 3), 3);
  EXPECT_EQ(bytes[0], 0xF3);
  EXPECT_EQ(bytes[1], 0x42);
  EXPECT_EQ(bytes[2], 0x1C);
  close(fd);
  // The name is taken as given: no canonical form.
  EXPECT_EQ(bundlefind_fd(lispString(u"SYS/startup.fasl")), -1);
  EXPECT_EQ(bundlefind_fd(lispString(u"sys/absent.fasl")), -1);
  EXPECT_EQ(lowestFreeDescriptor(), free);
  setBundle(root_ + "/missing.vxb");
  EXPECT_EQ(bundlefind_fd(lispString(kStartupU16)), -1);
}

TEST_F(FaslBundleLoad, BundlefindHandsOverAStreamAtTheEntry) {
  writeBundle({{kStartup, 5, {0xF3, 0x61}}, {kStartup, 9, {0xF3, 0x62}}});
  uint32_t version = 0;
  std::FILE* stream = bundlefind(kStartup, nullptr, 6, &version);
  ASSERT_NE(stream, nullptr);
  EXPECT_EQ(version, 9u);
  EXPECT_EQ(std::fgetc(stream), 0xF3);
  EXPECT_EQ(std::fgetc(stream), 0x62);
  std::fclose(stream);
  const int free = lowestFreeDescriptor();
  EXPECT_EQ(bundlefind(kStartup, nullptr, 10, &version), nullptr);
  EXPECT_EQ(lowestFreeDescriptor(), free);
}

// ---- the runtime entries, through the Lisp calling conventions ----

class FaslBundleEntries : public FaslBundleLoad {
 protected:
  static constexpr int32_t kFaslBundle = 0xa7;
  static constexpr int32_t kFasldesc = 0x157;
  static constexpr int32_t kBundleLookup = 0x307;
  static constexpr int32_t kBundleLoad = 0x30b;
  static constexpr int32_t kBundleFindFd = 0x327;
  static constexpr int32_t kFaslBundle2 = 0x373;
  static constexpr int32_t kInitialFunction = -0x4dd;  // runtime global 306

  void SetUp() override {
    FaslBundleLoad::SetUp();
    initial_ = objects_->makeFunction(0x30000302);
    global(kInitialFunction) = initial_;
    hook_ = objects_->makeSymbol(initial_);
    global(lisp::fasl::runtimeGlobalOffset(lisp::fasl::kBundleHookGlobal)) = hook_;
    readMode_ = objects_->makeSymbol(nil());
    setReadMode(lisp::makeFixnum(0));
    global(lisp::fasl::runtimeGlobalOffset(lisp::fasl::kReadModeGlobal)) = readMode_;
  }

  void setReadMode(lispval value) {
    lisp::objectOf<lisp::SymbolObject>(readMode_)->globalValue = value;
  }

  // A call with the arguments in eax, edx and the stack after the home slots.
  testing_support::LispCallResult callEntry(int32_t slot, std::vector<lispval> arguments,
                                            std::string* out = nullptr) {
    testing_support::LispCallSetup setup =
        setupFor(slot, arguments.size() > 0 ? arguments[0] : 0,
                 arguments.size() > 1 ? arguments[1] : 0, static_cast<uint32_t>(arguments.size()));
    setup.stack[0] = setup.stack[1] = nil();
    for (size_t i = 2; i < arguments.size(); ++i) setup.stack[i] = arguments[i];
    const testing_support::ConsoleRecorder console;
    const testing_support::LispCallResult result = call(setup);
    if (out) *out = testing_support::ConsoleRecorder::console();
    EXPECT_EQ(result.carry, 0u);
    EXPECT_EQ(result.esi, kCallerFunction);
    return result;
  }

  // The value of a non-negative integer result: a fixnum, or a bignum of two digits.
  static uint64_t integerValue(lispval word) {
    if (lisp::isFixnum(word)) return static_cast<uint64_t>(lisp::fixnumValue(word));
    EXPECT_EQ(header(word), 0x00020012u);  // two digits, type 18, positive
    return lisp::wordAt(word, lisp::kHeaderOffset + 4);
  }

  lispval initial_ = 0, hook_ = 0, readMode_ = 0;
};

TEST_F(FaslBundleEntries, BundleLookupGivesNilOrTheVersion) {
  writeBundle({{kStartup, 7, {1}}, {"big", 1u << 29, {2}}, {"top", 0xFFFFFFFEu, {3}}});
  EXPECT_EQ(callEntry(kBundleLookup, {lispString(u"sys/absent.fasl")}).eax, nil());
  EXPECT_EQ(callEntry(kBundleLookup, {lispString(u"SYS/Startup.fasl")}).eax, lisp::makeFixnum(7));
  const lispval big = callEntry(kBundleLookup, {lispString(u"big")}).eax;
  EXPECT_TRUE(lisp::isOther(big));
  EXPECT_EQ(integerValue(big), uint64_t{1} << 29);
  EXPECT_EQ(integerValue(callEntry(kBundleLookup, {lispString(u"top")}).eax), 0xFFFFFFFEu);
}

TEST_F(FaslBundleEntries, BundleFindFdOfAMissingBundleIsMinusOne) {
  setBundle(root_ + "/missing.vxb");
  // The x87 stack is freed before the native call.
  testing_support::LispCallSetup setup = setupFor(kBundleFindFd, lispString(kStartupU16), 0, 1);
  setup.x87Count = 2;
  const testing_support::LispCallResult missing = call(setup);
  EXPECT_EQ(missing.eax, lisp::makeFixnum(-1));
  EXPECT_EQ(missing.x87Depth, 0u);
  setBundle(root_ + "/files.vxb");
  writeBundle({{kStartup, 7, {0xF3}}});
  const lispval fd = callEntry(kBundleFindFd, {lispString(kStartupU16)}).eax;
  ASSERT_TRUE(lisp::isFixnum(fd));
  ASSERT_GE(lisp::fixnumValue(fd), 0);
  uint8_t byte = 0;
  EXPECT_EQ(read(lisp::fixnumValue(fd), &byte, 1), 1);
  EXPECT_EQ(byte, 0xF3);
  close(lisp::fixnumValue(fd));
}

TEST_F(FaslBundleEntries, ADefinedHookIsCalledAndTheBundleLeftAlone) {
  setBundle(root_ + "/missing.vxb");
  lisp::objectOf<lisp::SymbolObject>(hook_)->function =
      objects_->makeFunction(testing_support::recorderAddress());
  testing_support::resetRecorder(lisp::makeFixnum(42));
  const lispval directory = lispString(u"sys"), name = lispString(u"startup");
  std::string out;
  const auto result = callEntry(kFaslBundle, {directory, name, lisp::makeFixnum(0)}, &out);
  EXPECT_EQ(result.eax, lisp::makeFixnum(42));
  ASSERT_EQ(lisp_recorder_log.count, 1u);
  const testing_support::RecordedCall& hook = lisp_recorder_log.calls[0];
  EXPECT_EQ(hook.ecx, 3u);
  EXPECT_EQ(hook.eax, directory);
  EXPECT_EQ(hook.edx, name);
  EXPECT_EQ(hook.stack[2], lisp::makeFixnum(0));
  EXPECT_EQ(out, "");  // bundfasl would have reported the missing file
}

TEST_F(FaslBundleEntries, AnUndefinedHookLoadsThroughTheBundleWithNumberedCopies) {
  writeBundle({{kStartup, 7, taggedFasl(7, u"bundle")}});
  std::string out;
  auto result = callEntry(kFaslBundle,
                          {lispString(u"sys"), lispString(u"startup"), lisp::makeFixnum(0)}, &out);
  EXPECT_EQ(result.eax, lisp::makeFixnum(lisp::fasl::kClean));
  EXPECT_EQ(out, "; fasl from bundle: sys/startup.fasl\n");
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  // A numbered copy on disk wins: the numbered-versions flag was 1.
  writeDisk("sys/startup.001", taggedFasl(1, u"one"));
  result = callEntry(kFaslBundle, {lispString(u"sys"), lispString(u"startup"), lisp::makeFixnum(1)},
                     &out);
  EXPECT_EQ(result.eax, lisp::makeFixnum(lisp::fasl::kClean));
  EXPECT_EQ(out, "; fasl " + diskPath("sys/startup.001") + "\n");
}

TEST_F(FaslBundleEntries, FaslBundle2PassesItsFlagsAndTheReadMode) {
  writeBundle({{kStartup, 7, taggedFasl(7, u"bundle")}});
  writeDisk("sys/startup.001", taggedFasl(1, u"one"));
  setReadMode(lisp::makeFixnum(3));
  std::string out;
  const auto result = callEntry(
      kFaslBundle2,
      {nil(), lispString(u"sys"), lispString(u"startup"), lisp::makeFixnum(1), lisp::makeFixnum(0)},
      &out);
  EXPECT_EQ(result.eax, lisp::makeFixnum(lisp::fasl::kClean));
  EXPECT_EQ(out, "");  // quiet, and the bundle's copy: numbered copies not looked for
  EXPECT_EQ(curreadmode, 3u);
  // The segment record was left in the home slot of the first argument.
  cell_ = result.stack[0];
  EXPECT_EQ(loadedTag(), "bundle");
}

TEST_F(FaslBundleEntries, BundleLoadTakesAnyVersionOfTheName) {
  writeBundle({{kStartup, 0, taggedFasl(0, u"bundle")}});
  setReadMode(lisp::makeFixnum(1));
  auto result = callEntry(kBundleLoad, {lispString(u"Sys/Startup.fasl")});
  EXPECT_EQ(result.eax, lisp::makeFixnum(lisp::fasl::kClean));
  EXPECT_EQ(curreadmode, 1u);
  cell_ = result.stack[0];
  EXPECT_EQ(loadedTag(), "bundle");
  result = callEntry(kBundleLoad, {lispString(u"sys/absent.fasl")});
  EXPECT_EQ(result.eax, lisp::makeFixnum(lisp::fasl::kNotFasl));
  EXPECT_EQ(result.stack[0], nil());
}

TEST_F(FaslBundleEntries, FasldescWithoutADescriptorGives9) {
  setReadMode(lisp::makeFixnum(2));
  const auto result = callEntry(kFasldesc, {nil(), nil(), nil(), lisp::makeFixnum(4000)});
  EXPECT_EQ(result.eax, lisp::makeFixnum(lisp::fasl::kMachineCodeFlags));
  EXPECT_EQ(curreadmode, 2u);
}

// ---- numbered copies ----

TEST_F(FaslBundleLoad, TheMostRecentNumberedCopy) {
  const std::string base = diskPath("sys/x.fasl");
  char path[lisp::fasl::kBundlePathBytes];
  int found = 0;
  std::snprintf(path, sizeof path, "%s", base.c_str());
  find_most_recent_version(path, sizeof path, &found);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(path, base);
  for (const char* copy : {"sys/x.001", "sys/x.002", "sys/x.004"}) writeDisk(copy, {1});
  find_most_recent_version(path, sizeof path, &found);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(path, diskPath("sys/x.002"));  // the search stops at the first gap
}

TEST_F(FaslBundleLoad, ANumberedCopyThatDoesNotFitTheBufferIsNotTaken) {
  writeDisk("sys/x.001", {1});
  std::string base = diskPath("sys/x.f");
  std::vector<char> path(base.begin(), base.end());
  path.push_back('\0');
  int found = 0;
  find_most_recent_version(path.data(), path.size(), &found);
  EXPECT_EQ(found, 0);
  EXPECT_EQ(std::string(path.data()), base);
}

TEST(NumberedCopies, APathWithoutADotEndsTheProcess) {
  char path[] = "/no/dot/here";
  int found = 0;
  EXPECT_EXIT(find_most_recent_version(path, sizeof path, &found), testing::ExitedWithCode(1),
              "bundfasl: internal error: cannot find dot: /no/dot/here\n");
}

}  // namespace
