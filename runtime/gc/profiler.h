// The sampling profiler: call stacks of one Lisp thread, taken at a time
// interval by the profiler timer thread (runtime/os/profiler_timer.*) or at
// allocations through the allocator's hook, streamed into two files.
//
// Data file: 16-bit little-endian words, a run of frame groups, each one
// flags word and up to 16 frames; bit 15 of the flags belongs to the group's
// first frame, and a set bit means the three-word form (function number low
// 16 bits; code offset low 16 bits; number bits 16-23 << 8 | offset bits
// 16-23). A clear bit means the two-word form (pc high 16 bits, pc low 16
// bits). Index file: per sample (frames added, depth, tag). A reader rebuilds
// each stack from the previous one: it keeps depth - added of the previous
// stack's outer frames and puts the added frames (innermost first) on top.
#pragma once

#include <cstdint>

#include "platform/threads.h"
#include "runtime/rs/lisp_value.h"

namespace lisp::profiler {

inline constexpr uint32_t kBufferWords = 4096;
inline constexpr uint32_t kFlushAbove = 4090;  // words that make a buffer go out
inline constexpr uint32_t kStackEntries = 2048;
inline constexpr uint32_t kKeptOnOverflow = 1024;
inline constexpr uint32_t kFramesPerGroup = 16;
inline constexpr uint32_t kSameFramesToStop = 4;  // equal entries past the first one
inline constexpr int32_t kShallowDepth = 5;       // below: tag -1
inline constexpr uint32_t kLargeObjectStep = 8192;
inline constexpr int32_t kClosureNumberBit = 0x800000;  // bit 23 of the offset word

enum ProfileType : int32_t { kOff = 0, kTime = 1, kSpace = 2 };
// Kinds the allocator hands the hook.
enum AllocationKind : int { kConsPage = 0, kOtherPage = 1, kNoSample = 2, kLargeObject = 3 };

struct ProfileBuffer {
  uint16_t words[kBufferWords];
  uint32_t count;
  int32_t descriptor;  // -1 when closed
};

struct FrameEntry {
  int32_t offset;  // code offset (bit 23 for a closure number), or the raw pc
  uint32_t framePointer;
  int32_t number;  // 24 bits, -1 when no function was found
  uint32_t found;  // 1 when a Lisp function was found
};
static_assert(sizeof(FrameEntry) == 16);

struct StackRecord {
  int32_t last;  // index of the last entry, -1 when empty
  int32_t depth;
  int32_t tag;                        // -1: no usable previous stack
  FrameEntry entries[kStackEntries];  // innermost first
};

struct FrameGroupMap {
  uint32_t flags;          // under construction, the newest frame in bit 0
  uint32_t framesInGroup;  // 0 to 15
  uint32_t reservedIndex;  // data-buffer word kept for the group's flags
};

struct ProfilerInfo {
  ProfileBuffer data;
  ProfileBuffer index;
  StackRecord current;
  StackRecord previous;
  FrameGroupMap groupMap;
};

// Where a sample starts: the innermost frame pointer and the pc running in
// it; frame 0 means no sample.
struct SampleStart {
  uint32_t frame;
  uint32_t pc;
};

// The record, or null before the first start_profiler.
ProfilerInfo* info();
// The frame a suspended thread's registers give (frame 0: none).
SampleStart firstFrame(const platform::ThreadContext& context);
// Takes the sample from a start, as time_record_stack does after finding it;
// false when another sample or a stop holds the record.
bool recordSample(SampleStart start, int32_t tag);

// Whether the pc lies in an executable part of a loaded object other than
// the runtime's own and the main program; the table is read by
// start_profiler (objects loaded later are not known).
bool inForeignObject(uint32_t pc);
void readLoadedObjects();

// Set when a write to a file failed; stop_profiler then removes both files.
bool writeFailed();

}  // namespace lisp::profiler

extern "C" {
extern uint32_t timerrate;  // microseconds
extern uint32_t start_return_addr;
extern int32_t profiler_max_samples;
extern int32_t profiler_samples_collected;
extern int32_t profiler_type;  // ProfileType
extern uint32_t prof_stackbase;
extern uint32_t extra_frame[3];  // function, frame pointer, return address
extern lisp::profiler::ProfilerInfo* profiler_info;

int32_t start_profiler(int32_t type, int32_t maxSamples, int32_t intervalMilliseconds,
                       uint32_t startAddress, const char* dataFile, const char* indexFile);
int32_t start_sampling();
int32_t stop_sampling();
int32_t stop_profiler();
int32_t stop_profiling();
void time_record_stack(int32_t tag, int32_t ignored, const platform::ThreadContext* context);
int ok_addr_to_profile(const platform::ThreadContext* context);
void alloc_counting_on();
void alloc_counting_off();
void space_record_stack(int kind, uint32_t bytes);

uint32_t get_current_program_counter(const platform::ThreadContext* context);
uint32_t get_retaddress(uint32_t frame);
uint32_t get_current_frame_ptr(const platform::ThreadContext* context, uint32_t pc);
uint32_t get_current_frame_ptr_space();
uint32_t get_current_program_counter_space();
int not_bottom_of_stack(uint32_t frame, uint32_t returnAddress);
void record_stack_difference(uint32_t pc, uint32_t frame, int32_t tag);
int stack_frames_equal(const lisp::profiler::FrameEntry* a, const lisp::profiler::FrameEntry* b);
void write_one_frame(const lisp::profiler::FrameEntry* entry);
void flush_frame_map();
void end_of_one_sample(uint32_t newFrames, int32_t depth, int32_t tag);
void flush_buffer_if_needed(lisp::profiler::ProfileBuffer* buffer, int isData);
int initialize_data_file_buffer(lisp::profiler::ProfileBuffer* buffer, const char* path);
int symerror(const char* file, const char* text);
int perror1(const char* text);
}
