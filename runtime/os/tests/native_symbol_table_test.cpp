// The native symbol table as the build fills it into a library of the
// runtime's objects: every entry's address agrees with the dynamic linker and
// with the library's own symbols, entries ascend, and a table is given back.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace {

const std::string kProbe = NATIVE_SYMBOL_PROBE_PATH;

struct LoadedEntry {
  uint32_t address;
  const char* name;
};

class NativeSymbolTable : public ::testing::Test {
 protected:
  void SetUp() override {
    library_ = dlopen(kProbe.c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    setName_ = reinterpret_cast<void (*)(const char*)>(dlsym(library_, "probe_set_library_name"));
    load_ = reinterpret_cast<uint32_t* (*)(uint32_t*)>(dlsym(library_, "get_c_symbol_table"));
    ASSERT_NE(setName_, nullptr);
    ASSERT_NE(load_, nullptr);
  }
  void TearDown() override {
    if (library_) dlclose(library_);
  }

  // Name -> address of the loaded table's entries.
  static std::map<std::string, uint32_t> entriesOf(const uint32_t* table) {
    std::map<std::string, uint32_t> byName;
    const auto* entries = reinterpret_cast<const LoadedEntry*>(table + 1);
    for (uint32_t i = 0; i < *table; ++i) byName.emplace(entries[i].name, entries[i].address);
    return byName;
  }

  // The library's own symbols with their addresses once loaded.
  std::map<std::string, uint32_t> symbolsByNm() {
    Dl_info info;
    EXPECT_NE(dladdr(reinterpret_cast<void*>(load_), &info), 0);
    const auto base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.dli_fbase));
    std::map<std::string, uint32_t> symbols;
    FILE* nm = popen(("nm --defined-only " + kProbe).c_str(), "r");
    char line[1024];
    while (nm && std::fgets(line, sizeof line, nm)) {
      unsigned value;
      char kind;
      char name[900];
      if (std::sscanf(line, "%x %c %899s", &value, &kind, name) == 3) symbols[name] = base + value;
    }
    if (nm) pclose(nm);
    return symbols;
  }

  void* library_ = nullptr;
  void (*setName_)(const char*) = nullptr;
  uint32_t* (*load_)(uint32_t*) = nullptr;
};

TEST_F(NativeSymbolTable, EntriesGiveTheLoadedAddressesInOrder) {
  setName_(kProbe.c_str());
  uint32_t* table = load_(nullptr);
  ASSERT_NE(table, nullptr);
  ASSERT_GT(*table, 100u);
  const auto* entries = reinterpret_cast<const LoadedEntry*>(table + 1);
  for (uint32_t i = 1; i < *table; ++i) ASSERT_LE(entries[i - 1].address, entries[i].address) << i;

  const std::map<std::string, uint32_t> byName = entriesOf(table);
  EXPECT_EQ(byName.at("_get_c_symbol_table"),
            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(load_)));
  // Exported names agree with the dynamic linker (names it finds in this
  // library; a system name listed for a renamed function is found elsewhere).
  Dl_info own;
  ASSERT_NE(dladdr(reinterpret_cast<void*>(load_), &own), 0);
  int exported = 0;
  for (const auto& [name, address] : byName) {
    if (name[0] != '_' || name.compare(0, 2, "_Z") == 0) continue;
    void* found = dlsym(library_, name.c_str() + 1);
    Dl_info where;
    if (found && dladdr(found, &where) && where.dli_fbase == own.dli_fbase) {
      EXPECT_EQ(address, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(found))) << name;
      ++exported;
    }
  }
  EXPECT_GT(exported, 20);
  // Hidden names, and names listed under the system's name, agree with the
  // library's own symbols.
  const std::map<std::string, uint32_t> symbols = symbolsByNm();
  for (const auto& [listed, own] : {std::pair{"_vxmprintf", "vxmprintf"},
                                   std::pair{"_errno", "lisp_errno"},
                                   std::pair{"_ftruncate", "fio_ftruncate"},
                                   std::pair{"_copysign", "rs_copysign"},
                                   std::pair{"_dlopen", "lisp_dlopen"},
                                   std::pair{"_sleep", "lisp_sleep"},
                                   std::pair{"_fcntl", "lisp_fcntl"}}) {
    ASSERT_EQ(byName.count(listed), 1u) << listed;
    EXPECT_EQ(byName.at(listed), symbols.at(own)) << listed;
  }
  // Callee-pops functions are listed with their argument bytes.
  for (const char* wrapper : {"WProcWrapper1", "WProcWrapper2", "WProcWrapper3", "WFontWrapper1",
                              "WFontWrapper2", "WFontWrapper3"}) {
    const std::string listed = std::string("_") + wrapper + "@16";
    ASSERT_EQ(byName.count(listed), 1u) << listed;
    EXPECT_EQ(byName.count(std::string("_") + wrapper), 0u) << wrapper;
    EXPECT_EQ(byName.at(listed),
              static_cast<uint32_t>(reinterpret_cast<uintptr_t>(dlsym(library_, wrapper))));
  }
  // Given back, the table is freed.
  EXPECT_EQ(load_(table), nullptr);
}

TEST_F(NativeSymbolTable, NothingWhenTheNamedLibraryIsNotThisOne) {
  for (const char* name : {static_cast<const char*>(nullptr), "libnot-loaded-here.so", "libm.so.6"}) {
    SCOPED_TRACE(name ? name : "null");
    setName_(name);
    EXPECT_EQ(load_(nullptr), nullptr);
  }
}

}  // namespace
