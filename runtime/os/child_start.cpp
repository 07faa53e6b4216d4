// Starting a child: its standard streams, environment, working directory and
// process group, then its pipes' buffers, threads and descriptors.
//
// Every descriptor made for a start is owned by one ChildStreams until the
// child runs; any failure before that closes them all, so a start that fails
// leaves the process's open descriptors as they were.

#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "launcher/host_record.h"
#include "platform/memory.h"
#include "platform/threads.h"
#include "platform/waitable.h"
#include "runtime/os/child_environment.h"
#include "runtime/os/child_processes.h"
#include "runtime/os/command_line.h"
#include "runtime/os/file_call_errors.h"
#include "runtime/os/pipe_threads.h"
#include "runtime/os/pseudo_descriptors.h"
#include "runtime/os/thread_record_access.h"
#include "runtime/rs/object_layout.h"

namespace lisp::os {

namespace {

// Results of a start.
constexpr int32_t kStarted = 0;
constexpr int32_t kEntryVectorCommand = 1;
constexpr int32_t kCannotStart = 2;
constexpr int32_t kStreamFailed = 5;

// Stream choices.
constexpr int32_t kStreamNone = -4;
constexpr int32_t kStreamPipe = -2;
constexpr int32_t kStreamOwn = -1;
constexpr int32_t kStreamAsOutput = -3;  // error stream only

constexpr int kInput = 0;
constexpr int kOutput = 1;
constexpr int kError = 2;
constexpr int kStreams = 3;

// Descriptors below this are the standard streams; the child's copies are
// kept above them so that placing one never undoes another.
constexpr int kFirstFreeDescriptor = 3;

// Decision: a stream chosen as nothing is the null device, opened for
// reading and writing. A closed descriptor would let the child's next open
// land on its standard stream; the null device gives end of file to reads
// and takes every write.
constexpr char kNothingDevice[] = "/dev/null";

// Each stream's descriptor for the child, and the Lisp end of a pipe.
class ChildStreams {
 public:
  ChildStreams() = default;
  ChildStreams(const ChildStreams&) = delete;
  ChildStreams& operator=(const ChildStreams&) = delete;
  ~ChildStreams() {
    closeChildEnds();
    for (int& end : lispEnds_) closeOne(end);
  }

  // Sets up stream `stream` as `choice` chooses; false when that fails.
  bool choose(int stream, lispval choice) {
    if (!isFixnum(choice)) return false;
    const int32_t value = fixnumValue(choice);
    if (value != kStreamNone) anyChosen_ = true;
    switch (value) {
      case kStreamNone:
        return keepAbove(stream, ::open(kNothingDevice, O_RDWR | O_CLOEXEC));
      case kStreamPipe:
        return makePipe(stream);
      case kStreamOwn:
        return copyAbove(stream, stream);
      case kStreamAsOutput:
        if (stream == kError) return copyAbove(stream, childEnds_[kOutput]);
        [[fallthrough]];
      default: {
        const int32_t descriptor =
            pseudofd_to_fd(static_cast<uint32_t>(value), host::kKindRuntimeDescriptor);
        return descriptor >= 0 && copyAbove(stream, descriptor);
      }
    }
  }

  bool anyChosen() const { return anyChosen_; }
  int childEnd(int stream) const { return childEnds_[stream]; }
  bool isPipe(int stream) const { return lispEnds_[stream] >= 0; }
  int lispEnd(int stream) const { return lispEnds_[stream]; }
  // Hands the Lisp end of a pipe over to its buffer.
  int takeLispEnd(int stream) {
    const int end = lispEnds_[stream];
    lispEnds_[stream] = -1;
    return end;
  }
  void closeChildEnds() {
    for (int& end : childEnds_) closeOne(end);
  }

 private:
  static void closeOne(int& descriptor) {
    if (descriptor >= 0) ::close(descriptor);
    descriptor = -1;
  }

  // Takes `descriptor` as the child's, moved above the standard streams.
  bool keepAbove(int stream, int descriptor) {
    if (descriptor < 0) return false;
    if (descriptor >= kFirstFreeDescriptor) {
      childEnds_[stream] = descriptor;
      return true;
    }
    const bool copied = copyAbove(stream, descriptor);
    ::close(descriptor);
    return copied;
  }

  bool copyAbove(int stream, int descriptor) {
    childEnds_[stream] = ::fcntl(descriptor, F_DUPFD_CLOEXEC, kFirstFreeDescriptor);
    return childEnds_[stream] >= 0;
  }

  // The child reads its input's pipe and writes the others.
  bool makePipe(int stream) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) return false;
    const bool childReads = stream == kInput;
    lispEnds_[stream] = childReads ? ends[1] : ends[0];
    return keepAbove(stream, childReads ? ends[0] : ends[1]);
  }

  int childEnds_[kStreams] = {-1, -1, -1};
  int lispEnds_[kStreams] = {-1, -1, -1};
  bool anyChosen_ = false;
};

// The command line's text: a Lisp string's characters in UTF-8, up to the
// first NUL character (the command line is a C text). Nothing for an object
// that is not a string.
std::optional<std::string> commandText(lispval command) {
  if (!isOther(command)) return std::nullopt;
  const uint32_t header = wordAt(command, kHeaderOffset);
  const VectorType* type = vectorType(typeCodeOf(header));
  if (!type || type->element != ElementKind::Character) return std::nullopt;
  const int32_t length = type->fixnumLength ? fixnumValue(wordAt(command, kHeaderOffset + 4))
                                            : static_cast<int32_t>(headerLength(header));
  const auto* characters = reinterpret_cast<const uint16_t*>(
      static_cast<uintptr_t>(objectAddress(command) + vectorDataOffset(*type)));
  std::string text;
  for (int32_t i = 0; i < length && characters[i] != 0; ++i) {
    const uint16_t c = characters[i];
    if (c < 0x80) {
      text += static_cast<char>(c);
    } else if (c < 0x800) {
      text += static_cast<char>(0xc0 | (c >> 6));
      text += static_cast<char>(0x80 | (c & 0x3f));
    } else {
      text += static_cast<char>(0xe0 | (c >> 12));
      text += static_cast<char>(0x80 | ((c >> 6) & 0x3f));
      text += static_cast<char>(0x80 | (c & 0x3f));
    }
  }
  return text;
}

std::string currentDirectory() {
  char buffer[PATH_MAX];
  return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string(".");
}

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (std::string& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

// What posix_spawn is given besides the program and its words.
class SpawnSettings {
 public:
  SpawnSettings() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // The standard streams (unless none was chosen: the child then keeps the
  // process's), descriptors inherited or not, the working directory, and a
  // process group of its own; signals start unblocked and with their
  // default actions, as in a freshly started program.
  bool set(const ChildStreams& streams, bool inherit, const char* directory) {
    bool ok = true;
    if (streams.anyChosen())
      for (int stream = 0; stream < kStreams; ++stream)
        ok = ok &&
             posix_spawn_file_actions_adddup2(&actions_, streams.childEnd(stream), stream) == 0;
    if (!inherit)
      ok = ok && posix_spawn_file_actions_addclosefrom_np(&actions_, kFirstFreeDescriptor) == 0;
    if (directory) ok = ok && posix_spawn_file_actions_addchdir_np(&actions_, directory) == 0;
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    ok = ok && posix_spawnattr_setpgroup(&attributes_, 0) == 0 &&
         posix_spawnattr_setsigmask(&attributes_, &none) == 0 &&
         posix_spawnattr_setsigdefault(&attributes_, &all) == 0 &&
         posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                    POSIX_SPAWN_SETSIGDEF) == 0;
    return ok;
  }

  const posix_spawn_file_actions_t* actions() const { return &actions_; }
  const posix_spawnattr_t* attributes() const { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

uint32_t* resultWords() {
  return thread_mv_slots();
}

void setResultWord(int index, lispval value) {
  if (uint32_t* words = resultWords()) words[index] = value;
}

// The kind-5 descriptors by which the child's pipes reach Lisp, taken
// before the child starts: a table without room for all of them is a
// set-up failure, and no child runs whose output would be lost. Those not
// claimed are given back. Without a table (no host) the pipes get none.
class PipeDescriptors {
 public:
  PipeDescriptors() = default;
  PipeDescriptors(const PipeDescriptors&) = delete;
  PipeDescriptors& operator=(const PipeDescriptors&) = delete;
  ~PipeDescriptors() {
    for (int32_t descriptor : descriptors_)
      if (descriptor >= 0) descriptorTable()[descriptor].kind = host::kKindFree;
  }

  bool reserve(const ChildStreams& streams) {
    if (!descriptorTable()) return true;
    for (int stream = 0; stream < kStreams; ++stream) {
      if (!streams.isPipe(stream)) continue;
      descriptors_[stream] =
          allocate_pseudofd(static_cast<uint32_t>(streams.lispEnd(stream)), host::kKindChildPipe);
      if (descriptors_[stream] < 0) return false;
    }
    return true;
  }
  // The stream's descriptor, now the caller's; -1 when it has none.
  int32_t claim(int stream) { return std::exchange(descriptors_[stream], -1); }

 private:
  int32_t descriptors_[kStreams] = {-1, -1, -1};
};

// Gives the child's pipes their buffers and threads; with descriptors, each
// gets its kind-5 descriptor named in the result words. A pipe left without
// one is detached at once, so its thread ends.
void servePipes(ChildStreams& streams, uint32_t process, PipeDescriptors* descriptors) {
  host::DescriptorEntry* table = descriptorTable();
  for (int stream = 0; stream < kStreams; ++stream) {
    if (!streams.isPipe(stream)) continue;
    const bool lispWrites = stream == kInput;
    const int lispEnd = streams.takeLispEnd(stream);
    ChildPipeBuffer* buffer = newPipeBuffer(lispEnd, process, lispWrites);
    const int32_t descriptor = descriptors ? descriptors->claim(stream) : -1;
    if (descriptor >= 0) {
      host::DescriptorEntry& entry = table[descriptor];
      entry.words[0] = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(buffer));
      entry.flags = lispWrites ? host::kFlagPipeDirectionB : host::kFlagPipeDirectionA;
      buffer->entry = &entry;
      setResultWord(1 + stream, makeFixnum(descriptor));
    }
    // Linked before the thread runs: a pipe that ends at once still marks
    // its entry ended.
    startPipeThread(buffer, lispWrites);
    if (descriptor < 0) detachPipeBuffer(buffer);
  }
}

int32_t startChild(lispval command, lispval noWait, const lispval choices[kStreams],
                   lispval environment, const char* directory) {
  ChildStreams streams;
  for (int stream = 0; stream < kStreams; ++stream)
    if (!streams.choose(stream, choices[stream])) return kStreamFailed;
  const bool inherit = !(isFixnum(choices[kError]) && fixnumValue(choices[kError]) == kStreamNone);

  std::vector<std::string> environmentEntries;
  const bool ownEnvironment = environment != nilval;
  if (ownEnvironment) {
    // Decision: an environment that is not a block of raw bytes is a stream
    // set-up failure; nothing is started.
    std::optional<std::vector<std::string>> entries = lispEnvironmentEntries(environment);
    if (!entries) return kStreamFailed;
    environmentEntries = mergeEnvironments(*entries, processEnvironment());
  }

  const std::optional<std::string> line = commandText(command);
  if (!line) return kCannotStart;
  std::vector<std::string> words = splitCommandLine(*line);
  if (words.empty()) return kCannotStart;
  const std::optional<std::string> program =
      findProgram(words[0], std::getenv("PATH"), currentDirectory());
  if (!program) return kCannotStart;

  const bool wait = noWait != nilval;
  PipeDescriptors descriptors;
  if (!wait && !descriptors.reserve(streams)) return kStreamFailed;
  // Reads of the pipes check their buffers, also once no descriptor is left.
  platform::prepareCheckedCopies();

  SpawnSettings settings;
  if (!settings.set(streams, inherit, directory)) return kCannotStart;
  std::vector<char*> arguments = pointersTo(words);
  std::vector<char*> environmentPointers = pointersTo(environmentEntries);
  pid_t child = 0;
  if (posix_spawn(&child, program->c_str(), settings.actions(), settings.attributes(),
                  arguments.data(), ownEnvironment ? environmentPointers.data() : ::environ) != 0)
    return kCannotStart;
  streams.closeChildEnds();

  const uint32_t process = platform::watchChildProcess(child);
  if (wait) {
    // Decision: pipes of a child waited for get no descriptors; they are
    // detached before the wait, so that no pipe is left full with the child
    // blocked on it and no thread is left behind.
    servePipes(streams, process, nullptr);
    const platform::Handle handles[] = {process};
    platform::waitForAny(handles, platform::kWaitForever);
    uint32_t exitCode = 0;
    platform::exitCodeOf(process, &exitCode);
    platform::closeHandle(process);
    setResultWord(0, makeFixnum(static_cast<int32_t>(exitCode)));
    return kStarted;
  }
  // A child the table cannot hold runs unrecorded (the platform still reaps
  // it) and its pipes are detached.
  const bool recorded = recordChild(process, child);
  if (recorded)
    setResultWord(0, makeFixnum(child));
  else
    platform::closeHandle(process);
  servePipes(streams, recorded ? process : platform::kNoHandle, recorded ? &descriptors : nullptr);
  return kStarted;
}

}  // namespace

}  // namespace lisp::os

using namespace lisp;

extern "C" {

lispval sy_run_shell2(lispval command, lispval noWait, lispval input, lispval output, lispval error,
                      lispval show, lispval environment, const char* directory) {
  if (isOther(command) && typeCodeOf(wordAt(command, kHeaderOffset)) == type_code::EntryVector)
    return makeFixnum(os::kEntryVectorCommand);
  if (uint32_t* words = os::resultWords())
    for (int i = 0; i < 4; ++i) words[i] = nilval;
  (void)show;  // a window's show command: nothing to act on here
  const lispval choices[os::kStreams] = {input, output, error};
  return makeFixnum(os::startChild(command, noWait, choices, environment, directory));
}

lispval sy_run_shell(lispval command, lispval noWait, lispval input, lispval output, lispval error,
                     lispval show, lispval environment) {
  return sy_run_shell2(command, noWait, input, output, error, show, environment, nullptr);
}

}  // extern "C"
