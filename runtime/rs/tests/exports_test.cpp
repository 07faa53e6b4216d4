// The shared library exports exactly the names it should.
#include <dlfcn.h>
#include <gtest/gtest.h>

namespace {

TEST(KorvaneExports, PublishedWordsAreExportedAndInternalsAreNot) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"nilval", "tval", "UnboundValue", "lisp_errno", "free_heaps",
                           "lisp_free_heap", "get_mem_info", "malloccnt", "mallocbrk", "malloctrace"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name :
       {"find_lisp_thread_handle", "thread_clink", "set_my_thread_watch_pointers", "signal_lisp",
        "vxm_thread_exit"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name : {"setupglobs", "restoreglobs", "link_runtime_entries", "globreg", "globs",
                           "rs_error", "lisp_tls_index", "nil_block_prepare", "vxm_sbrk",
                           "vxmmalloc", "heap_sbrk_aligned", "nextf", "allocate_threadctl",
                           "vxm_thread_control", "mp_log_event", "lisp_exception_filter",
                           "fake_a_segv", "real_signal", "setupstack_xhandler", "end_lisp_thread",
                           "acquire_heap_around_lisp_call"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
}

TEST(KorvaneExports, ThePrinterLimitsAndHooksAreExportedWithTheirDefaults) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  EXPECT_NE(dlsym(library, "lisp_output_list"), nullptr);
  const struct {
    const char* name;
    int expected;
  } words[] = {{"lisp_print_level", 5},
               {"lisp_print_length", 10},
               {"lisp_demangle_hook", 0},
               {"lisp_demangle_deallocate_hook", 0},
               {"lisp_demangled", 0}};
  for (const auto& word : words) {
    const auto* address = static_cast<const int*>(dlsym(library, word.name));
    ASSERT_NE(address, nullptr) << word.name;
    EXPECT_EQ(*address, word.expected) << word.name;
  }
  for (const char* name : {"lisp_output_object_aux", "lisp_zo", "lisp_frame_cache"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
}

TEST(KorvaneExports, ExternalSlotManagersAreExported) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"register_external_slot_manager", "unregister_external_slot_manager"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  for (const char* name : {"scan_external_slots", "external_slot_managers", "add_lispstatic"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
}

TEST(KorvaneExports, TheDescriptorOperationsAndTheLaunchersCallbacksAreExported) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name :
       {"allocate_pseudofd", "pseudofd_to_fd", "fd_to_pseudofd", "pseudofd_kind", "win_read",
        "win_write", "win_close", "win_no_hang", "win_watchfor", "win_waitsigio", "win_timersig",
        "vxm_event_watch", "vxm_event_always_signalled", "vxm_process_single_event",
        "vxm_message_peek_loop", "process_pending_events", "wake_lisp_thread", "vxm_mp_setfocus",
        "vxm_mp_sendmessage", "vxm_mp_getmessage", "setup_redir", "remote_command",
        "remote_command_event", "get_c_symbol_table", "get_vxm_dll_version"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  EXPECT_EQ(dlsym(library, "fd_socket_events"), nullptr);
  dlclose(library);
}

TEST(KorvaneExports, TheFileStreamCallsAreExportedAndTruncationUnderItsOwnName) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"cl_read", "cl_write", "cl_select_read", "cl_select_write", "cl_no_hang",
                           "cl_seek64", "cl_ftruncate64", "fio_ftruncate"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  // ftruncate is the C library's; the runtime's must not stand in for it.
  EXPECT_NE(dlsym(library, "ftruncate"), dlsym(library, "fio_ftruncate"));
  for (const char* name : {"cl_open", "cl_error", "canonfilename", "strbuf", "mystat", "pwfd0"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  dlclose(library);
}

TEST(KorvaneExports, TheSystemServicesExportTheirNamesAndNoneOfTheCLibrarys) {
  void* library = dlopen(KORVANE_PATH, RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(library, nullptr) << dlerror();
  for (const char* name : {"win_err_to_errno", "get_user_name", "memory_status_dump",
                           "vxm_CreateAcceleratorTable", "vxm_DestroyAcceleratorTable"})
    EXPECT_NE(dlsym(library, name), nullptr) << name;
  // The substitutes for Unix calls keep internal names, unexported: the C
  // library's own stay what every caller reaches.
  for (const char* name : {"lisp_dlopen", "lisp_sleep", "lisp_fcntl", "lisp_lstat", "sy_environ"})
    EXPECT_EQ(dlsym(library, name), nullptr) << name;
  EXPECT_EQ(dlsym(library, "dlopen"), reinterpret_cast<void*>(&dlopen));
  EXPECT_EQ(dlsym(library, "sleep"), dlsym(RTLD_DEFAULT, "sleep"));
  dlclose(library);
}

}  // namespace
