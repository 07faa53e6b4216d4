// A stand-in for the runtime library, loaded by the launcher in black-box
// tests: it exports the 24 names the launcher binds and writes what it is
// called with, one "key=value" line each, to the file named by
// STANDIN_RECORD. STANDIN_VERSION sets its interface version (3 when unset),
// STANDIN_IMAGE the default image it offers, STANDIN_EXIT the status it ends
// the Lisp with through the host record's exit hook. With STANDIN_READ set it
// first reads that many lines of standard input through the host record's
// read hook, recording each.
//
// With STANDIN_SERVER set, lisp_init plays the Lisp of a start through the
// server entry points: it sets the handshake event, then answers each remote
// command in order, recording its words ("command=" and the words in hex). A
// class object is the class-id word exclusive-or kClassObjectMark, with
// result 0; register and unregister answer 0x30 and 0x40. STANDIN_SILENT
// keeps it from ever answering, STANDIN_SLOW_CLASS_MS delays class-object
// answers, STANDIN_JITTER_MS delays every answer by a random 0..n ms.
// STANDIN_GONE plays a Lisp that has gone after its start: remote_command
// refuses every command, as the runtime does once no Lisp will take one.
//
// Beside a console: STANDIN_WRITE writes that many bytes of numbered lines
// (standinOutputLine) to standard output before the end; STANDIN_ECHO reads
// lines and writes each back as "echo: " and the line (after the line
// "later", "later output" follows 300 ms on) until the console asks
// to close (remote command 5, recorded as "close_request"), then ends with
// STANDIN_EXIT. signal_lisp, free_heaps and ipc_shutdown are recorded;
// vxm_thread_exit ends the Lisp thread and tells the console thread as the
// runtime's does; the peek loop empties the calling thread's message queue.

#include <dlfcn.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "launcher/host_record.h"
#include "launcher/tests/standin_output.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/waitable.h"

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

extern char** environ;

namespace {

host::HostRecord* redir = nullptr;
uint32_t lisp_thread_id = 0;
volatile int32_t close_requested = 0;

constexpr uint32_t kQuitMessage = 18;
constexpr uint32_t kLispEndedQuit = 2457;
constexpr uint32_t kUserMessage = 1024;
constexpr int32_t kErrorInterrupted = 4;

void record(const char* format, ...) __attribute__((format(printf, 1, 2)));
void record(const char* format, ...) {
  const char* path = std::getenv("STANDIN_RECORD");
  if (!path) return;
  FILE* file = std::fopen(path, "a");
  if (!file) return;
  va_list arguments;
  va_start(arguments, format);
  std::vfprintf(file, format, arguments);
  va_end(arguments);
  std::fputc('\n', file);
  std::fclose(file);
}

int numberFromEnvironment(const char* name, int otherwise) {
  const char* value = std::getenv(name);
  return value ? std::atoi(value) : otherwise;
}

uint32_t callerThreadId() {
  return static_cast<uint32_t>(syscall(SYS_gettid));
}

// This library's own handle, as dlopen gives it to anyone who loads it.
void* ownHandle() {
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&ownHandle), &info)) return nullptr;
  void* handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);  // NOLOAD took one more reference
  return handle;
}

struct LinkedLibrary {
  const char* fileName;
  int32_t flag;
};

// ---- the server side ----

constexpr uint32_t kClassObjectMark = 0x5a5a5a5a;

using Words = std::vector<uint32_t>;

// Commands come from the callers' threads; the Lisp thread answers them.
// Never destroyed: the Lisp thread still waits on it when the process ends.
struct CommandQueue {
  std::mutex lock;
  std::condition_variable ready;
  std::deque<Words> commands;
};
CommandQueue& commandQueue() {
  static CommandQueue* queue = new CommandQueue;
  return *queue;
}
platform::Handle handshake_event = platform::kNoHandle;

void sleepMilliseconds(int milliseconds) {
  if (milliseconds > 0) std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

void answerCommand(const Words& words) {
  switch (words[0]) {
    case 2:
      sleepMilliseconds(numberFromEnvironment("STANDIN_SLOW_CLASS_MS", 0));
      *reinterpret_cast<uint32_t*>(words[3]) = words[1] ^ kClassObjectMark;
      *reinterpret_cast<int32_t*>(words[4]) = 0;
      break;
    case 3:
    case 4:
      *reinterpret_cast<int32_t*>(words[1]) = static_cast<int32_t>(0x10 * words[0]);
      break;
  }
  platform::setEvent(handshake_event);
}

[[noreturn]] void serveRemoteCommands() {
  if (std::getenv("STANDIN_SILENT"))
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
  platform::setEvent(handshake_event);
  std::minstd_rand random(7);
  const int jitter = numberFromEnvironment("STANDIN_JITTER_MS", 0);
  CommandQueue& queue = commandQueue();
  for (;;) {
    Words words;
    {
      std::unique_lock<std::mutex> hold(queue.lock);
      queue.ready.wait(hold, [&] { return !queue.commands.empty(); });
      words = std::move(queue.commands.front());
      queue.commands.pop_front();
    }
    char line[80] = "";
    for (uint32_t word : words)
      std::snprintf(line + std::strlen(line), sizeof line - std::strlen(line), "%s%#x",
                    *line ? " " : "", word);
    record("command=%s", line);
    if (jitter > 0) sleepMilliseconds(static_cast<int>(random() % (jitter + 1)));
    answerCommand(words);
  }
}

// ---- beside a console ----

void writeOut(const char* bytes, int32_t count) {
  int32_t error = 0;
  redir->writeHook(1, bytes, count, &error);
}

// Lines until the console asks to close and no typed line is left; a read
// that a message interrupted is tried again.
void echoLines() {
  for (;;) {
    char line[2048];
    int32_t error = 0;
    // Asked to close: the lines typed before the request are read first.
    if (close_requested && redir->noHangHook(0, &error, 0) != 1) break;
    const int32_t n = redir->readHook(0, line, sizeof line, &error);
    if (n < 0 && error == kErrorInterrupted) continue;
    if (n <= 0) break;
    // One read may bring several lines: each is echoed on its own.
    for (int32_t start = 0, end; start < n; start = end) {
      end = start;
      while (end < n && line[end++] != '\n') {
      }
      writeOut("echo: ", 6);
      writeOut(line + start, end - start);
      if (end - start == 6 && std::memcmp(line + start, "later\n", 6) == 0)
        std::thread([] {
          sleepMilliseconds(300);
          writeOut("later output\n", 13);
        }).detach();
    }
  }
}

void writeOutputLines(int total) {
  const std::string text = standinOutput(total);
  for (size_t done = 0; done < text.size(); done += 4096)
    writeOut(text.data() + done, static_cast<int32_t>(std::min<size_t>(4096, text.size() - done)));
}

}  // namespace

STANDIN_EXPORT int32_t win_read(int32_t, char*, int32_t, int32_t*) {
  return -1;
}
STANDIN_EXPORT int32_t win_write(int32_t, const char*, int32_t, int32_t*) {
  return -1;
}
STANDIN_EXPORT int32_t win_close(int32_t, int32_t*) {
  return -1;
}
STANDIN_EXPORT int32_t win_no_hang(int32_t, int32_t*, int32_t) {
  return -1;
}
STANDIN_EXPORT void win_timersig() {}
STANDIN_EXPORT int32_t win_watchfor(int32_t, uint32_t) {
  return 0;
}
STANDIN_EXPORT int32_t win_waitsigio(int32_t) {
  return 0;
}
STANDIN_EXPORT int lisp_main(int, char**, char**) {
  return 0;
}
STANDIN_EXPORT void windows_lisp_exit(int status) {
  std::exit(status);
}
STANDIN_EXPORT int32_t vxm_message_peek_loop(int32_t) {
  platform::Message message;
  while (platform::peekMessage(&message, true)) {
  }
  return 0;
}
STANDIN_EXPORT int32_t vxm_process_single_event() {
  return 0;
}
STANDIN_EXPORT int32_t signal_lisp(int32_t signal) {
  record("signal=%d", signal);
  return 0;
}
STANDIN_EXPORT int free_heaps(int unmap) {
  record("free_heaps=%d", unmap);
  return 0;
}
STANDIN_EXPORT int32_t remote_command(int32_t count, const void* data) {
  if (std::getenv("STANDIN_GONE")) return 0;
  // One word comes as the word itself, more as their address.
  const uint32_t word = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(data));
  if (count < 1 || count > 5 || (count > 1 && !data)) return 0;
  const auto* words = count == 1 ? &word : static_cast<const uint32_t*>(data);
  if (count == 2 && words[0] == 5) {
    // The console's close request: the Lisp ends at its next read.
    record("close_request=%d", *reinterpret_cast<int32_t*>(words[1]));
    close_requested = 1;
    if (lisp_thread_id) platform::postThreadMessage(lisp_thread_id, kUserMessage, 0, 0);
    return 1;
  }
  CommandQueue& queue = commandQueue();
  {
    std::lock_guard<std::mutex> hold(queue.lock);
    queue.commands.emplace_back(words, words + count);
  }
  queue.ready.notify_one();
  return 1;
}
STANDIN_EXPORT uint32_t remote_command_event(uint32_t event) {
  record("remote_command_event=%s", event ? "set" : "none");
  handshake_event = event;
  return event;
}
STANDIN_EXPORT int32_t get_vxm_dll_version() {
  return numberFromEnvironment("STANDIN_VERSION", 3);
}
// STANDIN_LOST_THREAD: no handle can be had for a live Lisp thread.
STANDIN_EXPORT uint32_t find_lisp_thread_handle(uint32_t*) {
  return std::getenv("STANDIN_LOST_THREAD") ? 0xffffffff : 0;
}
STANDIN_EXPORT void vxm_thread_exit(int32_t status, int32_t* doneFlag, uint32_t notify) {
  if (doneFlag) *doneFlag = 1;
  if (notify)
    platform::postThreadMessage(notify, kQuitMessage, static_cast<uint32_t>(status),
                                kLispEndedQuit);
  platform::exitThread(static_cast<uint32_t>(status));
}
STANDIN_EXPORT int32_t ipc_shutdown() {
  record("ipc_shutdown=1");
  return 0;
}
STANDIN_EXPORT void set_my_thread_watch_pointers(uint32_t**, uint32_t**) {}

STANDIN_EXPORT const char* get_default_image_file(const char* directory, const char* programName,
                                                  const char* (*fallback)(), int debug) {
  record("default_image=%s|%s|%s|%d", directory, programName, fallback ? "fallback" : "null",
         debug);
  return std::getenv("STANDIN_IMAGE");
}

STANDIN_EXPORT char* find_image_file(const char* name, const char* extension, const char* extra,
                                     int debug) {
  record("find_image=%s|%s|%s|%d", name, extension, extra ? extra : "null", debug);
  return nullptr;
}

STANDIN_EXPORT host::HostRecord* setup_redir(host::HostRecord* record_) {
  redir = record_;
  const host::HostRecord& r = *record_;
  const bool ownHooks = r.win_read == win_read && r.win_write == win_write &&
                        r.win_close == win_close && r.win_no_hang == win_no_hang &&
                        r.win_watchfor == win_watchfor && r.win_waitsigio == win_waitsigio &&
                        r.win_timersig == win_timersig;
  record("redir_runtime_words=%s", ownHooks ? "own" : "other");
  record("redir_exit_is_exit=%d", r.exitHook == std::exit ? 1 : 0);
  record("redir_peek_windows=%s", r.peekWindows ? "list" : "none");
  record("redir_thread_is_caller=%d", r.lispThreadId == callerThreadId() ? 1 : 0);
  record("redir_instance_set=%d", r.moduleInstance != 0 ? 1 : 0);
  const host::DescriptorEntry* table = r.descriptorTable;
  record("redir_table=%u %u %u %u %u", table[0].kind, table[1].kind, table[2].kind, table[3].kind,
         table[4].kind);
  return record_;
}

STANDIN_EXPORT int lisp_init(int argc, char** argv, char** envp, void (*exitCallback)(int),
                             const char* home, const char* libraryName, void* libraryHandle,
                             const char* imageName, int32_t (*slotAllocator)(), int win32app,
                             void* linkedLibraries, const uint32_t* optionsRecord) {
  record("argc=%d", argc);
  for (int i = 0; i < argc; ++i) record("argv=%s", argv[i]);
  record("envp_is_environ=%d", envp == environ ? 1 : 0);
  record("exit_is_own=%d", exitCallback == windows_lisp_exit ? 1 : 0);
  record("home=%s", home);
  record("library=%s", libraryName);
  record("handle_is_own=%d", libraryHandle && libraryHandle == ownHandle() ? 1 : 0);
  record("image=%s", imageName ? imageName : "null");
  record("allocator=%s", slotAllocator ? "set" : "null");
  if (slotAllocator) record("allocated_slot=%d", slotAllocator());
  record("win32app=%d", win32app);
  int rows = 0;
  for (auto* row = static_cast<const LinkedLibrary* const*>(linkedLibraries); row && *row; ++row) {
    record("linked=%s %d", (*row)->fileName, (*row)->flag);
    ++rows;
  }
  record("linked_rows=%d", rows);
  record("options=%s", optionsRecord ? "set" : "null");
  if (std::getenv("STANDIN_SERVER")) serveRemoteCommands();
  // Lines of standard input, a line end recorded as a backslash and "n"; a
  // read past the script would wait for console input, so the count is given.
  const int lines = numberFromEnvironment("STANDIN_READ", 0);
  for (int i = 0; i < lines && redir; ++i) {
    char line[64];
    int32_t error = 0;
    const int32_t n = redir->readHook(0, line, sizeof line - 2, &error);
    if (n <= 0) break;
    line[n] = '\0';
    if (line[n - 1] == '\n') std::strcpy(&line[n - 1], "\\n");
    record("stdin_line=%s", line);
  }
  lisp_thread_id = callerThreadId();
  if (redir && std::getenv("STANDIN_ECHO")) echoLines();
  if (redir) writeOutputLines(numberFromEnvironment("STANDIN_WRITE", 0));
  if (const char* status = std::getenv("STANDIN_RETURN")) return std::atoi(status);
  if (redir && redir->exitHook) redir->exitHook(numberFromEnvironment("STANDIN_EXIT", 0));
  return 0;
}
