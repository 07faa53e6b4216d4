// The native-variable block of a heap image: the raw bytes of the runtime's
// saved native variables, module by module in one fixed order, without
// headers, tags or lengths. Saving and restoring walk the same order through
// one marshalling context; any change of a variable's size or place changes
// the image format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

extern "C" {

inline constexpr int32_t kMarshBufferBytes = 1024;
inline constexpr uint32_t kNativeVariableBlockBytes = 3278;

// One save or restore. The caller sets position and valid count to 0, the
// file (positioned at the block), the direction and a clear error flag.
struct marsh_context {
  uint8_t buffer[kMarshBufferBytes];
  int32_t position;  // next byte of the buffer
  int32_t valid;     // bytes in the buffer when restoring
  int32_t file;      // the open image file's descriptor
  uint8_t saving;    // 1 save, 0 restore
  uint8_t error;     // set by the first failed read or write; then nothing more happens
};
static_assert(offsetof(marsh_context, position) == 1024);
static_assert(offsetof(marsh_context, valid) == 1028);
static_assert(offsetof(marsh_context, file) == 1032);
static_assert(offsetof(marsh_context, saving) == 1036);
static_assert(offsetof(marsh_context, error) == 1037);

// Copies `size` bytes between the variable and the block, in the context's direction.
void marsh(marsh_context* context, void* address, uint32_t size);
// Saving: writes the buffered bytes and empties the buffer. Restoring: nothing.
void marshflush(marsh_context* context);
// Every module's table in the block's order, then the final flush.
void marshall_c_data(marsh_context* context);

// ---- saved variables defined beside their tables until the modules that
//      use them take them over ----
inline constexpr int kSavedSignalBytes = 92;
extern uint32_t bootmode;  // fasl loaders
extern uint32_t curreadmode;
extern uint32_t faslversion;
extern uint32_t lv_package;
extern uint32_t min_faslversion;
extern uint32_t min_rsversion;
extern uint32_t rsversion;
extern uint32_t load_real_args;
extern uint32_t gc_sigmask;          // start-up, dump support
extern uint8_t old_sigs[kSavedSignalBytes];
extern uint32_t reborn;
extern uint32_t restart_topaddr;
extern uint8_t saved_sigs[kSavedSignalBytes];
extern uint32_t force_full_fasl;
extern char myname[512];  // utilities

// The modules' tables, in the order marshall_c_data runs them.
void cprocess_v_marsh(marsh_context* context);
void threads_v_marsh(marsh_context* context);
void fasl_v_marsh(marsh_context* context);
void fio_v_marsh(marsh_context* context);
void fsys_v_marsh(marsh_context* context);
void gcglob_v_marsh(marsh_context* context);
void malloc_v_marsh(marsh_context* context);
void startup_v_marsh(marsh_context* context);
void string_v_marsh(marsh_context* context);
void utils_v_marsh(marsh_context* context);
void jetcode_v_marsh(marsh_context* context);
void gca_v_marsh(marsh_context* context);
}

namespace native_variables {

// A saved variable: its name, address and size in bytes. A text buffer is a
// zero-terminated name that later code copies as a string; a restore ends it
// with a zero in its last byte, whatever the file held there.
struct SavedVariable {
  const char* name;
  void* address;
  uint32_t bytes;
  bool textBuffer = false;
};

// One marsh per row, in row order.
void marshVariables(marsh_context* context, std::span<const SavedVariable> rows);

}  // namespace native_variables
