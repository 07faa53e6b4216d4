// The built launcher and runtime libraries, loaded into one process the way a
// host loads them: one platform library serves both, and the launcher keeps
// its internals to itself.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <cstring>

namespace {

int loadedCopiesOf(const char* fileName) {
  struct Search {
    const char* fileName;
    int copies;
  } search{fileName, 0};
  dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* data) {
        auto* s = static_cast<Search*>(data);
        const char* slash = std::strrchr(info->dlpi_name, '/');
        const char* base = slash ? slash + 1 : info->dlpi_name;
        if (std::strcmp(base, s->fileName) == 0) ++s->copies;
        return 0;
      },
      &search);
  return search.copies;
}

TEST(SharedPlatform, LauncherAndRuntimeLoadBesideOnePlatformLibrary) {
  void* launcher = dlopen(LUNVARRA_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(launcher, nullptr) << dlerror();
  void* runtime = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(runtime, nullptr) << dlerror();
  EXPECT_EQ(loadedCopiesOf("libzv_platform.so"), 1);
  // The queue pairs and host record forms are the launcher's own.
  for (const char* name : {"_ZN7console19console_queue_pairsE",
                           "_ZN8launcher19console_host_recordE", "_ZN8launcher9read_hookEiPciPi"})
    EXPECT_EQ(dlsym(launcher, name), nullptr) << name;
  for (const char* name : {"StartLisp", "DllMain", "TlsAllocHighKey", "DllGetClassObject",
                           "DllRegisterServer", "DllUnregisterServer", "DllCanUnloadNow"})
    EXPECT_NE(dlsym(launcher, name), nullptr) << name;
  dlclose(runtime);
  dlclose(launcher);
}

}  // namespace
