// Saving and restoring the native-variable block through a 1 024-byte buffer.
//
// Invariant: once the error flag is set no byte moves in either direction, so
// a failed restore leaves every later variable as it was.

#include "runtime/load/native_variables.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "runtime/rs/lisp_value.h"

extern "C" {
extern lisp::lispval nilval;
extern lisp::lispval tval;
}

namespace {

// Writes all `count` bytes; false on any failure (a short write is retried).
bool writeAll(int file, const uint8_t* bytes, size_t count) {
  while (count > 0) {
    const ssize_t written = write(file, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    count -= static_cast<size_t>(written);
  }
  return true;
}

// Refills the buffer with up to 1 024 bytes; a failed read or the file's end
// sets the error flag.
bool refill(marsh_context& context) {
  ssize_t got;
  do {
    got = read(context.file, context.buffer, kMarshBufferBytes);
  } while (got < 0 && errno == EINTR);
  if (got <= 0) {
    context.error = 1;
    return false;
  }
  context.valid = static_cast<int32_t>(got);
  context.position = 0;
  return true;
}

void saveBytes(marsh_context& context, const uint8_t* from, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) {
    if (context.position >= kMarshBufferBytes) {
      if (!writeAll(context.file, context.buffer, kMarshBufferBytes)) {
        context.error = 1;
        return;
      }
      context.position = 0;
    }
    context.buffer[context.position++] = from[i];
  }
}

void restoreBytes(marsh_context& context, uint8_t* to, uint32_t size) {
  for (uint32_t i = 0; i < size; ++i) {
    if (context.position >= context.valid && !refill(context)) return;
    to[i] = context.buffer[context.position++];
  }
}

}  // namespace

extern "C" {

void marsh(marsh_context* context, void* address, uint32_t size) {
  if (context->error) return;
  if (context->saving)
    saveBytes(*context, static_cast<const uint8_t*>(address), size);
  else
    restoreBytes(*context, static_cast<uint8_t*>(address), size);
}

void marshflush(marsh_context* context) {
  if (!context->saving || context->error) return;
  if (!writeAll(context->file, context->buffer, static_cast<size_t>(context->position))) {
    context->error = 1;
    return;
  }
  context->position = 0;
}

void marshall_c_data(marsh_context* context) {
  cprocess_v_marsh(context);
  threads_v_marsh(context);
  fasl_v_marsh(context);
  fio_v_marsh(context);
  fsys_v_marsh(context);
  gcglob_v_marsh(context);
  malloc_v_marsh(context);
  startup_v_marsh(context);
  string_v_marsh(context);
  utils_v_marsh(context);
  jetcode_v_marsh(context);
  marsh(context, &nilval, 4);
  marsh(context, &tval, 4);
  gca_v_marsh(context);
  marshflush(context);
}

}  // extern "C"

namespace native_variables {

void marshVariables(marsh_context* context, std::span<const SavedVariable> rows) {
  for (const SavedVariable& row : rows) {
    marsh(context, row.address, row.bytes);
    // A restored name may lack its end: later code copies it as a string.
    if (row.textBuffer && !context->saving && !context->error)
      static_cast<char*>(row.address)[row.bytes - 1] = '\0';
  }
}

}  // namespace native_variables
