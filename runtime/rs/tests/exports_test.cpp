// The shared library exports exactly the names it should.
#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

TEST(KorvaneExports, PublishedWordsAreExportedAndInternalsAreNot) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"nilval", "tval", "UnboundValue", "free_heaps", "lisp_free_heap",
                           "malloccnt", "mallocbrk", "malloctrace"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name : {"find_lisp_thread_handle", "thread_clink"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name : {"setupglobs", "restoreglobs", "link_runtime_entries", "globreg", "globs",
                           "rs_error", "lisp_tls_index", "nil_block_prepare", "vxm_sbrk",
                           "vxmmalloc", "heap_sbrk_aligned", "nextf"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
}

}  // namespace
