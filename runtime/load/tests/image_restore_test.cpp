// Heap images through real files and child processes: a heap saved by one
// process comes back in another byte for byte (mapped and read), a heap whose
// place is taken moves, and every malformed image is refused by its message
// with status -1.
//
// Offsets into the file follow the image format: a 92-byte header (checksum
// at 20, Lisp heap descriptor at 24, native heap descriptor at 48, native heap
// contents' offset at 72), the area table at 92 (count, then 4096 entries of
// file offset, address and length), the native-variable block at 0xC060.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/gc/gc_data_record.h"
#include "testing/image_file_writer.h"
#include "testing/run_program.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ProgramRun;
using testing_support::runProgram;

constexpr int kImageFailure = 255;  // lisp_exit(-1)
constexpr uint32_t kChecksumField = 20;
constexpr uint32_t kLispHeapField = 24;
constexpr uint32_t kNativeOffsetField = 72;
constexpr uint32_t kTable = 92;
constexpr uint32_t kVariablesBlock = 0xC060;
constexpr uint32_t kVariablesBlockBytes = 3278;
constexpr uint32_t kGlobregInBlock = 878;  // places of two words in the block
constexpr uint32_t kNilInBlock = 2854;
constexpr uint32_t kCollectorRecordInBlock = 2862;

// The place of a collector variable in the collector's record.
uint32_t collectorWord(const char* name) {
  for (uint32_t i = 0; i < gc::kGcDataWords; ++i)
    if (gc::kGcDataWordsTable[i].name && std::strcmp(gc::kGcDataWordsTable[i].name, name) == 0)
      return i;
  ADD_FAILURE() << name;
  return 0;
}

using Bytes = std::vector<uint8_t>;

Bytes readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void writeFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}
uint32_t wordAt(const Bytes& bytes, uint32_t offset) {
  uint32_t value;
  std::memcpy(&value, &bytes[offset], 4);
  return value;
}
void setWord(Bytes& bytes, uint32_t offset, uint32_t value) {
  std::memcpy(&bytes[offset], &value, 4);
}
uint32_t entryField(uint32_t entry, uint32_t field) {
  return kTable + 4 + 12 * entry + 4 * field;
}

// The wrapping sum of the words from the native-variable block to the end.
uint32_t sumFromBlock(const Bytes& bytes) {
  uint32_t sum = 0;
  for (size_t i = kVariablesBlock; i + 4 <= bytes.size(); i += 4)
    sum += wordAt(bytes, static_cast<uint32_t>(i));
  return sum;
}

// The state lines a host prints (its heap set-up chatter left out).
std::string stateLines(const std::string& output) {
  std::istringstream in(output);
  std::string line, state;
  for (const char* prefix : {"area", "native ", "lisp heap", "nil ", "old areas", "markercar"}) {
    in.clear();
    in.seekg(0);
    while (std::getline(in, line))
      if (line.rfind(prefix, 0) == 0) state += line + "\n";
  }
  return state;
}

class ImageRestore : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    char pattern[] = "/tmp/image_restore_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    const ProgramRun run = runProgram(IMAGE_HOST_PATH, {"save", saved().string()}, {});
    ASSERT_EQ(run.exitStatus, 0) << run.standardOutput << run.standardError;
    savedState_ = stateLines(run.standardOutput);
    saveOutput_ = run.standardOutput;
    image_ = readFile(saved());
  }
  static void TearDownTestSuite() { fs::remove_all(root_); }

  static fs::path saved() { return root_ / "saved.vxi"; }

  // Restores `image` written to a file of its own; extra host options first.
  ProgramRun restore(const Bytes& image, const std::vector<std::string>& hostOptions = {},
                     const std::string& imageOption = "-I") {
    const fs::path path = root_ / "try.vxi";
    writeFile(path, image);
    std::vector<std::string> arguments = {"restore"};
    arguments.insert(arguments.end(), hostOptions.begin(), hostOptions.end());
    arguments.insert(arguments.end(), {"--", "prog", imageOption, path.string()});
    return runProgram(IMAGE_HOST_PATH, arguments);
  }
  static std::string refused(const std::string& message) {
    return message + "Could not restore the image file:\n    " + (root_ / "try.vxi").string() +
           ".\n";
  }

  static inline fs::path root_;
  static inline std::string savedState_;
  static inline std::string saveOutput_;  // the state and the jettisoned function's address
  static inline Bytes image_;
};

TEST_F(ImageRestore, ASavedHeapComesBackByteForByteMappedOrRead) {
  ASSERT_GE(wordAt(image_, kTable), 2u) << "old space and new space";
  for (const char* option : {"-I", "-Im"}) {
    SCOPED_TRACE(option);
    const ProgramRun run = restore(image_, {}, option);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(stateLines(run.standardOutput), savedState_);
    EXPECT_NE(run.standardOutput.find("slot word ours\n"), std::string::npos);
    EXPECT_NE(run.standardOutput.find("gc hooks nil\n"), std::string::npos);
    // Growth and packing align to the allocation granularity (64 KB), as in
    // the process that built the heap.
    EXPECT_NE(run.standardOutput.find("worst-case page 00010000\n"), std::string::npos)
        << run.standardOutput;
    // The stack here refuses to run code: the image is read and the pure
    // library would be mapped executable.
    EXPECT_NE(run.standardOutput.find("mapping forbidden 1 library executable 1\n"),
              std::string::npos);
    EXPECT_EQ(run.standardError, "");
  }
}

TEST_F(ImageRestore, TheFileLayoutFollowsTheFormat) {
  EXPECT_EQ(image_[0], 0x84);
  EXPECT_EQ(image_[1], 37);
  EXPECT_EQ(wordAt(image_, 4), kVariablesBlock);
  EXPECT_EQ(wordAt(image_, kChecksumField), 0u);
  for (uint32_t field : {76u, 80u, 84u, 88u}) EXPECT_EQ(wordAt(image_, field), 0u) << field;
  const uint32_t count = wordAt(image_, kTable);
  uint32_t nextFree = kVariablesBlock + kVariablesBlockBytes;
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t offset = wordAt(image_, entryField(i, 0));
    const uint32_t length = wordAt(image_, entryField(i, 2));
    if (length == 0) continue;
    EXPECT_EQ(offset % 0x10000, 0u);
    EXPECT_EQ(offset, (nextFree + 0xFFFF) & ~0xFFFFu) << "each area at the next 64 KB";
    nextFree = offset + length;
  }
  EXPECT_EQ(wordAt(image_, kNativeOffsetField), (nextFree + 0xFFFF) & ~0xFFFFu);
  for (uint32_t i = count; i < 4096; ++i)
    ASSERT_EQ(wordAt(image_, entryField(i, 2)) | wordAt(image_, entryField(i, 1)), 0u) << i;
}

// The value of `name` in a state line such as "nil 20000685 t ...", as hex.
// The name starts a line or follows a blank.
uint32_t field(const std::string& state, const std::string& name) {
  const std::string text = "\n" + state;
  size_t at = text.find("\n" + name + " ");
  if (at == std::string::npos) at = text.find(" " + name + " ");
  if (at == std::string::npos) return 0;
  return static_cast<uint32_t>(std::stoul(text.substr(at + name.size() + 2, 8), nullptr, 16));
}

// The saved state with every area moved by `offset`, as a moved heap shows it.
std::string movedAreas(const std::string& state, uint32_t offset) {
  std::istringstream in(state);
  std::string line, moved;
  while (std::getline(in, line)) {
    if (line.rfind("area ", 0) != 0) continue;
    char address[16];
    std::snprintf(address, sizeof address, "%08x",
                  static_cast<uint32_t>(std::stoul(line.substr(5, 8), nullptr, 16)) + offset);
    moved += "area " + std::string(address) + line.substr(13) + "\n";
  }
  return moved;
}

TEST_F(ImageRestore, AHeapWhosePlaceIsTakenMovesClearOfItsOldRange) {
  const uint32_t base = wordAt(image_, kLispHeapField);
  char address[16];
  std::snprintf(address, sizeof address, "%x", base);
  const ProgramRun run =
      restore(image_, {"--occupy", address, "10000", "--env", "VXM_STARTUP_DEBUG=1"});
  EXPECT_EQ(run.exitStatus, 0) << run.standardError << run.standardOutput;
  const std::string prefix = "lisp heap being relocated by ";
  const size_t at = run.standardError.find(prefix);
  ASSERT_NE(at, std::string::npos) << run.standardError;
  const uint32_t offset =
      static_cast<uint32_t>(std::stoll(run.standardError.substr(at + prefix.size())));
  const uint32_t reservedEnd = wordAt(image_, kLispHeapField + 16);
  const uint32_t desiredEnd = wordAt(image_, kLispHeapField + 12);
  const int64_t newBase = int64_t{base} + static_cast<int32_t>(offset);
  const int64_t oldEnd = std::max(reservedEnd, desiredEnd);
  EXPECT_TRUE(newBase >= oldEnd || newBase + (desiredEnd - base) <= base)
      << "moved to " << std::hex << newBase;
  // The restore goes on to the start of the Lisp with every slot moved.
  const std::string& out = run.standardOutput;
  EXPECT_NE(out.find("stale slots 0 invalid slots 0\n"), std::string::npos) << out;
  std::string areas;
  for (size_t from = 0; (from = out.find("area ", from)) != std::string::npos; from += 5)
    areas += out.substr(from, 14);
  std::string movedPlaces;
  const std::string moved = movedAreas(savedState_, offset);
  for (size_t from = 0; (from = moved.find("area ", from)) != std::string::npos; from += 5)
    movedPlaces += moved.substr(from, 14);
  EXPECT_EQ(areas, movedPlaces) << "the areas, at their new places";
  const uint32_t nil = field(savedState_, "nil") + offset;
  const uint32_t unbound = field(savedState_, "unbound") + offset;
  EXPECT_EQ(field(out, "nil"), nil);
  EXPECT_EQ(field(out, "t"), field(savedState_, "t") + offset);
  EXPECT_EQ(field(out, "unbound"), unbound);
  EXPECT_EQ(field(out, "markercar"), field(savedState_, "markercar") + offset)
      << "the unbound marker's name";
  EXPECT_EQ(field(out, "old areas"), field(savedState_, "old areas") + offset);
  EXPECT_EQ(field(out, "globreg"), nil - 0x15);
  EXPECT_EQ(field(out, "nilcar"), nil);
  EXPECT_EQ(field(out, "nilcdr"), nil);
  EXPECT_EQ(field(out, "markercdr"), nil);
  EXPECT_EQ(field(out, "basepage"), (field(savedState_, "old areas") + offset) >> 13);
}

// The thread machinery's globals (clock-queue header, thread structure type,
// reschedule request, start function, starting thread's slot-34 value) live
// in the globals table: the image carries them, and a moved heap moves the
// objects they name.
TEST_F(ImageRestore, TheThreadGlobalsComeBackWithTheImage) {
  const struct {
    const char* name;
    bool object;
  } globals[] = {
      {"clock", true}, {"type", true}, {"request", false}, {"start", true}, {"marker", false}};
  for (const auto& g : globals) ASSERT_NE(field(saveOutput_, g.name), 0u) << g.name;
  const ProgramRun inPlace = restore(image_);
  ASSERT_EQ(inPlace.exitStatus, 0) << inPlace.standardError;
  for (const auto& g : globals)
    EXPECT_EQ(field(inPlace.standardOutput, g.name), field(saveOutput_, g.name)) << g.name;

  char address[16];
  std::snprintf(address, sizeof address, "%x", wordAt(image_, kLispHeapField));
  const ProgramRun moved =
      restore(image_, {"--occupy", address, "10000", "--env", "VXM_STARTUP_DEBUG=1"});
  ASSERT_EQ(moved.exitStatus, 0) << moved.standardError;
  const std::string prefix = "lisp heap being relocated by ";
  const size_t at = moved.standardError.find(prefix);
  ASSERT_NE(at, std::string::npos) << moved.standardError;
  const auto offset =
      static_cast<uint32_t>(std::stoll(moved.standardError.substr(at + prefix.size())));
  for (const auto& g : globals)
    EXPECT_EQ(field(moved.standardOutput, g.name),
              field(saveOutput_, g.name) + (g.object ? offset : 0))
        << g.name;
}

TEST_F(ImageRestore, ANativeHeapWhosePlaceIsTakenIsRefused) {
  const uint32_t base = wordAt(image_, 48);
  char address[16];
  std::snprintf(address, sizeof address, "%x", base);
  const ProgramRun run = restore(image_, {"--occupy", address, "10000"});
  EXPECT_EQ(run.exitStatus, kImageFailure);
  const std::string moved = "C heap is being relocated by ";
  ASSERT_EQ(run.standardError.rfind(moved, 0), 0u) << run.standardError;
  const size_t lineEnd = run.standardError.find('\n');
  EXPECT_EQ(run.standardError.substr(lineEnd + 1),
            refused("C heap has to be relocated -- this isn't supported yet\n"));
}

// The image names its nil long before its heap is in place: a restore that
// fails in between leaves no Lisp, and an interrupt then is dropped instead
// of written into memory that was never mapped.
TEST_F(ImageRestore, AnInterruptAfterARestoreFailedBeforeItsHeapWasPlacedIsDropped) {
  const uint32_t base = wordAt(image_, 48);
  char address[16];
  std::snprintf(address, sizeof address, "%x", base);
  const ProgramRun run = restore(image_, {"--occupy", address, "10000", "--interrupt-at-exit"});
  EXPECT_EQ(run.exitStatus, kImageFailure) << run.standardOutput << run.standardError;
  EXPECT_NE(run.standardError.find("C heap has to be relocated"), std::string::npos)
      << run.standardError;
  EXPECT_NE(run.standardOutput.find("interrupt handled 0\nexit -1 "), std::string::npos)
      << run.standardOutput;
}

TEST_F(ImageRestore, ThroughTheRuntimeLibraryARestoreGoesOnToTheFirstLispThread) {
  // The saved heap holds no start function (global word -313): the first
  // Lisp thread finds nothing to run and ends with status -1.
  const ProgramRun mapped = runProgram(STARTUP_HOST_PATH, {"--", "prog", "-I", saved().string()});
  EXPECT_EQ(mapped.standardError, "");
  EXPECT_EQ(mapped.standardOutput, "");
  EXPECT_EQ(mapped.exitStatus, 255);

  const uint32_t lispBase = wordAt(image_, kLispHeapField);
  const uint32_t lispCommitted = (wordAt(image_, kLispHeapField + 4) + 0xFFFF) & ~0xFFFFu;
  const uint32_t lispEnd = wordAt(image_, kLispHeapField + 12);
  const uint32_t nativeBase = wordAt(image_, 48);
  const uint32_t nativeCommitted = (wordAt(image_, 52) + 0xFFFF) & ~0xFFFFu;
  const uint32_t nativeEnd = wordAt(image_, 48 + 12);
  char report[1024];
  std::snprintf(report, sizeof report,
                "Lisp Heap\n reserved: %d (0x%x) to %d (0x%x) desired,\n %d (0x%x) actual = %d "
                "bytes\n currently using %d bytes\n"
                "C Heap\n reserved %d: (0x%x) to %d (0x%x) desired,\n %d (0x%x) actual = %d "
                "bytes\n currently using %d bytes\n",
                lispBase, lispBase, lispEnd, lispEnd, lispEnd, lispEnd, lispEnd - lispBase,
                lispCommitted - lispBase, nativeBase, nativeBase, nativeEnd, nativeEnd, nativeEnd,
                nativeEnd, nativeEnd - nativeBase, nativeCommitted - nativeBase);
  const ProgramRun verbose =
      runProgram(STARTUP_HOST_PATH, {"--", "prog", "-!", "-Im", saved().string()});
  EXPECT_EQ(verbose.standardError, "Reading " + saved().string() +
                                       "\nSetting up C heap, Setting up Lisp heap.\n" + report);
  EXPECT_EQ(verbose.standardOutput, "");
}

// Ctrl+C in a restored Lisp: another thread sends the process SIGINT while
// the first Lisp thread runs inside its exception frame. The route start-up
// installs hands it to the runtime's filter, and the Lisp finds signal 2
// pending. Without the route the interrupt ends the process.
TEST_F(ImageRestore, AnInterruptFromAnotherThreadReachesTheRestoredLispAsSignal2) {
  const ProgramRun run = runProgram(
      IMAGE_HOST_PATH, {"restore", "--interrupt", "--", "prog", "-I", saved().string()});
  EXPECT_EQ(run.standardOutput, "interrupt pending as signal 2\n") << run.standardError;
  EXPECT_EQ(run.exitStatus, 0);
}

TEST_F(ImageRestore, AReservationCutShortByAMappingIsScaledBackAndStillLoads) {
  const uint32_t base = wordAt(image_, kLispHeapField);
  const uint32_t committedEnd = (wordAt(image_, kLispHeapField + 4) + 0xFFFF) & ~0xFFFFu;
  const uint32_t desiredEnd = wordAt(image_, kLispHeapField + 12);
  char address[16];
  std::snprintf(address, sizeof address, "%x", committedEnd + 0x100000);
  const ProgramRun run = restore(image_, {"--occupy", address, "10000"});
  ASSERT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_EQ(stateLines(run.standardOutput), savedState_);
  // The reservation shrinks in steps of 1 MB from the full size until it fits.
  uint32_t kept = desiredEnd - committedEnd;
  while (kept > 0x100000) kept -= 0x100000;
  char message[512];
  std::snprintf(message, sizeof message,
                "Temporarily scaling back lisp reserved region from %d to\n%d bytes. Scaling back "
                "is normal and is typically not a matter\nfor concern.  This message is printed "
                "for record only.\n",
                desiredEnd - base, committedEnd + kept - base);
  EXPECT_EQ(run.standardError, message);
}

TEST_F(ImageRestore, AHeapRestoredFromAnImageCanBeSavedOverThatImage) {
  // The file stays mapped while it is replaced: the old contents must stay
  // whole under the mapping, and the new file must hold the same heap.
  const ProgramRun again = restore(image_, {"--save-again"});
  ASSERT_EQ(again.exitStatus, 0) << again.standardError;
  EXPECT_EQ(again.standardOutput.rfind("saved again 0\n", 0), 0u) << again.standardOutput;
  EXPECT_EQ(stateLines(again.standardOutput), savedState_);

  const Bytes resaved = readFile(root_ / "try.vxi");
  const ProgramRun run = restore(resaved);
  ASSERT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_EQ(stateLines(run.standardOutput), savedState_);
}

// The host's hash of memory: FNV-1a over the bytes, the nil block left out.
uint64_t hostHash(uint32_t address, const Bytes& bytes, uint32_t nil) {
  uint64_t hash = 1469598103934665603ull;
  for (uint32_t i = 0; i < bytes.size(); ++i) {
    const uint32_t here = address + i;
    if (here >= nil - 0x580 && here < nil + 0x400) continue;
    hash = (hash ^ bytes[i]) * 1099511628211ull;
  }
  return hash;
}

std::string areaLine(const char* kind, uint32_t address, const Bytes& bytes, uint32_t nil) {
  char line[80];
  std::snprintf(line, sizeof line, "%s %08x %08x %016llx\n", kind, address,
                static_cast<uint32_t>(bytes.size()),
                static_cast<unsigned long long>(hostHash(address, bytes, nil)));
  return line;
}

TEST_F(ImageRestore, AnImageLaidOutFromTheFormatAloneRestoresAtItsAddresses) {
  // A heap away from the default addresses: a first area holding the nil
  // block, a gap, a second area of two blocks; a page of native heap.
  constexpr uint32_t kBase = 0x31000000, kNative = 0x5a000000;
  constexpr uint32_t kNil = kBase + 0x685, kUnbound = kBase + 0xa60 + 0x11;
  constexpr uint32_t kT = kBase + 0x30000 + 0x100 + 0x11;
  testing_support::ImageDescription d;
  d.lispHeap = {kBase, kBase + 0x58000, kBase + 0x60000, kBase + 0x1000000, kBase + 0x1000000};
  d.nativeHeap = {kNative, kNative + 0x1000, kNative + 0x10000, kNative + 0x200000,
                  kNative + 0x200000};
  Bytes first(0x10000), second(0x20000), native(0x1000);
  for (size_t i = 0; i < first.size(); ++i) first[i] = static_cast<uint8_t>(i * 13 + 5);
  for (size_t i = 0; i < second.size(); ++i) second[i] = static_cast<uint8_t>(i * 7 + 3);
  for (size_t i = 0; i < native.size(); ++i) native[i] = static_cast<uint8_t>(i ^ 0x5a);
  const uint32_t trampolines = kNil + 0x390;  // the word at nil - 0x1c1 names them
  std::memcpy(&first[kNil - 0x1c1 - kBase], &trampolines, 4);
  d.areas = {{kBase, first}, {kBase + 0x30000, second}};
  d.nativeContents = native;
  d.variables.assign(kVariablesBlockBytes, 0);
  const auto place = [&](uint32_t offset, uint32_t value) {
    std::memcpy(&d.variables[offset], &value, 4);
  };
  place(kGlobregInBlock, kNil - 0x15);
  place(2106, kUnbound);  // UnboundValue
  place(kNilInBlock, kNil);
  place(kNilInBlock + 4, kT);
  d.splash = {"picture", ""};
  const Bytes image = testing_support::buildImageFile(d);

  const std::string expected = areaLine("area", kBase, first, kNil) +
                               areaLine("area", kBase + 0x30000, second, kNil) +
                               areaLine("native", kNative, native, kNil);
  for (const char* option : {"-I", "-Im"}) {
    SCOPED_TRACE(option);
    const ProgramRun run = restore(image, {}, option);
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_EQ(run.standardOutput.substr(0, expected.size()), expected);
    EXPECT_NE(run.standardOutput.find("lisp heap 31000000 31058000\n"), std::string::npos);
    EXPECT_NE(run.standardOutput.find("slot word ours\n"), std::string::npos);
  }
}

TEST_F(ImageRestore, AnImageWithSplashBlocksLoadsTheSame) {
  Bytes withSplash = image_;
  const uint32_t first = kVariablesBlock + kVariablesBlockBytes;
  const std::string pictures = "first picture|second";
  std::memcpy(&withSplash[first], pictures.data(), pictures.size());
  setWord(withSplash, 76, first);
  setWord(withSplash, 80, first + 14);
  setWord(withSplash, 84, 14);
  setWord(withSplash, 88, 6);
  const ProgramRun run = restore(withSplash);
  ASSERT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_EQ(stateLines(run.standardOutput), savedState_);
}

struct Corruption {
  const char* name;
  void (*apply)(Bytes& image);
  const char* message;  // nullptr: the version message
};

// The index of the n-th entry with contents.
uint32_t withContents(const Bytes& image, uint32_t n) {
  for (uint32_t i = 0; i < wordAt(image, kTable); ++i)
    if (wordAt(image, entryField(i, 2)) != 0 && n-- == 0) return i;
  return 0;
}

uint32_t lastAreaEnd(const Bytes& image) {
  uint32_t end = 0;
  for (uint32_t i = 0; i < wordAt(image, kTable); ++i)
    if (wordAt(image, entryField(i, 2)) != 0)
      end = wordAt(image, entryField(i, 0)) + wordAt(image, entryField(i, 2));
  return end;
}

TEST_F(ImageRestore, EveryMalformedImageIsRefusedByItsMessage) {
  constexpr char kCorrupted[] = "The image file's header is corrupted\n";
  constexpr char kTruncated[] = "image file has been truncated\n";
  const Corruption cases[] = {
      {"bad magic", [](Bytes& b) { b[0] = 0x85; }, kCorrupted},
      {"cut inside the header", [](Bytes& b) { b.resize(60); }, kCorrupted},
      {"version 36", [](Bytes& b) { b[1] = 36; }, nullptr},
      {"flag 0", [](Bytes& b) { b[2] = 0; },
       "\n\nError: The lisp executable and image file differ\n"
       "as to the use of the international character set\n\n"},
      {"block offset moved", [](Bytes& b) { setWord(b, 4, 0xC064); }, kCorrupted},
      {"break above the committed end",
       [](Bytes& b) { setWord(b, kLispHeapField + 4, wordAt(b, kLispHeapField + 8) + 0x10000); },
       kCorrupted},
      {"unaligned heap base", [](Bytes& b) { setWord(b, 48, wordAt(b, 48) + 0x1000); }, kCorrupted},
      {"native contents offset 0 with a used native heap",
       [](Bytes& b) { setWord(b, kNativeOffsetField, 0); }, kCorrupted},
      {"count 4097", [](Bytes& b) { setWord(b, kTable, 4097); }, kCorrupted},
      {"misaligned area offset",
       [](Bytes& b) { setWord(b, entryField(0, 0), wordAt(b, entryField(0, 0)) + 0x1000); },
       kCorrupted},
      {"overlapping areas",
       [](Bytes& b) {
         setWord(b, entryField(withContents(b, 1), 1), wordAt(b, entryField(0, 1)) + 0x10000);
       },
       kCorrupted},
      {"area outside the heap",
       [](Bytes& b) {
         setWord(b, entryField(withContents(b, 1), 1), wordAt(b, kLispHeapField + 8));
       },
       kCorrupted},
      {"cut inside the area table", [](Bytes& b) { b.resize(kTable + 4 + 1000); },
       "Truncated image file\n"},
      {"area past the end", [](Bytes& b) { b.resize(lastAreaEnd(b) - 0x1000); }, kTruncated},
      {"cut inside the native heap", [](Bytes& b) { b.resize(b.size() - 0x1000); }, kTruncated},
      {"splash block past the end",
       [](Bytes& b) {
         setWord(b, 76, kVariablesBlock + kVariablesBlockBytes);
         setWord(b, 80, kVariablesBlock + kVariablesBlockBytes);
         setWord(b, 84, static_cast<uint32_t>(b.size()));
       },
       kTruncated},
      {"cut inside the native-variable block", [](Bytes& b) { b.resize(kVariablesBlock + 100); },
       kTruncated},
      {"wrong checksum", [](Bytes& b) { setWord(b, kChecksumField, sumFromBlock(b) + 1); },
       "Image checksum failed.\n"},
      {"native heap below the Lisp heap",
       [](Bytes& b) {
         for (uint32_t field = 48; field < 68; field += 4)
           setWord(b, field, wordAt(b, field) - 0x44000000);
       },
       "C heap (0x10000000) must be above lisp heap (0x20000000)\n"},
      {"nil block reaching below the heap",
       [](Bytes& b) {
         const uint32_t nil = wordAt(b, kLispHeapField) + 0x105;
         setWord(b, kVariablesBlock + kNilInBlock, nil);
         setWord(b, kVariablesBlock + kGlobregInBlock, nil - 0x15);
       },
       "Error restoring C data\n"},
      {"trampoline area outside the heap",
       [](Bytes& b) {
         const uint32_t word = wordAt(b, kVariablesBlock + kNilInBlock) - 0x1c1;
         setWord(b, wordAt(b, entryField(0, 0)) + word - wordAt(b, entryField(0, 1)), 0x10);
       },
       "Error restoring C data\n"},
      {"sysvector chain leaving the heap",
       [](Bytes& b) {
         setWord(b, kVariablesBlock + kCollectorRecordInBlock + 4 * collectorWord("GsSVC_head"),
                 0x10);
       },
       "Error restoring C data\n"},
      {"nil not in the saved heap",
       [](Bytes& b) { setWord(b, kVariablesBlock + kNilInBlock, 0x10); },
       "Error restoring C data\n"},
  };
  for (const Corruption& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = image_;
    c.apply(image);
    const ProgramRun run = restore(image);
    const std::string message = c.message ? c.message
                                          : "\nThe image file " + (root_ / "try.vxi").string() +
                                                " has version 36, we only accept version 37\n";
    EXPECT_EQ(run.standardError, refused(message));
    EXPECT_EQ(run.exitStatus, kImageFailure);
  }
}

TEST_F(ImageRestore, AChecksumIsTestedWhenItIsNotZero) {
  Bytes summed = image_;
  setWord(summed, kChecksumField, sumFromBlock(summed));
  const ProgramRun run = restore(summed);
  EXPECT_EQ(run.exitStatus, 0) << run.standardError;
  EXPECT_EQ(stateLines(run.standardOutput), savedState_);

  // A true sum of all ones is a sum like any other, not a read error. The
  // word changed lies in the padding after the native-variable block.
  Bytes allOnes = image_;
  const uint32_t padding = (kVariablesBlock + kVariablesBlockBytes + 3) & ~3u;
  setWord(allOnes, padding, 0xFFFFFFFF - sumFromBlock(allOnes));
  ASSERT_EQ(sumFromBlock(allOnes), 0xFFFFFFFFu);
  setWord(allOnes, kChecksumField, 0xFFFFFFFF);
  const ProgramRun ones = restore(allOnes);
  EXPECT_EQ(ones.exitStatus, 0) << ones.standardError;
  EXPECT_EQ(stateLines(ones.standardOutput), savedState_);
}

// The file offset of a heap address of the saved image (0: in no area).
uint32_t fileOffsetOf(const Bytes& image, uint32_t address) {
  for (uint32_t i = 0; i < wordAt(image, kTable); ++i) {
    const uint32_t start = wordAt(image, entryField(i, 1));
    if (address - start < wordAt(image, entryField(i, 2)))
      return wordAt(image, entryField(i, 0)) + (address - start);
  }
  return 0;
}

TEST_F(ImageRestore, JettisonedFunctionsStartAtTheRestoringLibrarysReloadEntry) {
  // The image as if the saving library had lain kMoved bytes higher: the
  // jettisoned function's start word and the function-fault entry slot
  // (nil+0x1f7), both library addresses, are that much higher.
  constexpr uint32_t kMoved = 0x10000;
  const uint32_t startWord = fileOffsetOf(image_, field(saveOutput_, "jettisoned function") + 4);
  const uint32_t entrySlot = fileOffsetOf(image_, field(savedState_, "nil") + 0x1f7);
  ASSERT_NE(startWord, 0u) << saveOutput_;
  ASSERT_NE(entrySlot, 0u);
  const struct {
    const char* name;
    bool slotMoved;
    const char* expected;
  } cases[] = {
      {"the library moved", true, "jettisoned 1 starting here 1\n"},
      {"the slot says it did not", false, "jettisoned 1 starting here 0\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes image = image_;
    setWord(image, startWord, wordAt(image, startWord) + kMoved);
    if (c.slotMoved) setWord(image, entrySlot, wordAt(image, entrySlot) + kMoved);
    setWord(image, kChecksumField, 0);
    const ProgramRun run = restore(image, {"--jettisoned"});
    ASSERT_EQ(run.exitStatus, 0) << run.standardError;
    EXPECT_NE(run.standardOutput.find(c.expected), std::string::npos) << run.standardOutput;
    if (c.slotMoved) {
      EXPECT_EQ(stateLines(run.standardOutput), savedState_);
    }
  }
  EXPECT_NE(restore(image_, {"--jettisoned"}).standardOutput.find("jettisoned 1 starting here 1\n"),
            std::string::npos)
      << "an image from this library as it is";
}

}  // namespace
