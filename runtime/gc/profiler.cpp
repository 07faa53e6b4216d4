// The sampling profiler. Each sample walks the profiled thread's frames from
// the innermost outwards and writes only the frames in which its stack
// differs from the previous sample's; the index file says how many.
//
// The invariant the file keeps: the previous-stack record holds the
// innermost entries of the stack that a reader of the files has rebuilt
// after the last sample, and its depth is that stack's whole depth.
//
// Time samples run on the timer thread while the profiled thread is
// suspended, so nothing on that path allocates, prints or takes a lock that a
// suspended thread may hold: the record is guarded by a try-lock, and a
// failed write is only noted (stop_profiler reports it).

#include "runtime/gc/profiler.h"

#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "runtime/gc/frame_functions.h"
#include "runtime/gc/gc_state.h"
#include "runtime/gc/native_heap.h"
#include "runtime/gc/write_barrier.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/profiler_timer.h"
#include "runtime/os/thread_record_access.h"
#include "runtime/os/thread_registry.h"
#include "runtime/rs/nil_block.h"
#include "runtime/rs/object_layout.h"
#include "runtime/rs/thread_record.h"

extern "C" {
uint32_t timerrate = 0;
uint32_t start_return_addr = 0;
int32_t profiler_max_samples = 0;
int32_t profiler_samples_collected = 0;
int32_t profiler_type = lisp::profiler::kOff;
uint32_t prof_stackbase = 0;
uint32_t extra_frame[3] = {};
lisp::profiler::ProfilerInfo* profiler_info = nullptr;
}

namespace lisp::profiler {

namespace {

namespace tr = lisp::thread_record;

constexpr uint32_t kFrameDistanceLimit = 8000;  // ebp - esp of a plausible frame
constexpr uint32_t kStartReturnSlack = 30;
constexpr uint32_t kFilterBytes = 100;  // of the fault filter never sampled
constexpr uint8_t kPushFramePointer = 0x55;
constexpr uint32_t kClosureFlag = 0x0400;    // bit 0x04 of the second header byte
// GlobProfileClosures, global word 117.
constexpr int32_t kProfileClosures = lisp::nil_block::runtimeGlobalOffset(117);
constexpr uint32_t kMostLoadedRanges = 512;
constexpr uint32_t kPathBytes = 4096;

// Texts printed by this module.
constexpr const char* kSymbolWarning = "Warning: while extracting symbols from %s: %s\n";
constexpr const char* kWriteFailed =
    "profiler: a write to the profile files failed; both removed\n";

uint32_t address(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}
uint32_t& wordAt(uint32_t at) {
  return *reinterpret_cast<uint32_t*>(static_cast<uintptr_t>(at));
}

// ---- the record's lock and the state beside the record ----

std::atomic_flag recordBusy = ATOMIC_FLAG_INIT;
bool tryLockRecord() {
  return !recordBusy.test_and_set(std::memory_order_acquire);
}
void lockRecord() {
  while (!tryLockRecord()) std::this_thread::yield();
}
void unlockRecord() {
  recordBusy.clear(std::memory_order_release);
}

bool writeFailure = false;
char dataPath[kPathBytes];
char indexPath[kPathBytes];

struct CodeRange {
  uint32_t start, end;
};
CodeRange loadedRanges[kMostLoadedRanges];
uint32_t loadedRangeCount = 0;

// ---- buffers ----

void writeWords(ProfileBuffer& buffer, uint32_t words) {
  if (buffer.descriptor < 0 || words == 0 || writeFailure) return;
  const char* bytes = reinterpret_cast<const char*>(buffer.words);
  size_t left = 2 * size_t{words};
  while (left > 0) {
    const ssize_t written = ::write(buffer.descriptor, bytes, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      writeFailure = true;
      return;
    }
    bytes += written;
    left -= static_cast<size_t>(written);
  }
}

void append(ProfileBuffer& buffer, uint16_t word) {
  buffer.words[buffer.count++] = word;
}

// Writes the whole buffer and closes its file.
void closeBuffer(ProfileBuffer& buffer) {
  if (buffer.descriptor < 0) return;
  writeWords(buffer, buffer.count);
  buffer.count = 0;
  if (::close(buffer.descriptor) != 0) writeFailure = true;
  buffer.descriptor = -1;
}

void clearStack(StackRecord& stack) {
  stack.last = -1;
  stack.depth = 0;
  stack.tag = -1;
}

// ---- frames ----

uint32_t extraFrameAddress() {
  return address(&extra_frame[1]);
}
bool isExtra(uint32_t frame) {
  return frame == extraFrameAddress();
}

// The closure-hit vector's position for the closure, taking the first nil
// slot for a new one; -1 when there is no vector or no room.
int32_t closureNumber(lispval closure) {
  if (nilval == 0) return -1;
  const lispval hits = lisp::wordAt(nilval, kProfileClosures);
  if (hits == nilval || !lisp::isOther(hits)) return -1;
  const uint32_t object = lisp::objectAddress(hits);
  if (lisp::typeCodeOf(wordAt(object)) != lisp::type_code::SimpleVector) return -1;
  const int32_t length = lisp::fixnumValue(wordAt(object + 4));
  int32_t firstFree = -1;
  for (int32_t i = 0; i < length; ++i) {
    const lispval element = wordAt(object + 8 + 4 * i);
    if (element == closure) return i;
    if (element == nilval && firstFree < 0) firstFree = i;
  }
  if (firstFree >= 0) {
    const uint32_t slot = object + 8 + 4 * firstFree;
    wordAt(slot) = closure;
    cnoteroot(slot);
  }
  return firstFree;
}

// The entry of the frame whose function slot is [frame - 4], running at pc.
FrameEntry entryFor(uint32_t pc, uint32_t frame) {
  FrameEntry entry{static_cast<int32_t>(pc), frame, -1, 0};
  const lispval slot = wordAt(frame - 4);
  lispval function = slot;
  bool closure = false;
  if (lisp::isOther(slot) && valid_function_object(slot) == 0) {
    // A closure names its template function; anything else is no function.
    if (function_object_subsumes_address(slot, pc, 0) != 1) return entry;
    function = lisp::objectOf<lisp::ClosureObject>(slot)->templateFunction;
    closure = true;
  }
  if (valid_function_object(function) == 0) return entry;
  const int subsumes = function_object_subsumes_address(function, pc, 1);
  if (subsumes == 0) return entry;
  const auto* code = lisp::objectOf<lisp::FunctionObject>(function);
  entry.found = 1;
  entry.offset = subsumes == 1 ? static_cast<int32_t>(pc - code->start) : -1;
  entry.number = static_cast<int32_t>(code->lispSlot1 & 0xffffff);
  if (closure && (code->header & kClosureFlag)) {
    const int32_t position = closureNumber(slot);
    if (position >= 0) {
      entry.number = position;
      entry.offset |= kClosureNumberBit;
    }
  }
  return entry;
}

// One frame of a walk: the frame pointer and the pc running in it.
struct Cursor {
  uint32_t pc;
  uint32_t frame;
};

// Moves to the caller's frame; false at the bottom of the stack.
bool step(Cursor& cursor) {
  const uint32_t returnAddress = get_retaddress(cursor.frame);
  if (!not_bottom_of_stack(cursor.frame, returnAddress)) return false;
  const uint32_t next = next_frame_pointer(cursor.frame);
  // The caller's frame words (link and return address) must lie in the stack too.
  if (next > prof_stackbase || prof_stackbase - next < 8) return false;
  cursor = {returnAddress, next};
  return true;
}

// Whether the previous entry at `at` should count as popped before `entry`.
bool poppedBefore(const FrameEntry& previous, const FrameEntry& entry) {
  if (isExtra(previous.framePointer)) return !isExtra(entry.framePointer);
  return !isExtra(entry.framePointer) && previous.framePointer < entry.framePointer;
}

// Whether the frames outside the cursor's equal the previous entries after
// `at`, as far as kSameFramesToStop of them reach.
bool outerFramesEqual(Cursor cursor, const StackRecord& previous, int32_t at, bool truncated) {
  for (int32_t k = 1; k <= static_cast<int32_t>(kSameFramesToStop); ++k) {
    if (at + k > previous.last) return truncated || !step(cursor);
    if (!step(cursor)) return false;
    const FrameEntry entry = entryFor(cursor.pc, cursor.frame);
    if (!stack_frames_equal(&entry, &previous.entries[at + k])) return false;
  }
  return true;
}

// Puts the new frames on top of the unchanged part of the previous stack.
void mergeIntoPrevious(uint32_t added, int32_t sharedFrom, bool shared, int32_t depth,
                       int32_t tag) {
  ProfilerInfo& record = *profiler_info;
  StackRecord& previous = record.previous;
  const uint32_t tail = shared ? static_cast<uint32_t>(previous.last + 1 - sharedFrom) : 0;
  const uint32_t total = added + tail;
  // A full record (a walk cut at its limit included) keeps its innermost half.
  const uint32_t keep = total >= kStackEntries ? kKeptOnOverflow : total;
  const uint32_t tailKept = keep > added ? std::min(tail, keep - added) : 0;
  std::memmove(&previous.entries[added], &previous.entries[sharedFrom],
               tailKept * sizeof(FrameEntry));
  std::memcpy(previous.entries, record.current.entries, std::min(added, keep) * sizeof(FrameEntry));
  previous.last = static_cast<int32_t>(keep) - 1;
  previous.depth = depth;
  previous.tag = tag;
}

int32_t sampleTag(int32_t depth, int32_t tag) {
  return depth < kShallowDepth ? -1 : tag;
}

// The executable segments of every loaded object but the one holding this code.
int noteObject(dl_phdr_info* object, size_t, void*) {
  const uint32_t own = address(reinterpret_cast<const void*>(&ok_addr_to_profile));
  if (object->dlpi_name == nullptr || object->dlpi_name[0] == '\0') return 0;  // the program
  bool holdsOwnCode = false;
  for (int i = 0; i < object->dlpi_phnum; ++i) {
    const ElfW(Phdr)& segment = object->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD) continue;
    const uint32_t start = static_cast<uint32_t>(object->dlpi_addr + segment.p_vaddr);
    if (own >= start && own - start < segment.p_memsz) holdsOwnCode = true;
  }
  if (holdsOwnCode) return 0;
  for (int i = 0; i < object->dlpi_phnum && loadedRangeCount < kMostLoadedRanges; ++i) {
    const ElfW(Phdr)& segment = object->dlpi_phdr[i];
    if (segment.p_type != PT_LOAD || !(segment.p_flags & PF_X)) continue;
    const uint32_t start = static_cast<uint32_t>(object->dlpi_addr + segment.p_vaddr);
    loadedRanges[loadedRangeCount++] = {start, start + static_cast<uint32_t>(segment.p_memsz)};
  }
  return 0;
}

void copyPath(char* to, const char* from) {
  std::snprintf(to, kPathBytes, "%s", from);
}

}  // namespace

ProfilerInfo* info() {
  return profiler_info;
}

bool writeFailed() {
  return writeFailure;
}

void readLoadedObjects() {
  loadedRangeCount = 0;
  dl_iterate_phdr(noteObject, nullptr);
}

bool inForeignObject(uint32_t pc) {
  for (uint32_t i = 0; i < loadedRangeCount; ++i)
    if (pc >= loadedRanges[i].start && pc < loadedRanges[i].end) return true;
  return false;
}

SampleStart firstFrame(const platform::ThreadContext& context) {
  const uint32_t pc = get_current_program_counter(&context);
  return {get_current_frame_ptr(&context, pc), pc};
}

bool recordSample(SampleStart start, int32_t tag) {
  if (start.frame == 0 || !tryLockRecord()) return false;
  const bool open = profiler_info && profiler_info->data.descriptor >= 0;
  if (open) record_stack_difference(start.pc, start.frame, tag);
  unlockRecord();
  return open;
}

}  // namespace lisp::profiler

using namespace lisp::profiler;

extern "C" {

// ---- starting and stopping ----

int initialize_data_file_buffer(ProfileBuffer* buffer, const char* path) {
  buffer->count = 0;
  buffer->descriptor = path ? ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666) : -1;
  if (!path) errno = EINVAL;
  return buffer->descriptor;
}

int32_t start_profiler(int32_t type, int32_t maxSamples, int32_t intervalMilliseconds,
                       uint32_t startAddress, const char* dataFile, const char* indexFile) {
  if (type != kTime && type != kSpace) return -1;
  // Decision: a profile that is still running is not restarted under it.
  if (profiler_type != kOff) return -1;
  if (!profiler_info) {
    profiler_info = static_cast<ProfilerInfo*>(std::malloc(sizeof(ProfilerInfo)));
    if (!profiler_info) return perror1("start_profiler");
    profiler_info->data.descriptor = profiler_info->index.descriptor = -1;
  }
  lockRecord();
  ProfilerInfo& record = *profiler_info;
  if (initialize_data_file_buffer(&record.data, dataFile) < 0) {
    std::perror(dataFile ? dataFile : "start_profiler");
    unlockRecord();
    return -1;
  }
  if (initialize_data_file_buffer(&record.index, indexFile) < 0)
    std::perror(indexFile ? indexFile : "start_profiler");
  copyPath(dataPath, dataFile);
  copyPath(indexPath, indexFile ? indexFile : "");
  writeFailure = false;
  record.data.count = 1;  // word 0 waits for the first group's flags
  record.groupMap = {0, 0, 0};
  clearStack(record.current);
  clearStack(record.previous);
  profiler_samples_collected = 0;
  profiler_max_samples = maxSamples;
  timerrate = static_cast<uint32_t>(intervalMilliseconds) * 1000;
  start_return_addr = startAddress + kStartReturnSlack;
  readLoadedObjects();
  profiler_type = type;
  unlockRecord();
  return type;
}

int32_t start_sampling() {
  if (profiler_type == kTime) {
    timer_on(0);
  } else if (profiler_type == kSpace) {
    alloc_counting_on();
  }
  return 0;
}

// Decision: stops the timer and removes the hook whatever the type now is,
// so that a profile that stopped itself at its sample limit (type 0) still
// has its timer parked.
int32_t stop_sampling() {
  if (lisp::profiler_timer::timerThreadExists()) timer_off();
  alloc_counting_off();
  return 0;
}

int32_t stop_profiler() {
  profiler_type = kOff;
  return stop_profiling();
}

int32_t stop_profiling() {
  if (!profiler_info) return 0;
  lockRecord();
  ProfilerInfo& record = *profiler_info;
  const bool wasOpen = record.data.descriptor >= 0;
  if (wasOpen) {
    FrameGroupMap& map = record.groupMap;
    if (map.framesInGroup > 0)
      record.data.words[map.reservedIndex] =
          static_cast<uint16_t>(map.flags << (kFramesPerGroup - map.framesInGroup));
    else
      record.data.count = map.reservedIndex;  // the reserved word has no frames
    map = {0, 0, 0};
    closeBuffer(record.data);
  }
  closeBuffer(record.index);
  const int32_t samples = profiler_samples_collected;
  const bool failed = wasOpen && writeFailure;
  unlockRecord();
  if (!failed) return samples;
  // Files that lost words are not left behind as if they were whole.
  std::fputs(kWriteFailed, stderr);
  ::unlink(dataPath);
  if (indexPath[0]) ::unlink(indexPath);
  return -1;
}

// ---- samples ----

void time_record_stack(int32_t tag, int32_t, const platform::ThreadContext* context) {
  if (profiler_type != kTime) return;
  if (!recordSample(firstFrame(*context), tag)) return;
  if (++profiler_samples_collected >= profiler_max_samples) stop_profiler();
}

int ok_addr_to_profile(const platform::ThreadContext* context) {
  const uint32_t pc = get_current_program_counter(context);
  if (inForeignObject(pc)) return 0;
  // A sample taken inside the fault filter would walk a stack in mid-analysis.
  const uint32_t filter = address(reinterpret_cast<const void*>(&lisp_exception_filter));
  return pc - filter < kFilterBytes ? 0 : 1;
}

void alloc_counting_on() {
  pageallochook = space_record_stack;
  start_malloc_space_profile(8184);
}

void alloc_counting_off() {
  pageallochook = nullptr;
}

// Kept out of line so that the caller's caller is the allocator that called
// the hook.
__attribute__((noinline)) void space_record_stack(int kind, uint32_t bytes) {
  pageallochook = nullptr;  // no samples of the sample's own allocations
  if (profiler_type != kSpace) return;
  uint32_t* owner = Profile_current_thread_p()
                        ? lisp::registry::recordAt(vxm_thread_control.heapOwnerIndex)
                        : nullptr;
  if (owner && kind != kNoSample && tryLockRecord()) {
    prof_stackbase = lisp::registry::word(owner, lisp::thread_record::kStackBase);
    const uint32_t frame = get_current_frame_ptr_space();
    const uint32_t pc = get_current_program_counter_space();
    if (profiler_info->data.descriptor >= 0) {
      record_stack_difference(pc, frame, kind);
      ++profiler_samples_collected;
      if (kind == kLargeObject) {
        // One empty sample for each further page of the object.
        const StackRecord& previous = profiler_info->previous;
        for (uint32_t more = (bytes + 8) / kLargeObjectStep;
             more > 0 && profiler_samples_collected < profiler_max_samples; --more) {
          end_of_one_sample(0, previous.depth, kind);
          ++profiler_samples_collected;
        }
      }
    }
    unlockRecord();
  }
  if (profiler_samples_collected >= profiler_max_samples) {
    stop_sampling();
    stop_profiler();
  } else if (profiler_type == kSpace) {
    pageallochook = space_record_stack;
  }
}

// ---- frames ----

uint32_t get_current_program_counter(const platform::ThreadContext* context) {
  return context->eip;
}

uint32_t get_retaddress(uint32_t frame) {
  return get_return_address(frame);
}

uint32_t get_current_frame_ptr(const platform::ThreadContext* context, uint32_t pc) {
  const uint32_t frame = context->ebp, stack = context->esp;
  if (frame < stack || frame - stack > kFrameDistanceLimit) return 0;
  if (prof_thread == 0) return 0;
  const uint32_t clink =
      thread_clink(lisp::wordOf(reinterpret_cast<uint32_t*>(prof_thread), lisp::Tag::Other));
  if (clink == lisp::thread_record::kEmptyClinkChain || clink == 0) return 0;
  if (wordAt(clink + 4) == 0 && pc >= GsNewTop) {
    // Native code called from Lisp: the sample starts at the calling frame.
    const uint32_t saved = wordAt(clink + 8);
    return saved >= stack && saved < prof_stackbase ? saved : 0;
  }
  if (function_object_subsumes_address(wordAt(frame - 4), pc, 0) == 1) return frame;
  const lisp::lispval functionRegister = context->esi;
  if (valid_function_object(functionRegister) &&
      function_object_subsumes_address(functionRegister, pc, 0) == 1) {
    // The function has not built its frame yet: make one up for it.
    const uint32_t entry = lisp::objectOf<lisp::FunctionObject>(functionRegister)->start;
    const bool pushedFrame =
        *reinterpret_cast<const uint8_t*>(static_cast<uintptr_t>(entry)) == kPushFramePointer &&
        pc > entry;
    extra_frame[0] = functionRegister;
    extra_frame[1] = frame;
    extra_frame[2] = wordAt(stack + (pushedFrame ? 4 : 0));
    return extraFrameAddress();
  }
  return frame;
}

__attribute__((noinline)) uint32_t get_current_frame_ptr_space() {
  const uint32_t own = address(__builtin_frame_address(0));
  return wordAt(wordAt(own));
}

__attribute__((noinline)) uint32_t get_current_program_counter_space() {
  const uint32_t own = address(__builtin_frame_address(0));
  return wordAt(wordAt(own) + 4);
}

int not_bottom_of_stack(uint32_t frame, uint32_t returnAddress) {
  if (returnAddress <= start_return_addr) return 0;
  if (isExtra(frame)) return 1;
  return frame < prof_stackbase && next_frame_pointer(frame) > frame ? 1 : 0;
}

int stack_frames_equal(const FrameEntry* a, const FrameEntry* b) {
  return a->offset == b->offset && a->framePointer == b->framePointer && a->number == b->number &&
                 a->found == b->found
             ? 1
             : 0;
}

void record_stack_difference(uint32_t pc, uint32_t frame, int32_t tag) {
  ProfilerInfo& record = *profiler_info;
  StackRecord& current = record.current;
  const StackRecord& previous = record.previous;
  const bool usable = previous.tag != -1 && previous.last >= 0;
  const int32_t previousLast = usable ? previous.last : -1;
  const bool truncated = previous.depth > previous.last + 1;

  Cursor cursor{pc, frame};
  uint32_t added = 0;
  int32_t popped = 0;
  bool shared = false;
  for (;;) {
    const FrameEntry entry = entryFor(cursor.pc, cursor.frame);
    while (popped <= previousLast && poppedBefore(previous.entries[popped], entry)) ++popped;
    if (popped <= previousLast && stack_frames_equal(&entry, &previous.entries[popped]) &&
        outerFramesEqual(cursor, previous, popped, truncated)) {
      shared = true;
      break;
    }
    current.entries[added++] = entry;
    write_one_frame(&entry);
    if (added == kStackEntries || !step(cursor)) break;
  }
  const int32_t depth =
      shared ? static_cast<int32_t>(added) + previous.depth - popped : static_cast<int32_t>(added);
  current.last = static_cast<int32_t>(added) - 1;
  current.depth = depth;
  current.tag = tag;
  mergeIntoPrevious(added, popped, shared, depth, sampleTag(depth, tag));
  end_of_one_sample(added, depth, tag);
}

void write_one_frame(const FrameEntry* entry) {
  ProfilerInfo& record = *profiler_info;
  ProfileBuffer& data = record.data;
  FrameGroupMap& map = record.groupMap;
  map.flags <<= 1;
  if (entry->found) {
    const auto number = static_cast<uint32_t>(entry->number);
    const auto offset = static_cast<uint32_t>(entry->offset);
    append(data, static_cast<uint16_t>(number));
    append(data, static_cast<uint16_t>(offset));
    append(data, static_cast<uint16_t>(((number >> 16) & 0xff) << 8 | ((offset >> 16) & 0xff)));
    map.flags |= 1;
  } else {
    const auto pc = static_cast<uint32_t>(entry->offset);
    append(data, static_cast<uint16_t>(pc >> 16));
    append(data, static_cast<uint16_t>(pc));
  }
  if (++map.framesInGroup == kFramesPerGroup) flush_frame_map();
  flush_buffer_if_needed(&data, 1);
}

void flush_frame_map() {
  ProfilerInfo& record = *profiler_info;
  FrameGroupMap& map = record.groupMap;
  record.data.words[map.reservedIndex] = static_cast<uint16_t>(map.flags);
  map.reservedIndex = record.data.count++;
  map.flags = 0;
  map.framesInGroup = 0;
}

void end_of_one_sample(uint32_t newFrames, int32_t depth, int32_t tag) {
  ProfileBuffer& index = profiler_info->index;
  append(index, static_cast<uint16_t>(newFrames));
  append(index, static_cast<uint16_t>(depth));
  append(index, static_cast<uint16_t>(sampleTag(depth, tag)));
  flush_buffer_if_needed(&index, 0);
}

void flush_buffer_if_needed(ProfileBuffer* buffer, int isData) {
  if (buffer->count <= kFlushAbove) return;
  FrameGroupMap& map = profiler_info->groupMap;
  const uint32_t out = isData ? map.reservedIndex : buffer->count;
  writeWords(*buffer, out);
  std::memmove(buffer->words, buffer->words + out, 2 * size_t{buffer->count - out});
  buffer->count -= out;
  if (isData) map.reservedIndex = 0;
}

int symerror(const char* file, const char* text) {
  std::fprintf(stderr, kSymbolWarning, file, text);
  return -1;
}

int perror1(const char* text) {
  std::perror(text);
  return -1;
}

}  // extern "C"
