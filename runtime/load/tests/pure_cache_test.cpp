// The pure library's cache over test-made libraries: code vectors found
// while their bytes are read (each byte read from the file once), the first
// chunk of 508 bytes, candidates that share a hash and a long prefix,
// entries naming objects outside the library, misses that rebuild the exact
// bytes (swapped too), strings, and existing code vectors.
#include "runtime/load/pure_cache.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/thread_block.h"
#include "runtime/gc/gc_parameters.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/scavenger.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/symbol_name_hash.h"
#include "runtime/load/symbol_names.h"
#include "runtime/load/tests/loader_object_heap.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/object_routines.h"
#include "testing/pure_library_file.h"
#include "testing/temp_path.h"

namespace {

using namespace lisp::fasl;
using lisp::lispval;
using testing_support::libraryBytes;
using testing_support::LibraryContents;

// ---- a byte source that counts what is read ----

class CountingSource final : public ByteSource {
 public:
  explicit CountingSource(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)), inner_(bytes_) {}
  int next() override {
    ++reads;
    return inner_.next();
  }
  long tell() const override { return inner_.tell(); }
  void seek(long position) override { inner_.seek(position); }
  long length() const override { return inner_.length(); }
  uint32_t reads = 0;

 private:
  std::vector<uint8_t> bytes_;
  MemorySource inner_;
};

std::vector<uint8_t> pattern(size_t bytes, uint8_t seed) {
  std::vector<uint8_t> code(bytes);
  for (size_t i = 0; i < bytes; ++i) code[i] = static_cast<uint8_t>(seed + 31 * i + (i >> 8));
  return code;
}

class PureCache : public loader_test::LoaderObjectHeap {
 protected:
  void SetUp() override {
    LoaderObjectHeap::SetUp();
    forgetLibrary();
    host_os = 1;
    fasl_cache_hits = string_cache_hits = 0;
  }
  void TearDown() override {
    forgetLibrary();
    LoaderObjectHeap::TearDown();
  }
  static void forgetLibrary() {
    unmap_lso_file();
    lso_file[0] = '\0';
    lsoinit();
    vxm_timestamp = 0;
    vxm_lsoversion = 0;
  }

  void mapLibrary(const LibraryContents& contents) {
    const std::vector<uint8_t> bytes = libraryBytes(contents);
    const std::string path = testing_support::processTempPath("cache_test.vpl");
    std::FILE* file = std::fopen(path.c_str(), "wb");
    ASSERT_NE(file, nullptr);
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    std::fclose(file);
    std::strcpy(lso_file, path.c_str());
    ASSERT_EQ(map_lso_file(0x10000000), 0);
    ASSERT_NE(vxm_lso, 0u);
  }

  // The address of the library's i-th code object, in table order of the file.
  static uint32_t libraryCodeObject(uint32_t entryIndex) {
    return vxm_cvsh + gc_test::at(vxm_cvsh + 8 * entryIndex);
  }

  // Loads a code vector of these bytes, as the fasl loader does.
  lispval load(const std::vector<uint8_t>& code, uint32_t hash, bool pure = false,
               bool swap = false, ObjectMaker make = kMaker) {
    source_ = std::make_unique<CountingSource>(code);
    FaslReader reader(*source_);
    const lispval vector =
        cached_or_new_codevec(static_cast<uint32_t>(code.size()), hash, pure, reader, swap, make);
    EXPECT_EQ(source_->reads, code.size()) << "every byte read once";
    EXPECT_EQ(source_->tell(), static_cast<long>(code.size()));
    return vector;
  }

  static std::vector<uint8_t> codeOf(lispval vector) {
    const uint32_t units = (header(vector) >> 8) - 4;
    const uint32_t code = vector - 0x12 + 4;
    return {reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(code)),
            reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(code + 2 * units))};
  }
  static lispval libraryWord(uint32_t object) {
    return lisp::pointerWord(object, lisp::Tag::Other);
  }

  std::unique_ptr<CountingSource> source_;
};

TEST_F(PureCache, WithoutALibraryEveryCodeVectorIsNew) {
  const std::vector<uint8_t> code = pattern(6, 1);
  const lispval vector = load(code, 0x1234);
  ASSERT_EQ(made_.size(), 1u);
  EXPECT_EQ(vector, made_[0]);
  EXPECT_EQ(header(vector), (3u + 4) << 8 | 108);
  EXPECT_EQ(codeOf(vector), code);
  const std::u16string text = u"name";
  EXPECT_EQ(find_cached_string(reinterpret_cast<const uint16_t*>(text.data()), 4), nil());
  EXPECT_EQ(fasl_cache_hits, 0u);
}

TEST_F(PureCache, TheRuntimesConstructorDispatchServesAsTheMaker) {
  ASSERT_TRUE(platform::setThreadSlot(slot_, thread_));
  const std::vector<uint8_t> code = pattern(30, 13);
  const lispval plain = load(code, 0x21, false, false, new_lisp_obj);
  EXPECT_EQ(header(plain), (15u + 4) << 8 | 108);
  EXPECT_EQ(codeOf(plain), code);
  const lispval pure = load(code, 0x21, true, true, new_lisp_obj);
  EXPECT_EQ(header(pure), (15u + 4) << 8 | 99);
  std::vector<uint8_t> swapped = code;
  swapCodeUnits(swapped);
  EXPECT_EQ(codeOf(pure), swapped);
  EXPECT_EQ(lisp_recorder_log.count, 0u);
  EXPECT_TRUE(newSpaceWalksCleanly());
}

TEST_F(PureCache, AnEmptyCodeTableMisses) {
  mapLibrary({.strings = {u"x"}});
  const std::vector<uint8_t> code = pattern(40, 2);
  EXPECT_EQ(codeOf(load(code, 0x77)), code);
  EXPECT_EQ(made_.size(), 1u);
}

TEST_F(PureCache, CandidatesSharingAHashAndTheirFirst512BytesAreToldApart) {
  std::vector<uint8_t> first = pattern(1200, 3);
  std::vector<uint8_t> second = first;
  second[1000] ^= 0xff;
  std::vector<uint8_t> third = first;
  third[1100] ^= 0x0f;
  mapLibrary({.code = {{0x500, first}, {0x500, second}, {0x4ff, pattern(1200, 9)}}});

  EXPECT_EQ(load(second, 0x500), libraryWord(libraryCodeObject(2)));
  EXPECT_EQ(load(first, 0x500), libraryWord(libraryCodeObject(1)));
  EXPECT_EQ(fasl_cache_hits, 2u);
  EXPECT_TRUE(made_.empty()) << "a hit makes no object";

  // Equal to both for 1100 bytes: a miss, rebuilt from the matched library
  // bytes, the buffered chunk and the rest of the file.
  const lispval made = load(third, 0x500);
  ASSERT_EQ(made_.size(), 1u);
  EXPECT_EQ(made, made_[0]);
  EXPECT_EQ(codeOf(made), third);
  EXPECT_GT(faslmatchl, 512u) << "bytes were matched before the difference";
}

TEST_F(PureCache, A508ByteCodeVectorIsComparedInOneChunk) {
  const std::vector<uint8_t> one = pattern(508, 4);
  const std::vector<uint8_t> two = pattern(510, 5);
  mapLibrary({.code = {{0x900, one}, {0x901, two}}});
  EXPECT_EQ(load(one, 0x900), libraryWord(libraryCodeObject(0)));
  EXPECT_EQ(faslmatchl, 512u);
  EXPECT_EQ(load(two, 0x901), libraryWord(libraryCodeObject(1)));
  EXPECT_EQ(faslmatchl, 514u) << "a second chunk of 2 bytes";
}

TEST_F(PureCache, TheHeaderWordDecidesLengthAndKind) {
  const std::vector<uint8_t> code = pattern(64, 6);
  std::vector<uint8_t> longer = code;
  longer.resize(66, 0xee);  // the library's extra bytes, as if they were code
  mapLibrary({.code = {{0x42, code, true}}});
  EXPECT_EQ(load(code, 0x42, true), libraryWord(libraryCodeObject(0)));
  EXPECT_EQ(codeOf(load(code, 0x42, false)), code) << "type 108 is not the pure kind";
  const lispval pure = load(longer, 0x42, true);
  EXPECT_EQ(header(pure) & 0xff, 99u);
  EXPECT_EQ(codeOf(pure), longer);
  EXPECT_EQ(made_.size(), 2u);
}

TEST_F(PureCache, ASwappedFileMakesItsOwnSwappedCode) {
  const std::vector<uint8_t> code = pattern(20, 7);
  mapLibrary({.code = {{0x88, code}}});
  const lispval vector = load(code, 0x88, false, true);
  ASSERT_EQ(made_.size(), 1u);
  std::vector<uint8_t> swapped = code;
  swapCodeUnits(swapped);
  EXPECT_EQ(codeOf(vector), swapped);
}

TEST_F(PureCache, EntriesNamingObjectsOutsideTheLibraryAreSkipped) {
  const std::vector<uint8_t> code = pattern(32, 8);
  mapLibrary({.code = {{0x300, code}},
              .badCode = {{0x300, 0x7ffffff0}, {0x300, 0xfffff000}, {0x2ff, 0x10000}}});
  // The bad entries come first in the table; the good one is still found.
  EXPECT_EQ(load(code, 0x300), libraryWord(libraryCodeObject(3)));
  EXPECT_EQ(codeOf(load(pattern(32, 9), 0x2ff)), pattern(32, 9));
}

TEST_F(PureCache, StringsAreFoundByHashLengthAndCharacters) {
  mapLibrary({.code = {{0x10, pattern(8, 1)}}, .strings = {u"CAR", u"", u"CDR", u"car"}});
  const auto find = [](const std::u16string& text) {
    return find_cached_string(reinterpret_cast<const uint16_t*>(text.data()),
                              static_cast<uint32_t>(text.size()));
  };
  const lispval car = find(u"CAR");
  ASSERT_NE(car, nil());
  EXPECT_EQ(charactersOf(car), u"CAR");
  EXPECT_EQ(charactersOf(find(u"car")), u"car") << "the same hash, other characters";
  EXPECT_NE(find(u""), nil()) << "the library has an empty string";
  EXPECT_EQ(find(u"CA"), nil());
  EXPECT_EQ(find(u"CONS"), nil());
  EXPECT_EQ(string_cache_hits, 3u);

  // buftostr takes the library's string, converted first, and makes nothing.
  const std::string bytes = "car";
  const DecodedString name =
      buftostr(reinterpret_cast<const uint8_t*>(bytes.data()), 3, 1, true, kToUpperCase, kMaker);
  EXPECT_EQ(name.string, car);
  EXPECT_TRUE(made_.empty());
  // Without the cache flag, or for an 8-bit string, a new one is made.
  buftostr(reinterpret_cast<const uint8_t*>(bytes.data()), 3, 1, false, kToUpperCase, kMaker);
  buftostr(reinterpret_cast<const uint8_t*>(bytes.data()), 3, 0, true, kToUpperCase, kMaker);
  EXPECT_EQ(made_.size(), 2u);
}

TEST_F(PureCache, AnEmptyStringIsFoundOnlyWhenTheLibraryHasOne) {
  mapLibrary({.code = {{0x10, pattern(8, 1)}}, .strings = {u"X"}});
  EXPECT_EQ(find_cached_string(nullptr, 0), nil());
}

TEST_F(PureCache, ExistingCodeVectorsFindTheirLibraryTwin) {
  const std::vector<uint8_t> code = pattern(100, 10);
  mapLibrary({.code = {{0x1, pattern(100, 11)}, {0xabcdef, code}}});
  const std::vector<uint8_t> file = code;
  lispval heapVector = load(file, 0x5);  // another hash: a new heap object
  ASSERT_EQ(made_.size(), 1u);
  EXPECT_EQ(find_cached_codevec(heapVector), libraryWord(libraryCodeObject(1)));
  lispval other = load(pattern(100, 12), 0x5);
  EXPECT_EQ(find_cached_codevec(other), nil());
  EXPECT_EQ(find_cached_codevec(nil()), nil());
  EXPECT_EQ(find_cached_codevec(lisp::makeFixnum(5)), nil());
}

// ---- a load nested in the allocation of a code vector ----

// Making the outer load's vector collects (the native loader's constructor,
// new_lisp_obj, with new space used up, on the thread the registry made for
// the calling thread); the after-collection function, a Lisp function called
// through the bridge the registry's set-up installs, loads a code vector the
// library holds. That inner hit sets the match words anew.
constexpr int32_t kGcAfterFunction = -0x15 - 4 * 36;

std::vector<uint8_t> g_innerCode;
uint32_t g_innerHash = 0;
lispval g_innerResult = 0;
uint32_t g_innerLoads = 0;

__attribute__((force_align_arg_pointer)) void loadInsideTheCollection() {
  ++g_innerLoads;
  MemorySource source(g_innerCode);
  FaslReader reader(source);
  g_innerResult = cached_or_new_codevec(static_cast<uint32_t>(g_innerCode.size()), g_innerHash,
                                        false, reader, false, new_lisp_obj);
}

lispval makeAfterUsingUpNewSpace(uint32_t type, uint32_t count, uint32_t extra) {
  namespace nbg = lisp::nil_block::global;
  gc::globalWord(nbg::kConsFill) = gc::globalWord(nbg::kConsLimit);
  GsNewHidden += gc::globalWord(gc::global::kNewFree);
  gc::globalWord(gc::global::kNewFree) = 0;
  return new_lisp_obj(type, count, extra);
}

class NestedLoad : public PureCache {
 protected:
  void SetUp() override {
    PureCache::SetUp();
    lisp::registry::forgetRegistry();
    initialize_thread_registry(0);
    ASSERT_TRUE(platform::setThreadSlot(slot_, first_thread));
    savedFlags_ = GsCtlFlags;
    g_innerLoads = 0;
    g_innerResult = nil();
  }
  void TearDown() override {
    lisp_recorder_observer = nullptr;
    GsCtlFlags = savedFlags_;
    global(kGcAfterFunction) = nil();
    lisp::registry::forgetRegistry();
    platform::setThreadSlot(slot_, thread_);
    PureCache::TearDown();
  }
  uint32_t savedFlags_ = 0;
};

TEST_F(NestedLoad, AnInnerLoadDuringTheOuterAllocationLeavesTheOuterBytesAlone) {
  g_innerCode = pattern(1200, 21);
  g_innerHash = 0x700;
  mapLibrary({.code = {{g_innerHash, g_innerCode}}});
  global(kGcAfterFunction) = objects_->makeFunction(testing_support::observingRecorderAddress());
  GsCtlFlags |= gc::flag::kAfterGcHook;
  lisp_recorder_observer = loadInsideTheCollection;
  const uint32_t scavenges = ScavengeCt;

  const std::vector<uint8_t> outer = pattern(40, 22);  // not in the library
  const lispval vector = load(outer, 0x701, false, false, makeAfterUsingUpNewSpace);

  EXPECT_GT(ScavengeCt, scavenges) << "making the outer vector collected";
  ASSERT_EQ(g_innerLoads, 1u) << "the after-collection function ran the inner load";
  EXPECT_EQ(g_innerResult, libraryWord(libraryCodeObject(0))) << "the inner load hit";
  EXPECT_EQ(header(vector), (20u + 4) << 8 | 108);
  EXPECT_EQ(codeOf(vector), outer);
  EXPECT_TRUE(newSpaceWalksCleanly());
}

// Loads planned inside the collections of the outer load: each one's
// allocation collects again when a further load is planned, so that load
// runs inside it in turn.
struct PlannedLoad {
  std::vector<uint8_t> code;
  uint32_t hash;
  lispval result = 0;
};
std::vector<PlannedLoad> g_plan;
size_t g_nextPlanned = 0;

__attribute__((force_align_arg_pointer)) void loadPlannedInsideTheCollection() {
  if (g_nextPlanned >= g_plan.size()) return;
  PlannedLoad& load = g_plan[g_nextPlanned++];
  const bool nests = g_nextPlanned < g_plan.size();
  MemorySource source(load.code);
  FaslReader reader(source);
  load.result = cached_or_new_codevec(static_cast<uint32_t>(load.code.size()), load.hash, false,
                                      reader, false,
                                      nests ? makeAfterUsingUpNewSpace : new_lisp_obj);
}

// `code` with every byte from `from` on changed: a vector that shares its
// header and first bytes with the library's, then differs.
std::vector<uint8_t> divergingFrom(std::vector<uint8_t> code, size_t from) {
  for (size_t i = from; i < code.size(); ++i) code[i] ^= 0x3c;
  return code;
}

TEST_F(NestedLoad, InnerLoadsThatHitMissOrNestLeaveEveryLoadItsOwnBytes) {
  const std::vector<uint8_t> first = pattern(1000, 31), second = pattern(1200, 32);
  constexpr uint32_t kFirstHash = 0x800, kSecondHash = 0x801;
  mapLibrary({.code = {{kFirstHash, first}, {kSecondHash, second}}});
  global(kGcAfterFunction) = objects_->makeFunction(testing_support::observingRecorderAddress());
  GsCtlFlags |= gc::flag::kAfterGcHook;
  lisp_recorder_observer = loadPlannedInsideTheCollection;
  // The outer load matches the first 600 bytes of the first library vector,
  // so its match state names library bytes when it makes its vector.
  const std::vector<uint8_t> outer = divergingFrom(first, 600);
  const PlannedLoad hitSecond{second, kSecondHash}, hitFirst{first, kFirstHash};
  const PlannedLoad missSecond{divergingFrom(second, 520), kSecondHash};
  const PlannedLoad missFirst{divergingFrom(first, 900), kFirstHash};
  struct Case {
    const char* what;
    std::vector<PlannedLoad> plan;
  };
  const Case cases[] = {
      {"an inner hit", {hitSecond}},
      {"an inner miss after a prefix of its own", {missSecond}},
      {"an inner miss whose allocation runs a hit", {missSecond, hitFirst}},
      {"an inner miss whose allocation runs a miss", {missSecond, missFirst}},
      {"three deep", {missSecond, missFirst, hitSecond}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    g_plan = c.plan;
    g_nextPlanned = 0;
    const uint32_t hits = fasl_cache_hits;
    const lispval vector = load(outer, kFirstHash, false, false, makeAfterUsingUpNewSpace);
    EXPECT_EQ(g_nextPlanned, c.plan.size()) << "every planned load ran";
    EXPECT_EQ(header(vector), (500u + 4) << 8 | 108);
    EXPECT_EQ(codeOf(vector), outer);
    uint32_t plannedHits = 0;
    for (const PlannedLoad& load : g_plan) {
      const bool hit = load.code == first || load.code == second;
      plannedHits += hit ? 1 : 0;
      if (hit)
        EXPECT_EQ(load.result, libraryWord(libraryCodeObject(load.code == first ? 0 : 1)));
      else
        EXPECT_EQ(codeOf(load.result), load.code);
    }
    EXPECT_EQ(fasl_cache_hits - hits, plannedHits);
    EXPECT_TRUE(newSpaceWalksCleanly());
  }
  g_plan.clear();
}

TEST(PureHashSearch, StartOfTheScan) {
  // Hashes 5, 9, 9, 12, then the end entry.
  const uint32_t table[] = {8, 5, 16, 9, 24, 9, 32, 12, 0, 0};
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(table));
  const uint32_t end = base + sizeof table;
  EXPECT_EQ(bsearch_pure_hash(base, end, 9), base + 8);
  EXPECT_EQ(bsearch_pure_hash(base, end, 12), base + 24);
  EXPECT_EQ(bsearch_pure_hash(base, end, 4), base);
  EXPECT_EQ(bsearch_pure_hash(base, end, 99), base + 32) << "the end entry";
  EXPECT_EQ(bsearch_pure_hash(base, end, 2), base) << "small hashes scan from the start";
  EXPECT_EQ(bsearch_pure_hash(base, base + 8, 9), base) << "an empty table";
}

}  // namespace
