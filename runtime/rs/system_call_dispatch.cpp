// The tables of lisp_syscall, lisp_syscall_aux and lisp_syscall_aux2:
// service code to native operation (reached through one-line adapters that
// give each native word its C type), argument conversions and result form.

#include "runtime/rs/system_call_dispatch.h"

#include <unistd.h>

#include <cstring>
#include <string>

#include "runtime/gc/heap_queries.h"
#include "runtime/gc/lispstatic.h"
#include "runtime/gc/profiler.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/weak_objects.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/pure_cache.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/small_services.h"
#include "runtime/load/startup.h"
#include "runtime/load/string_file.h"
#include "runtime/os/child_processes.h"
#include "runtime/os/child_waits.h"
#include "runtime/os/clock_services.h"
#include "runtime/os/directory_services.h"
#include "runtime/os/environment_services.h"
#include "runtime/os/lisp_text_vectors.h"
#include "runtime/os/minor_services.h"
#include "runtime/os/process_times.h"
#include "runtime/os/shared_libraries.h"
#include "runtime/os/system_messages.h"
#include "runtime/os/time_zone.h"
#include "runtime/os/unix_substitutes.h"
#include "runtime/os/file_calls.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/md5.h"
#include "runtime/os/message_pump.h"
#include "runtime/os/native_symbol_table.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/os/remote_commands.h"
#include "runtime/os/mode_line.h"
#include "runtime/os/small_system_services.h"
#include "runtime/rs/native_calls.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"

extern "C" {
uint32_t cl_debug_flags = 0;
}

namespace lisp::system_call_dispatch {

namespace {

// ---- the operations, on native words ----

char* address(uint32_t word) {
  return reinterpret_cast<char*>(static_cast<uintptr_t>(word));
}
int32_t integer(uint32_t word) {
  return static_cast<int32_t>(word);
}
uint32_t word(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
uint32_t word(void (*routine)()) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(routine));
}
uint32_t word(int32_t value) {
  return static_cast<uint32_t>(value);
}

using W = NativeWords;
uint32_t timeIntoRecord(const W& w) {
  sy_time_smp(reinterpret_cast<int32_t*>(address(w[0])));
  return 0;
}
uint32_t waitForChild(const W& w) {
  return rs_sy_wait(w[0], w[1]);
}
uint32_t allocateNative(const W& w) {
  return word(vxmmalloc(w[0], w[1], integer(w[2])));
}
uint32_t freeNative(const W& w) {
  return vxmfree(address(w[0]), integer(w[1]));
}
// The mode line's second argument: a descriptor (an integer) for code 1, a
// text vector whose first four elements are the text for code 0; a vector
// of fewer elements gives no text.
uint32_t barHook(const W& w) {
  const lispval argument = w[1];
  if (lisp::isFixnum(argument) || !lisp::os::textVectorOf(argument))
    return run_bar_hook(integer(w[0]), address(w[2]));
  char text[5] = {};
  const lisp::os::TextVector v = *lisp::os::textVectorOf(argument);
  if (v.elements < 4) return run_bar_hook(integer(w[0]), nullptr);
  for (uint32_t i = 0; i < 4; ++i) text[i] = static_cast<char>(v.data[i * v.elementBytes]);
  return run_bar_hook(integer(w[0]), text);
}
uint32_t stackAllocated(const W& w) {
  return stack_allocated_p(w[0]);
}
uint32_t fileVersion(const W& w) {
  return sy_get_version(reinterpret_cast<const char*>(address(w[0])));
}
uint32_t clockTimes(const W&) {
  sy_mtime();
  return 0;
}
uint32_t runShell(const W& w) {
  return sy_run_shell2(w[0], w[1], w[2], w[3], w[4], w[5], w[6], address(w[7]));
}
// Process and user ids: called straight from the native half, which already
// runs inside the foreign-call record a separate funcall0 would build. The
// user id is the runtime's own substitute, not the C library's.
uint32_t processId(const W&) {
  return word(static_cast<int32_t>(getpid()));
}
uint32_t userId(const W&) {
  return lisp_getuid();
}
uint32_t setSignal(const W& w) {
  return word(reinterpret_cast<const void*>(
      lisp_signal(integer(w[0]), reinterpret_cast<lisp_signal_handler>(address(w[1])))));
}
uint32_t setPam(const W& w) {
  return word(sy_set_pam(w[0]));
}
uint32_t getPam(const W&) {
  return sy_get_pam();
}
crypto::Md5Context* md5Context(uint32_t word) {
  return reinterpret_cast<crypto::Md5Context*>(address(word));
}
uint8_t* bytes(uint32_t word) {
  return reinterpret_cast<uint8_t*>(address(word));
}
uint32_t md5String(const W& w) {
  vxmMD5String(bytes(w[0]), integer(w[1]), bytes(w[2]));
  return 0;
}
uint32_t md5Init(const W& w) {
  vxmMD5Init(md5Context(w[0]));
  return 0;
}
uint32_t md5Update(const W& w) {
  vxmMD5Update(md5Context(w[0]), bytes(w[2]), integer(w[1]));
  return 0;
}
uint32_t md5Final(const W& w) {
  vxmMD5Final(bytes(w[0]), md5Context(w[1]));
  return 0;
}
uint32_t isReborn(const W&) {
  return reborn;
}
uint32_t hasRealArguments(const W&) {
  return load_real_args;
}
uint32_t underWindows(const W&) {
  return word(vxm_under_windows);
}
uint32_t closeStringFile(const W&) {
  return close_str_file();
}
uint32_t cachedCodeVector(const W& w) {
  return find_cached_codevec(w[0]);
}
uint32_t programName(const W&) {
  return word(curpgmname());
}
uint32_t missingStubAddress(const W&) {
  return word(lisp_missing_stub);
}
uint32_t bindAndCallAddress(const W&) {
  return word(bind_and_call);
}
uint32_t semidirectAddress(const W&) {
  return word(call_semidirect);
}
uint32_t nextRemoteCommand(const W&) {
  return sy_get_next_remote_command();
}
uint32_t pendingEvents(const W& w) {
  return word(process_pending_events(integer(w[0])));
}
uint32_t setSplash(const W& w) {
  return word(sy_set_splash(address(w[0]), integer(w[1]), address(w[2]), integer(w[3])));
}
uint32_t symbolTable(const W& w) {
  return word(get_c_symbol_table(reinterpret_cast<uint32_t*>(address(w[0]))));
}
uint32_t runningMutex(const W&) {
  return word(sy_set_running_mutex());
}
uint32_t setLsoFile(const W& w) {
  set_lso_file(address(w[0]));
  return 0;
}
uint32_t lsoFile(const W&) {
  return word(get_lso_file());
}
uint32_t setDebugFlags(const W& w) {
  cl_debug_flags = w[0];
  return 0;
}
// Nil as the second argument (w[2] = 0) takes the object off the
// lisp-static list.
uint32_t lispStatic(const W& w) {
  if (w[2] == 0) {
    delete_lispstatic(w[0]);
  } else {
    add_lispstatic(w[0], w[1]);
  }
  return 0;
}
// Kinds 1 .. 4 name their method trampoline, any other kind the missing stub.
uint32_t methodTrampoline(const W& w) {
  switch (integer(w[0])) {
    case 1:
      return word(method_tramp1);
    case 2:
      return word(method_tramp2);
    case 3:
      return word(method_tramp3);
    case 4:
      return word(method_tramp4);
    default:
      return word(lisp_missing_stub);
  }
}
uint32_t dnsInformation(const W& w) {
  return word(sy_compute_dns_info(reinterpret_cast<uint8_t*>(address(w[0])), integer(w[1])));
}
uint32_t sharedLibraryHandle(const W&) {
  return word(lisp_shared_library_handle);
}
uint32_t executableHandle(const W&) {
  return word(lisp_executable_handle);
}
uint32_t showConsole(const W& w) {
  return word(sy_maybe_show_console(integer(w[0])));
}
uint32_t disableCloseButton(const W& w) {
  sy_maybe_disable_close_button(integer(w[0]));
  return 0;
}
uint32_t enableCloseButton(const W&) {
  sy_maybe_enable_close_button();
  return 0;
}
uint32_t trayIcon(const W& w) {
  sy_tray_icon_control(integer(w[0]));
  return 0;
}
uint32_t minmaxState(const W& w) {
  sy_maybe_set_minmax_state(integer(w[0]), integer(w[1]));
  return 0;
}
uint32_t consoleSize(const W& w) {
  sy_maybe_set_console_size(integer(w[0]));
  return 0;
}
uint32_t consoleTitle(const W& w) {
  sy_maybe_set_console_title(address(w[0]));
  return 0;
}
uint32_t* words(uint32_t word) {
  return reinterpret_cast<uint32_t*>(address(word));
}
uint32_t whoCalls(const W& w) {
  return word(whocalls(words(w[0])));
}
uint32_t selectedFunctions(const W& w) {
  return word(collect_selected_functions(words(w[0]), words(w[1])));
}
uint32_t objectsOfType(const W& w) {
  return word(getobjects(words(w[0]), integer(w[1]), integer(w[2]), integer(w[3])));
}
uint32_t holdersOf(const W& w) {
  return word(findaddress(words(w[0]), w[1]));
}
uint32_t messageWithTimeout(const W& w) {
  sy_mbwto(address(w[0]), address(w[1]), address(w[2]), integer(w[3]));
  return 0;
}

// ---- the system services ----

// Native strings and buffers come as addresses; one in the first 64 KB (no
// mapping there, a small integer passed by mistake) counts as none.
constexpr uint32_t kLowestAddress = 0x10000;
const char* text(uint32_t word) {
  return word < kLowestAddress ? nullptr : reinterpret_cast<const char*>(address(word));
}
uint32_t processTimes(const W&) {
  sy_rtimes();
  return 0;
}
uint32_t processMicroTimes(const W&) {
  return sy_mrtimes();
}
uint32_t workingDirectory(const W& w) {
  return syspwd(w[0], integer(w[1]));
}
uint32_t userHomeDirectory(const W& w) {
  return sysuhd(integer(w[0]));
}
uint32_t userName(const W& w) {
  return sysuname(w[0]);
}
uint32_t hostName(const W& w) {
  return syshost(w[0]);
}
uint32_t zoneHours(const W&) {
  return sy_tz();
}
uint32_t zoneMinutes(const W&) {
  return sy_tz_mins();
}
uint32_t daylightSaving(const W& w) {
  return sy_isdst(integer(w[0]));
}
uint32_t environmentValue(const W& w) {
  return word(sy_environ(text(w[0])));
}
uint32_t commandArgument(const W& w) {
  return word(sy_argv(w[0]));
}
uint32_t commandArgumentCount(const W&) {
  return sy_argc();
}
uint32_t objectSymbols(const W& w) {
  return word(read_object_symbols(w[0], integer(w[1]), w[2], integer(w[3])));
}
uint32_t setTerminalCharacters(const W& w) {
  return word(sy_set_term_chars(integer(w[0]), w[1], integer(w[2]), integer(w[3]), w[4]));
}
uint32_t terminalCharacters(const W& w) {
  return word(sy_get_term_chars(integer(w[0])));
}
uint32_t setBaseName(const W& w) {
  return word(sy_set_bname(text(w[0])));
}
uint32_t loadLibrary(const W& w) {
  return sy_loadlibrary(text(w[0]));
}
uint32_t findSymbol(const W& w) {
  return sy_findsym(w[0], text(w[1]));
}
uint32_t freeLibrary(const W& w) {
  return sy_freelibrary(w[0]);
}
uint32_t moduleHandle(const W& w) {
  return sy_getmodulehandle(text(w[0]));
}
uint32_t putEnvironment(const W& w) {
  return sy_putenv(text(w[0]));
}
uint32_t unknownArgument(const W& w) {
  return sy_argerr(text(w[0]));
}
uint32_t moduleFileName(const W& w) {
  return sy_getmodulefilename(w[0], w[1]);
}
uint32_t setWorkingDirectory(const W& w) {
  return syssetpwd(text(w[0]));
}
uint32_t sharedLibraryName(const W&) {
  return word(sy_c_get_shared_library_name());
}
uint32_t shell(const W& w) {
  return sy_shell(text(w[0]));
}
uint32_t changeDirectory(const W& w) {
  return sy_chdir(text(w[0]));
}
uint32_t openStringFile(const W& w) {
  return sy_open_str_file(text(w[0]));
}
uint32_t earlyError(const W& w) {
  sy_err(w[0]);
}
uint32_t makeDirectory(const W& w) {
  return sy_mkdir(text(w[0]), w[1]);
}
uint32_t homeDirectory(const W&) {
  return word(sy_c_get_home());
}
// The format comes as a text vector (or nil for the default one); one that
// is no text vector or does not fit the buffer gives the default one too.
uint32_t diagnosticLine(const W& w) {
  constexpr size_t kFormatBytes = 1024;
  char format[kFormatBytes];
  const bool given = lisp::os::takeText(w[0], format, sizeof format);
  return sy_eprintf(given ? format : nullptr, w[1], w[2], w[3], 0, 0);
}
uint32_t patchError(const W& w) {
  sy_patcherr(text(w[0]));
}
uint32_t patchMessage(const W& w) {
  return sy_patchmsg(text(w[0]), integer(w[1]));
}
uint32_t serviceByName(const W& w) {
  return word(sy_getservbyname(text(w[0]), text(w[1])));
}
uint32_t removeDirectory(const W& w) {
  return sy_rmdir(text(w[0]));
}
uint32_t mixedConvert(const W& w) {
  return sy_set_mixed_convert(w[0]);
}
uint32_t eightBitInput(const W&) {
  return sy_8bitinput();
}
uint32_t purifyCodeVector(const W& w) {
  return sy_purify_codevec(w[0]);
}
uint32_t loggedInUser(const W& w) {
  return get_user_name(w[0], w[1]);
}
uint32_t fileAttributes(const W& w) {
  return word(sy_file_attributes(text(w[0])));
}
uint32_t firstLinkedLibrary(const W&) {
  return word(sy_find_first_shared_library());
}
uint32_t nextLinkedLibrary(const W&) {
  return word(sy_find_next_shared_library());
}
uint32_t systemLibrary(const W& w) {
  return word(sy_system_shared_library_p(text(w[0])));
}
uint64_t* doubleWord(uint32_t word) {
  return word < kLowestAddress ? nullptr : reinterpret_cast<uint64_t*>(address(word));
}
uint32_t diskSpace(const W& w) {
  return word(sy_statfs(text(w[0]), doubleWord(w[1]), doubleWord(w[2]), doubleWord(w[3])));
}
uint32_t setLocale(const W& w) {
  return word(sy_setlocale(integer(w[0]), text(w[1])));
}
uint32_t systemErrorText(const W& w) {
  return word(sy_winapi_error_to_string(integer(w[0])));
}
// The C library's text for an error number, as the address of its
// characters.
uint32_t errorNumberText(const W& w) {
  return word(std::strerror(integer(w[0])));
}
// ---- the profiler ----

// A Lisp string's text as a file name, or false when the value is no string.
// Decision: the profiler's file names come from Lisp as strings.
bool fileName(uint32_t value, std::string& name) {
  if (!isOther(value) || typeCodeOf(wordAt(value, kHeaderOffset)) != type_code::SimpleString)
    return false;
  strtobuf(value);
  name = strbuf;
  return true;
}
uint32_t startProfiler(const W& w) {
  std::string data, index;
  if (!fileName(w[4], data) || !fileName(w[5], index)) return word(int32_t{-1});
  return word(start_profiler(integer(w[0]), integer(w[1]), integer(w[2]), w[3], data.c_str(),
                             index.c_str()));
}
uint32_t stopProfiler(const W&) {
  return word(stop_profiler());
}
uint32_t startSampling(const W&) {
  return word(start_sampling());
}
uint32_t stopSampling(const W&) {
  return word(stop_sampling());
}
uint32_t samplesCollected(const W&) {
  return word(profiler_samples_collected);
}
uint32_t majorVersion(const W&) {
  return sy_win_major_version();
}
uint32_t minorVersion(const W&) {
  return sy_win_minor_version();
}
uint32_t notNinetyFiveFamily(const W&) {
  return word(sy_win95p());
}

// ---- the tables ----

using enum From;
using enum Result;
constexpr Argument in(From from, uint8_t index) {
  return {from, index};
}

struct Listed {
  uint32_t code;
  Row row;
};
constexpr Row serve(Operation operation, std::array<Argument, kArgumentWords> arguments,
                    Result result, bool testsClError = false) {
  return {true, operation, arguments, result, testsClError};
}

template <size_t N, size_t M>
constexpr std::array<Row, N> expand(const std::array<Listed, M>& listed, uint32_t firstCode) {
  std::array<Row, N> rows{};
  for (const Listed& l : listed) rows[l.code - firstCode] = l.row;
  return rows;
}

constexpr std::array<Listed, 45> kMainListed = {{
    {1, serve(timeIntoRecord, {in(Data, 1)}, RecordTimes)},
    {2, serve(processTimes, {}, ProcessTimes)},
    {4, serve(workingDirectory, {in(Raw, 1), in(Int, 2)}, Word)},
    {5, serve(userHomeDirectory, {in(Int, 1)}, Unsigned)},
    {6, serve(userName, {in(Raw, 1)}, Unsigned)},
    {7, serve(hostName, {in(Raw, 1)}, Word)},
    {9, serve(zoneHours, {}, Word)},
    {10, serve(environmentValue, {in(Int, 1)}, Unsigned)},
    {11, serve(commandArgument, {in(Raw, 1)}, Unsigned)},
    // Deviation: the wait gets the process id and the wait flag, which
    // rs_sy_wait's own contract takes, where the service list names no
    // arguments. It answers three values: the status (or nil), then the
    // process id and nil rs_sy_wait leaves in the extra result words.
    {13, serve(waitForChild, {in(Raw, 1), in(Raw, 2)}, WordAndTwoExtras)},
    {19, serve(processId, {}, Signed)},
    {20, serve(userId, {}, Signed)},
    {21, serve(allocateNative, {in(Fix, 1), in(Unused, 0), in(NotNil, 2)}, Unsigned)},
    {22, serve(freeNative, {in(Int, 1), in(NotNil, 2)}, Signed)},
    {23, serve(whoCalls, {in(Data, 1)}, Signed)},
    {24, serve(selectedFunctions, {in(Data, 1), in(Data, 2)}, Signed)},
    {27, serve(startProfiler,
               {in(Fix, 1), in(Int, 2), in(Fix, 3), in(Int, 4), in(Raw, 5), in(Raw, 6)}, Signed)},
    {28, serve(stopProfiler, {}, Signed)},
    {29, serve(startSampling, {}, Signed)},
    {30, serve(stopSampling, {}, Signed)},
    {31, serve(samplesCollected, {}, Signed)},
    {34, serve(objectSymbols, {in(Raw, 1), in(Int, 2), in(Int, 3), in(Fix, 4)}, Signed)},
    {36, serve(setTerminalCharacters,
               {in(Fix, 1), in(Int, 2), in(Fix, 3), in(Fix, 4), in(Int, 5)}, Signed)},
    {37, serve(terminalCharacters, {in(Fix, 1)}, Signed)},
    {39, serve(setBaseName, {in(Int, 1)}, Unsigned)},
    {40, serve(processMicroTimes, {}, ProcessMicroTimes)},
    {41, serve(loadLibrary, {in(Int, 1)}, Unsigned, true)},
    {42, serve(findSymbol, {in(Int, 1), in(Int, 2)}, Unsigned)},
    {43, serve(freeLibrary, {in(Int, 1)}, Unsigned)},
    {44, serve(moduleHandle, {in(Int, 1)}, Unsigned)},
    {51, serve(objectsOfType, {in(Data, 1), in(Fix, 2), in(Int, 3), in(Fix, 4)}, Signed)},
    {52, serve(barHook, {in(Int, 1), in(Raw, 2), in(Int, 2)}, Unsigned)},
    {53, serve(setSignal, {in(Int, 1), in(Int, 2)}, Unsigned)},
    {55, serve(putEnvironment, {in(Int, 1)}, Word)},
    {58, serve(unknownArgument, {in(Int, 1)}, Word)},
    {64, serve(fileVersion, {in(Int, 1)}, WordAndExtras)},
    {70, serve(moduleFileName, {in(Raw, 1), in(Int, 2)}, Word)},
    {78, serve(setWorkingDirectory, {in(Int, 1)}, Unsigned)},
    {80, serve(stackAllocated, {in(Raw, 1)}, Word)},
    {88, serve(clockTimes, {}, ClockTimes)},
    {91, serve(sharedLibraryName, {}, UnsignedAndExtra)},
    {100, serve(runShell,
                {in(Raw, 1), in(Raw, 2), in(Raw, 3), in(Raw, 4), in(Raw, 5), in(Raw, 6),
                 in(Raw, 7), in(Int, 8)},
                WordAndExtras)},
    {105, serve(commandArgumentCount, {}, Word)},
    {124, serve(zoneMinutes, {}, Word)},
    {125, serve(daylightSaving, {in(Int, 1)}, Word)},
}};

constexpr std::array<Listed, 30> kAuxListed = {{
    {0, serve(shell, {in(Int, 1)}, Word)},
    {14, serve(changeDirectory, {in(Int, 1)}, Word)},
    {18, serve(isReborn, {}, TOrNil)},
    {25, serve(openStringFile, {in(Int, 1)}, Word)},
    {26, serve(closeStringFile, {}, Word)},
    {32, serve(cachedCodeVector, {in(Raw, 1)}, Word)},
    {33, serve(earlyError, {in(Raw, 1)}, Word)},
    {54, serve(makeDirectory, {in(Int, 1), in(Raw, 2)}, Word)},
    {56, serve(hasRealArguments, {}, TOrNil)},
    {59, serve(homeDirectory, {}, Unsigned)},
    {60, serve(majorVersion, {}, Unsigned)},
    {61, serve(minorVersion, {}, Unsigned)},
    {66, serve(programName, {}, Unsigned)},
    {67, serve(diagnosticLine, {in(Raw, 1), in(Int, 2), in(Int, 3), in(Int, 4)}, Word)},
    {68, serve(patchError, {in(Int, 1)}, Word)},
    {69, serve(patchMessage, {in(Int, 1), in(Fix, 2)}, Word)},
    {71, serve(serviceByName, {in(Int, 1), in(Int, 2)}, Signed)},
    {72, serve(holdersOf, {in(Data, 1), in(Raw, 2)}, Signed)},
    {73, serve(underWindows, {}, TOrNil)},
    {74, serve(missingStubAddress, {}, Unsigned)},
    {75, serve(removeDirectory, {in(Int, 1)}, Word)},
    {76, serve(nextRemoteCommand, {}, Word)},
    {77, serve(pendingEvents, {in(Int, 1)}, Signed)},
    {79, serve(notNinetyFiveFamily, {}, Signed)},
    {81, serve(setSplash, {in(Data, 1), in(Fix, 2), in(Data, 3), in(Fix, 4)}, Signed)},
    {82, serve(symbolTable, {in(Int, 1)}, Signed)},
    {83, serve(mixedConvert, {in(Raw, 1)}, Word)},
    {87, serve(bindAndCallAddress, {}, Unsigned)},
    {89, serve(semidirectAddress, {}, Unsigned)},
    {127, serve(runningMutex, {}, Signed)},
}};

constexpr std::array<Listed, 35> kAux2Listed = {{
    {15, serve(eightBitInput, {in(Fix, 1)}, Word)},
    {47, serve(setLsoFile, {in(Int, 1)}, Nil)},
    {49, serve(lsoFile, {}, Unsigned)},
    {65, serve(purifyCodeVector, {in(Raw, 1)}, Word)},
    {84, serve(loggedInUser, {in(Raw, 1), in(Raw, 2)}, Word)},
    {85, serve(fileAttributes, {in(Int, 1)}, Signed)},
    {90, serve(setDebugFlags, {in(Int, 1)}, Nil)},
    {92, serve(lispStatic, {in(Raw, 1), in(Raw, 2), in(NotNil, 2)}, Nil)},
    {93, serve(methodTrampoline, {in(Fix, 1)}, Unsigned)},
    {94, serve(firstLinkedLibrary, {}, Unsigned)},
    {95, serve(nextLinkedLibrary, {}, Unsigned)},
    {96, serve(systemLibrary, {in(Int, 1)}, Word)},
    {97, serve(errorNumberText, {in(Int, 1)}, Unsigned)},
    {98, serve(allocateNative, {in(Fix, 1)}, Word)},
    {99, serve(freeNative, {in(Raw, 1)}, Word)},
    {102, serve(diskSpace, {in(Int, 1), in(Int, 2), in(Int, 3), in(Int, 4)}, Signed)},
    {103, serve(setPam, {in(Fix, 1)}, Signed)},
    {104, serve(getPam, {}, Word, true)},
    {106, serve(setLocale, {in(Int, 1), in(Int, 2)}, Unsigned)},
    // The digest services answer nil: their operations return nothing.
    {107, serve(md5String, {in(Data, 1), in(Int, 2), in(Data, 3)}, Nil)},
    {108, serve(md5Init, {in(Data, 1)}, Nil)},
    {109, serve(md5Update, {in(Data, 1), in(Fix, 2), in(Data, 3)}, Nil)},
    {110, serve(md5Final, {in(Data, 1), in(Data, 2)}, Nil)},
    {111, serve(dnsInformation, {in(Data, 1), in(Fix, 2)}, Signed)},
    {112, serve(sharedLibraryHandle, {}, Unsigned)},
    {113, serve(executableHandle, {}, Unsigned)},
    {115, serve(systemErrorText, {in(Fix, 1)}, Unsigned)},
    {116, serve(showConsole, {in(Int, 1)}, Signed)},
    {117, serve(disableCloseButton, {in(Int, 1)}, Nil)},
    {118, serve(enableCloseButton, {}, Nil)},
    {119, serve(trayIcon, {in(Int, 1)}, Nil)},
    {120, serve(minmaxState, {in(Int, 1), in(Int, 2)}, Nil)},
    {121, serve(consoleSize, {in(Int, 1)}, Nil)},
    {123, serve(messageWithTimeout, {in(Int, 1), in(Int, 2), in(Int, 3), in(Int, 4)}, Nil)},
    {126, serve(consoleTitle, {in(Int, 1)}, Nil)},
}};

constexpr Tables kTables = {
    expand<kMainCodes>(kMainListed, 0),
    expand<kAuxCodes>(kAuxListed, 0),
    expand<kAux2Codes>(kAux2Listed, kAux2FirstCode),
};

template <size_t N>
constexpr bool everyServedRowRuns(const std::array<Row, N>& rows) {
  for (const Row& row : rows)
    if (row.served && row.operation == nullptr) return false;
  return true;
}
static_assert(everyServedRowRuns(kTables.main) && everyServedRowRuns(kTables.aux) &&
              everyServedRowRuns(kTables.aux2));

}  // namespace

const Tables* activeTables = &kTables;
const Tables& builtInTables() {
  return kTables;
}

}  // namespace lisp::system_call_dispatch

namespace {

namespace sd = lisp::system_call_dispatch;
using lisp::lispval;

constexpr uint8_t kNegativeSign = 0x80;
constexpr int32_t kVectorDataOffset = -0xa;
constexpr int32_t kErrorNoService = 22;

uint32_t intOf(lispval word) {
  if (lisp::isFixnum(word)) return static_cast<uint32_t>(lisp::fixnumValue(word));
  // Not an integer (a string, say, where an address belongs): no machine
  // word to give, rather than its header read as digits.
  if (!lisp::isOther(word) ||
      lisp::typeCodeOf(lisp::wordAt(word, lisp::kHeaderOffset)) != lisp::type_code::Bignum)
    return 0;
  const auto* bignum = lisp::objectOf<lisp::BignumObject>(word);
  const uint32_t digits = lisp::bignumDigitCount(bignum->header);
  // A one-digit bignum has no digit 1 (its second half-word is padding).
  uint32_t value = bignum->digits[0] | (digits >= 2 ? uint32_t{bignum->digits[1]} << 16 : 0);
  if (((bignum->header >> 8) & 0xff) == kNegativeSign) value = 0u - value;
  return value;
}

// A vector-data argument must be a vector whose data starts at p-0xa (a
// vector with a fixnum length word): anything else would hand the service an
// address of no object's data. Decision: such a call is refused with error 22,
// as an unserved code is, and no service runs.
bool isVectorWithData(lispval word) {
  if (!lisp::isOther(word)) return false;
  const lisp::VectorType* type =
      lisp::vectorType(lisp::typeCodeOf(lisp::wordAt(word, lisp::kHeaderOffset)));
  return type && type->fixnumLength;  // data 8 bytes past the header, at p-0xa
}

// Bytes of a vector's data (one that passed isVectorWithData).
uint64_t vectorDataBytes(lispval word) {
  const lisp::VectorType* type =
      lisp::vectorType(lisp::typeCodeOf(lisp::wordAt(word, lisp::kHeaderOffset)));
  const lispval length = lisp::wordAt(word, kVectorDataOffset - 4);
  if (!lisp::isFixnum(length) || lisp::fixnumValue(length) < 0) return 0;
  return lisp::vectorElementBytes(*type, static_cast<uint64_t>(lisp::fixnumValue(length)));
}

// Vector-data arguments the service writes or reads a known number of
// bytes at: a fixed number, or as many as another argument says (the
// native word at `countWord`). A vector with less room would have the
// service run past its end into the next heap object. Decision: such a call
// is refused with error 22, as a vector-data argument that is no vector is.
struct DataRoom {
  uint8_t dispatcher, code, index;  // the row, and the argument holding the data
  uint32_t bytes;                   // fixed room, when not told by a count
  int8_t countWord = -1;            // native word with the count of bytes, or -1
};
constexpr uint32_t kContextBytes = sizeof(crypto::Md5Context);
constexpr uint32_t kDigestBytes = crypto::kMd5DigestBytes;
constexpr DataRoom kDataRooms[] = {
    {0, 1, 1, 16},                                  // the time record: four words
    {2, 107, 1, 0, 1}, {2, 107, 3, kDigestBytes},   // digest of a text
    {2, 108, 1, kContextBytes},                     // context
    {2, 109, 1, kContextBytes}, {2, 109, 3, 0, 1},  // context, bytes added
    {2, 110, 1, kDigestBytes}, {2, 110, 2, kContextBytes},
    {2, 111, 1, 0, 1},                              // resolver text of a given size
};

bool dataRoomsHold(uint32_t dispatcher, uint32_t code, const lispval* vectors,
                   const sd::NativeWords& words) {
  for (const DataRoom& room : kDataRooms) {
    if (room.dispatcher != dispatcher || room.code != code) continue;
    if (!isVectorWithData(vectors[room.index])) return false;
    int64_t needed = room.bytes;
    if (room.countWord >= 0) needed = static_cast<int32_t>(words[static_cast<size_t>(room.countWord)]);
    if (needed < 0 || static_cast<uint64_t>(needed) > vectorDataBytes(vectors[room.index]))
      return false;
  }
  return true;
}

struct Call {
  const lispval* arguments;
  uint32_t count;
  lispval nil;
  lispval thread;
  PendingResult* results;

  lispval argument(uint8_t index) const { return index < count ? arguments[index] : nil; }

  uint32_t convert(sd::Argument a) const {
    const lispval word = argument(a.index);
    switch (a.from) {
      case sd::From::Unused:
        return 0;
      case sd::From::Raw:
        return word;
      case sd::From::Fix:
        return static_cast<uint32_t>(lisp::fixnumValue(word));
      case sd::From::Int:
        return intOf(word);
      case sd::From::Data:
        return word + static_cast<uint32_t>(kVectorDataOffset);
      case sd::From::NotNil:
        return word != nil ? 1 : 0;
    }
    return 0;
  }
};

uint64_t answer(uint32_t action, uint32_t payload, bool testsClError = false) {
  return uint64_t{action | (testsClError ? kSystemCallTestsClError : 0u)} | (uint64_t{payload} << 32);
}

uint64_t resultOf(const sd::Row& row, uint32_t r, const Call& call) {
  const bool tests = row.testsClError;
  const auto pend = [&call](uint32_t index, uint32_t word, uint32_t action) {
    call.results[index] = {word, action};
  };
  switch (row.result) {
    case sd::Result::Word:
      return answer(kSystemCallValue, r, tests);
    case sd::Result::Signed:
      return answer(kSystemCallSigned, r, tests);
    case sd::Result::Unsigned:
      return answer(kSystemCallUnsigned, r, tests);
    case sd::Result::Nil:
      return answer(kSystemCallValue, call.nil, tests);
    case sd::Result::TOrNil:
      return answer(kSystemCallValue,
                    r != 0 ? lisp::nil_block::tFor(call.nil) : call.nil, tests);
    case sd::Result::RecordTimes: {
      const auto* record = reinterpret_cast<const int32_t*>(
          static_cast<uintptr_t>(call.argument(1) + static_cast<uint32_t>(kVectorDataOffset)));
      pend(0, static_cast<uint32_t>(record[0]), kSystemCallSigned);
      for (uint32_t k = 1; k < 4; ++k) pend(k, lisp::makeFixnum(record[k]), kSystemCallValue);
      return answer(kSystemCallValues, 4, tests);
    }
    case sd::Result::ProcessTimes:
      pend(0, static_cast<uint32_t>(s_utime), kSystemCallSigned);
      pend(1, static_cast<uint32_t>(s_stime), kSystemCallSigned);
      pend(2, static_cast<uint32_t>(s_gcutime), kSystemCallSigned);
      pend(3, static_cast<uint32_t>(s_gcstime), kSystemCallSigned);
      return answer(kSystemCallValues, 4, tests);
    case sd::Result::ProcessMicroTimes: {
      const int32_t numbers[] = {s_usec,   s_uusec,   s_ssec,   s_susec,
                                 s_gcusec, s_gcuusec, s_gcssec, s_gcsusec};
      uint32_t k = 0;
      for (const int32_t n : numbers) pend(k++, lisp::makeFixnum(n), kSystemCallValue);
      for (const lispval fault : {s_pfmajor, s_pfminor, s_gcpfmajor, s_gcpfminor})
        pend(k++, fault, kSystemCallValue);
      return answer(kSystemCallValues, k, tests);
    }
    case sd::Result::ClockTimes:
      pend(0, static_cast<uint32_t>(s_utime), kSystemCallSigned);
      pend(1, lisp::makeFixnum(s_stime), kSystemCallValue);
      pend(2, lisp::makeFixnum(s_secs), kSystemCallValue);
      pend(3, lisp::makeFixnum(s_days), kSystemCallValue);
      return answer(kSystemCallValues, 4, tests);
    case sd::Result::WordAndExtras:
      pend(0, r, kSystemCallValue);
      for (uint32_t k = 0; k < 4; ++k)
        pend(k + 1,
             lisp::wordAt(call.thread, lisp::thread_record::kExtraResults + static_cast<int32_t>(4 * k)),
             kSystemCallValue);
      return answer(kSystemCallValues, 5, tests);
    case sd::Result::WordAndTwoExtras:
      pend(0, r, kSystemCallValue);
      for (uint32_t k = 0; k < 2; ++k)
        pend(k + 1,
             lisp::wordAt(call.thread,
                          lisp::thread_record::kExtraResults + static_cast<int32_t>(4 * k)),
             kSystemCallValue);
      return answer(kSystemCallValues, 3, tests);
    case sd::Result::UnsignedAndExtra:
      pend(0, r, kSystemCallUnsigned);
      pend(1, lisp::wordAt(call.thread, lisp::thread_record::kExtraResults), kSystemCallValue);
      return answer(kSystemCallValues, 2, tests);
  }
  return answer(kSystemCallValue, call.nil, tests);
}

const sd::Row* rowFor(uint32_t dispatcher, uint32_t code) {
  const sd::Tables& tables = *sd::activeTables;
  switch (dispatcher) {
    case 0:
      return code < sd::kMainCodes ? &tables.main[code] : nullptr;
    case 1:
      return code < sd::kAuxCodes ? &tables.aux[code] : nullptr;
    default: {
      const uint32_t index = code - sd::kAux2FirstCode;  // unsigned: codes below 8 are off the table
      return index < sd::kAux2Codes ? &tables.aux2[index] : nullptr;
    }
  }
}

}  // namespace

extern "C" uint64_t system_call_operation(uint32_t dispatcher, const lispval* arguments,
                                          uint32_t count, lispval nil, lispval thread,
                                          PendingResult* results) {
  const Call call{arguments, count, nil, thread, results};
  // code >> 2 compared unsigned: negative codes are off every table.
  const uint32_t code = call.argument(0) >> 2;
  const sd::Row* row = rowFor(dispatcher, code);
  if (row == nullptr || !row->served) {
    if (dispatcher < 2) return answer(kSystemCallForward, 0);
    return answer(kSystemCallError, lisp::makeFixnum(kErrorNoService));
  }
  for (const sd::Argument& a : row->arguments)
    if (a.from == sd::From::Data && !isVectorWithData(call.argument(a.index)))
      return answer(kSystemCallError, lisp::makeFixnum(kErrorNoService));
  if (row->result == sd::Result::RecordTimes && !isVectorWithData(call.argument(1)))
    return answer(kSystemCallError, lisp::makeFixnum(kErrorNoService));
  sd::NativeWords words{};
  for (size_t i = 0; i < words.size(); ++i) words[i] = call.convert(row->arguments[i]);
  std::array<lispval, sd::kArgumentWords + 1> given{};
  for (uint8_t i = 0; i < given.size(); ++i) given[i] = call.argument(i);
  if (!dataRoomsHold(dispatcher, code, given.data(), words))
    return answer(kSystemCallError, lisp::makeFixnum(kErrorNoService));
  return resultOf(*row, row->operation(words), call);
}
