// The callback wrappers, stubs and build identification, called through the
// built library as Lisp code and the system call them.

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

extern "C" uint32_t call_callee_pops(void* procedure, uint32_t a, uint32_t b, uint32_t c,
                                     uint32_t d, int32_t* popped);

namespace {

class Korvane : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    library_ = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
  }
  template <class T>
  static T* find(const char* name) {
    void* address = dlsym(library_, name);
    EXPECT_NE(address, nullptr) << name;
    return reinterpret_cast<T*>(address);
  }
  static inline void* library_ = nullptr;
};

// What the Lisp function behind a handle received.
struct HandleCall {
  uint32_t arguments[4];
  int calls;
};
HandleCall handle_call;
uint32_t* result_word = nullptr;  // where the running handle stores its answer
constexpr uint32_t kStoredAnswer = 0x5157;
constexpr uint32_t kReturnedAnswer = 0x7ACE;

uint32_t recordingHandle(uint32_t a, uint32_t b, uint32_t c, uint32_t d) {
  handle_call = {{a, b, c, d}, handle_call.calls + 1};
  if (result_word) *result_word = kStoredAnswer;
  return kReturnedAnswer;
}

TEST_F(Korvane, EachWrapperCallsItsHandleAndPopsItsArguments) {
  struct Row {
    const char* wrapper;
    const char* handle;
    const char* result;  // null: the handle's own answer comes back
  };
  const Row rows[] = {
      {"WProcWrapper1", "WProcHandle1", "WProcResult1"},
      {"WProcWrapper2", "WProcHandle2", "WProcResult2"},
      {"WProcWrapper3", "WProcHandle3", nullptr},
      {"WFontWrapper1", "WFontHandle1", "WFontResult1"},
      {"WFontWrapper2", "WFontHandle2", "WFontResult2"},
      {"WFontWrapper3", "WFontHandle3", "WFontResult3"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.wrapper);
    uint32_t* handle = find<uint32_t>(row.handle);
    result_word = row.result ? find<uint32_t>(row.result) : nullptr;
    ASSERT_NE(handle, nullptr);
    *handle = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(recordingHandle));
    if (result_word) *result_word = 0;
    handle_call = {};
    int32_t popped = -1;
    const uint32_t answer =
        call_callee_pops(find<void>(row.wrapper), 0x11, 0x22, 0x33, 0x44, &popped);
    EXPECT_EQ(popped, 16);
    EXPECT_EQ(handle_call.calls, 1);
    EXPECT_EQ(handle_call.arguments[0], 0x11u);
    EXPECT_EQ(handle_call.arguments[1], 0x22u);
    EXPECT_EQ(handle_call.arguments[2], 0x33u);
    EXPECT_EQ(handle_call.arguments[3], 0x44u);
    EXPECT_EQ(answer, row.result ? kStoredAnswer : kReturnedAnswer);
    *handle = 0;
  }
}

TEST_F(Korvane, AnUnfilledHandleCallsNothing) {
  handle_call = {};
  int32_t popped = -1;
  *find<uint32_t>("WProcHandle3") = 0;
  EXPECT_EQ(call_callee_pops(find<void>("WProcWrapper3"), 1, 2, 3, 4, &popped), 0u);
  EXPECT_EQ(popped, 16);
  *find<uint32_t>("WFontHandle2") = 0;
  *find<uint32_t>("WFontResult2") = 9;
  EXPECT_EQ(call_callee_pops(find<void>("WFontWrapper2"), 1, 2, 3, 4, &popped), 9u);
  EXPECT_EQ(handle_call.calls, 0);
}

TEST_F(Korvane, DummyEntryAddsItsSevenArgumentsAfterItsSleep) {
  auto* dummy = find<int32_t(int32_t, int32_t, int32_t, int32_t, int32_t, int32_t, int32_t)>(
      "vxm_dummy_entry");
  EXPECT_EQ(dummy(2, 0, 1, 1, 1, 1, 1), 7);
  EXPECT_EQ(dummy(0, 0, -5, 10, 0, 0, 2), 7);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(dummy(1, 50, 0, 0, 0, 0, 0), 51);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST_F(Korvane, BuildIdentificationAndStubs) {
  EXPECT_EQ(find<int32_t()>("VXM_ID_lisp_build")(), 593);
  for (const char* name : {"VXMID_lisp_build_593", "blartfcn", "vxm_sleep5"})
    EXPECT_NE(dlsym(library_, name), nullptr) << name;
  find<void()>("VXMID_lisp_build_593")();
  find<void()>("blartfcn")();
  EXPECT_EQ(find<int32_t()>("vxm_ret0")(), 0);
}

TEST_F(Korvane, SessionsAndDialogTemplatesFailAsTheSystemWould) {
  EXPECT_EQ(find<int32_t()>("vxm_exitwindows_emu")(), 0);
  using Dialog = int32_t(uint32_t, const void*, uint32_t, uint32_t);
  const char16_t name[] = u"Settings";
  EXPECT_EQ(find<Dialog>("vxm_dialogboxindirect_emu")(0, "", 0, 0), -1);
  EXPECT_EQ(find<Dialog>("vxm_dialogbox_emu")(0, "Settings", 0, 0), -1);
  EXPECT_EQ(find<Dialog>("vxm_createdialogindirect_emu")(0, "", 0, 0), 0);
  EXPECT_EQ(find<Dialog>("vxm_createdialog_emu")(0, name, 0, 0), 0);
  EXPECT_EQ(find<Dialog>("vxm_createdialog_emu")(0, reinterpret_cast<const void*>(101), 0, 0), 0);
}

TEST_F(Korvane, CurrentTimeFollowsTheMonotonicClock) {
  auto* now = find<uint32_t()>("vxm_getcurrenttime_emu");
  const uint32_t before = now();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const uint32_t elapsed = now() - before;  // modulo 2^32, as callers compute it
  EXPECT_GE(elapsed, 100u);
  EXPECT_LT(elapsed, 2000u);
}

}  // namespace
