// StartLisp and the launcher's other exports. The steps run in one order:
// settings from the environment, argument vector, home directory, options,
// runtime loaded and bound, image, splash, launch. A refusal shows its box
// (one line on standard error) and ends the process, or only the calling
// thread when the host started the launcher on a thread of its own.

#include "launcher/start_lisp.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string>

#include "launcher/console_queues.h"
#include "launcher/console_thread.h"
#include "launcher/host_records.h"
#include "launcher/launch_state.h"
#include "launcher/launcher_messages.h"
#include "launcher/launcher_options.h"
#include "launcher/launcher_settings.h"
#include "launcher/runtime_binding.h"
#include "launcher/splash_screen.h"
#include "platform/message_box.h"
#include "platform/thread_block.h"
#include "platform/threads.h"
#include "platform/waitable.h"

extern char** environ;

namespace launcher {

LauncherSettings settings;
uint32_t module_instance = 0;
LaunchState launch;

namespace {

constexpr uint32_t kProcessAttach = 1;

std::string formatted(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list again;
  va_copy(again, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  va_end(arguments);
  std::string text(length > 0 ? length : 0, '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  return text;
}

enum class SplashFirst { No, Yes };

[[noreturn]] void refuse(const char* caption, const std::string& text,
                         SplashFirst splashFirst = SplashFirst::No) {
  if (splashFirst == SplashFirst::Yes && launch.splashWindow) destroySplashScreen();
  platform::showMessageBox(caption, text.c_str());
  endLauncher(1);
}

// Copies a path into one of the 512-byte settings, refusing one that does
// not fit.
void keepPath(char (&destination)[kPathBytes], const char* path) {
  if (std::strlen(path) >= static_cast<size_t>(kPathBytes))
    refuse(text::kLispCaption, formatted(text::kPathTooLong, path));
  std::strcpy(destination, path);
}

// The launcher library's own file, with links resolved.
void findModulePath() {
  Dl_info info;
  char resolved[PATH_MAX];
  if (!dladdr(reinterpret_cast<void*>(&StartLisp), &info) || !info.dli_fname ||
      !realpath(info.dli_fname, resolved))
    refuse(text::kLispCaption, formatted(text::kPathWithoutSeparator, ""));
  keepPath(settings.modulePath, resolved);
}

// The command-line resource of `module`: a data symbol holding texts, each
// ended by a NUL, the list ended by an empty text; null when the module has
// none or it is empty.
const char* commandLineResource(void* module) {
  const char* data =
      module ? static_cast<const char*>(dlsym(module, text::kCommandResourceName)) : nullptr;
  return data && *data ? data : nullptr;
}

void* hostProgram() {
  return dlopen(nullptr, RTLD_NOW);
}

// The launcher's own module for symbol lookups: its library, or the program
// when the launcher is built into the program.
void* launcherModule() {
  Dl_info info;
  link_map* module = nullptr;
  if (!dladdr1(reinterpret_cast<void*>(&StartLisp), &info, reinterpret_cast<void**>(&module),
               RTLD_DL_LINKMAP) ||
      !module)
    return nullptr;
  if (!module->l_name || !*module->l_name) return hostProgram();
  void* handle = dlopen(module->l_name, RTLD_NOW | RTLD_NOLOAD);
  if (handle) dlclose(handle);  // NOLOAD took one more reference
  return handle;
}

std::string quoted(const char* path) {
  return std::string("\"") + path + "\"";
}

const char* lastSeparator(const char* path) {
  const char* slash = std::strrchr(path, '/');
  const char* backslash = std::strrchr(path, '\\');
  return slash > backslash ? slash : backslash;  // null when neither is there
}

void findHomeDirectory() {
  const char* separator = lastSeparator(settings.modulePath);
  if (!separator)
    refuse(text::kLispCaption, formatted(text::kPathWithoutSeparator, settings.modulePath));
  launch.baseName = separator + 1;
  if (const char* home = homeDirectoryOption(launch.vector, launch.verbose)) {
    keepPath(settings.homeDirectory, home);
    return;
  }
  const size_t length = separator - settings.modulePath;
  std::memcpy(settings.homeDirectory, settings.modulePath, length);
  settings.homeDirectory[length] = '\0';
}

void* lookUpEntry(void* library, const char* name) {
  return dlsym(library, name);
}

void loadAndBindRuntime() {
  const char* name = settings.runtimeLibraryName;
  void* library = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (!library) {
    const std::string beside = std::string(settings.homeDirectory) + "/" + name;
    library = dlopen(beside.c_str(), RTLD_NOW | RTLD_LOCAL);
  }
  if (!library)
    refuse(text::kLispCaption, formatted(text::kLibraryMissing, name), SplashFirst::Yes);
  if (!bindRuntimeEntries(library, lookUpEntry, &launch.runtime))
    refuse(text::kLispCaption, text::kNamesMissing, SplashFirst::Yes);
  const int32_t version = launch.runtime.get_vxm_dll_version();
  if (version != kRuntimeInterfaceVersion)
    refuse(text::kVersionCaption,
           formatted(text::kVersionMismatch, kRuntimeInterfaceVersion, name, version),
           SplashFirst::Yes);
  launch.runtimeLibrary = library;
  installRuntimeHooks(launch.runtime);
  runtime_message_peek_loop = launch.runtime.vxm_message_peek_loop;
  runtime_process_single_event = launch.runtime.vxm_process_single_event;
}

// The default image, when it is readable, goes into the vector as "-I" and
// its path.
void findDefaultImage() {
  const char* found = launch.runtime.get_default_image_file(settings.homeDirectory, launch.baseName,
                                                            nullptr, launch.verbose ? 1 : 0);
  if (!found || access(found, R_OK) != 0) return;
  launch.imagePath = strdup(found);  // the runtime's buffer is reused
  if (launch.imagePath) insertBehindFirst(launch.vector, "-I", launch.imagePath);
}

// The image only decides the splash; the runtime finds it itself from "-I",
// which is inserted here when the default image was found.
void resolveImage() {
  const char* imageName = nullptr;
  const ArgumentVector& vector = launch.vector;
  for (int i = 0; i < vector.count; ++i) {
    if (std::strcmp(vector.elements[i], "-build") == 0) {
      settings.buildMode = 1;
      break;
    }
    if (std::strncmp(vector.elements[i], "-I", 2) == 0 && i + 1 < vector.count) {
      imageName = vector.elements[i + 1];
      break;
    }
  }
  if (imageName) {
    launch.imagePath = launch.runtime.find_image_file(imageName, text::kImageExtension, nullptr, 0);
    return;
  }
  if (!settings.buildMode) findDefaultImage();
}

// Decision: the screen size of a display-less machine.
constexpr int32_t kScreenWidth = 1024;
constexpr int32_t kScreenHeight = 768;

void prepareLaunch() {
  settings.windows9x = 0;
  setup_pseudo_descriptor_table();
  for (host::HostRecord* form : {&console_host_record, &no_console_host_record}) {
    form->moduleInstance = module_instance;
    if (launch.splashWindow) form->splashWindow = launch.splashWindow;
  }
  if (launch.handshakeEvent) launch.runtime.remote_command_event(launch.handshakeEvent);
  // Read-only: the hooks read the script byte by byte, with no translation.
  if (settings.scriptFileName) script_descriptor = open(settings.scriptFileName, O_RDONLY);
  console_wanted = settings.consoleWanted;
}

// The Lisp on the calling thread, without a console window.
[[noreturn]] void startWithoutConsole() {
  // Decision: queues that cannot be made leave the pair empty; the console
  // hooks then answer as they do after a close.
  console::makePair(&console::console_queue_pairs[0], platform::createMutex(false));
  current_host_record = &no_console_host_record;
  no_console_host_record.lispThreadId = platform::currentThreadId();
  launch.runtime.setup_redir(&no_console_host_record);
  const int status = initLisp(nullptr);
  // Decision: a lisp_init that returns ends the launcher with its result, as
  // the exit hook would have.
  endLauncher(status);
}

[[noreturn]] void launchLisp() {
  prepareLaunch();
  if (settings.consoleWanted) runConsoleThread();
  startWithoutConsole();
}

// Steps 1 and 2 of every start: settings from the environment.
void readEnvironmentSettings(int32_t ownThread) {
  settings.noActivate = std::getenv(text::kNoActivateVariable) ? 1 : 0;
  const char* nameFromEnvironment = std::getenv(text::kLibraryNameVariable);
  settings.runtimeLibraryName = nameFromEnvironment && *nameFromEnvironment
                                    ? nameFromEnvironment
                                    : text::kDefaultRuntimeLibrary;
  settings.ownThreadStart = ownThread;
  launch.verbose = std::getenv(text::kStartupDebugVariable) != nullptr;
}

}  // namespace

void endLauncher(int status) {
  if (settings.ownThreadStart) platform::exitThread(static_cast<uint32_t>(status));
  std::exit(status);
}

void startLispForServer(uint32_t handshakeEvent) {
  readEnvironmentSettings(1);
  launch.handshakeEvent = handshakeEvent;
  findModulePath();
  findHomeDirectory();  // no vector yet: always the launcher's own directory
  loadAndBindRuntime();
  launch.vector = buildArgumentVector(quoted(settings.modulePath).c_str(),
                                      commandLineResource(launcherModule()));
  applyLauncherOptions(settings, launch.vector);
  findDefaultImage();
  if (!launch.imagePath) return;  // no image: the Lisp is not started
  launchLisp();
}

int initLisp(const OptionsRecord* options) {
  return launch.runtime.lisp_init(
      launch.vector.count, launch.vector.elements, environ, launch.runtime.windows_lisp_exit,
      settings.homeDirectory, settings.runtimeLibraryName, launch.runtimeLibrary, nullptr,
      lisp_tls_allocator, 1, const_cast<void*>(static_cast<const void*>(linked_library_table)),
      reinterpret_cast<const uint32_t*>(options));
}

const char* homeDirectoryOption(const ArgumentVector& vector, bool verbose) {
  for (int i = 0; i < vector.count; ++i) {
    const char* element = vector.elements[i];
    if (std::strncmp(element, "--", 2) == 0) {
      if (verbose) std::fputs(text::kHomeNotFound, stderr);
      return nullptr;
    }
    if (std::strncmp(element, "-H", 2) == 0 && i + 1 < vector.count) {
      if (verbose) std::fprintf(stderr, text::kHomeFound, vector.elements[i + 1]);
      return vector.elements[i + 1];
    }
  }
  return nullptr;
}

int32_t lisp_tls_allocator() {
  if (std::getenv(text::kSlotDebugVariable)) return TlsAllocHighKey();
  return platform::allocateThreadSlot();
}

}  // namespace launcher

using launcher::launch;
using launcher::settings;

extern "C" {

void StartLisp(const char* commandTail, int32_t showCommand, int32_t ownThread) {
  launcher::readEnvironmentSettings(ownThread);
  settings.showCommand = showCommand;

  launcher::findModulePath();
  const std::string commandText =
      launcher::quoted(settings.modulePath) + " " + (commandTail ? commandTail : "");
  launch.vector = launcher::buildArgumentVector(
      commandText.c_str(), launcher::commandLineResource(launcher::hostProgram()));
  launcher::findHomeDirectory();
  launcher::applyLauncherOptions(settings, launch.vector);
  launcher::loadAndBindRuntime();
  launcher::resolveImage();
  if (launch.imagePath && settings.splashWanted)
    launch.splashWindow =
        launcher::startSplashScreen(launcher::kScreenWidth, launcher::kScreenHeight);
  launcher::launchLisp();
}

int32_t DllMain(void* instance, uint32_t reason, void*) {
  if (reason == launcher::kProcessAttach)
    launcher::module_instance = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(instance));
  return 1;
}

int32_t TlsAllocHighKey() {
  return platform::allocateHighThreadSlot();
}

}  // extern "C"

namespace {

// The library's load: DllMain with reason 1 and the module's load address
// as its instance.
__attribute__((constructor)) void attachLauncher() {
  Dl_info info;
  void* instance = dladdr(reinterpret_cast<void*>(&DllMain), &info) ? info.dli_fbase : nullptr;
  DllMain(instance, launcher::kProcessAttach, nullptr);
}

}  // namespace
