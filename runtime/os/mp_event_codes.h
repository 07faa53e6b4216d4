// Codes of the mp event log, one row per event the thread machinery writes;
// the comment of each says what its value holds. Lisp code may log events of
// its own with any code.
#pragma once

#include <cstdint>

namespace lisp::mp_event {

struct EventCode {
  uint32_t code;
  const char* name;
};

inline constexpr uint32_t kLispThreadEntry = 0;      // the entry's argument
inline constexpr uint32_t kHeapGrabRequested = 1;    // owner's OS id, 0 none, -1 from vxm_grab_heap
inline constexpr uint32_t kHeapGranted = 2;          // 0
inline constexpr uint32_t kHeapReleased = 3;         // ready head's OS id, 0 empty, 0x12345678
inline constexpr uint32_t kFreeWaitingThread = 5;    // its argument
inline constexpr uint32_t kKillOsThread = 6;         // registry index
inline constexpr uint32_t kEnvironmentNeutral = 7;   // index that was installed
inline constexpr uint32_t kEnvironmentSwitched = 8;  // index now installed
inline constexpr uint32_t kKilledThreadEnds = 9;     // 0
inline constexpr uint32_t kLispThreadExit = 10;      // Lisp threads left
inline constexpr uint32_t kFirstCallback = 11;       // registry index
inline constexpr uint32_t kWaitingThreadWoken = 12;  // registry index
inline constexpr uint32_t kProfiledOwner = 14;       // registry index, -2 when none was chosen
inline constexpr uint32_t kProfiledThread = 15;      // registry index
inline constexpr uint32_t kAlarmWakes = 17;          // registry index
inline constexpr uint32_t kWaitEndedByMessage = 18;  // message number
inline constexpr uint32_t kWakeEventSet = 19;        // the event handle
inline constexpr uint32_t kGateTestThread = 20;      // 1, the gate, then -1
inline constexpr uint32_t kWaitGateReleased = 22;    // -1 none ready, else ready head's index
inline constexpr uint32_t kRecordAllocated = 23;     // record address
inline constexpr uint32_t kRecordFreed = 24;         // record address
inline constexpr uint32_t kAlarmHook = 25;           // -
inline constexpr uint32_t kRemoteCommandText = 26;   // 0
inline constexpr uint32_t kRemoteCommandWord = 27;   // the word
inline constexpr uint32_t kRemoteCommandWords = 28;  // the first word
inline constexpr uint32_t kRemoteCommandAsked = 29;  // 0
inline constexpr uint32_t kRemoteCommandTaken = 30;  // the command's count
inline constexpr uint32_t kScavenges = 32;           // scavenges in a row
inline constexpr uint32_t kSignalDelivered = 38;     // signal number
inline constexpr uint32_t kSignal14 = 39;            // the signal thread's record
inline constexpr uint32_t kGateWait = 64;            // the gate
inline constexpr uint32_t kGateOpened = 65;          // gate address
inline constexpr uint32_t kQueuedReady = 66;         // OS id
inline constexpr uint32_t kQueuedWaiting = 67;       // OS id
inline constexpr uint32_t kSemaphorePosted = 68;     // semaphore address
inline constexpr uint32_t kThreadToReady = 69;       // OS id
inline constexpr uint32_t kInterruptsProcessed = 128;     // 0
inline constexpr uint32_t kSliceReschedule = 129;         // 0
inline constexpr uint32_t kClockEntriesDue = 130;         // 0
inline constexpr uint32_t kSliceMarkedHead = 131;         // its OS id
inline constexpr uint32_t kInterruptScheduled = 132;      // its registry index
inline constexpr uint32_t kAlarmOn = 256;                 // the delay in ms after the cap
inline constexpr uint32_t kAlarmOff = 257;                // the one-shot's id
inline constexpr uint32_t kAlarmCallback = 258;           // ignore_timer_ints
inline constexpr uint32_t kSignalTaken = 260;             // the posted signal number
inline constexpr uint32_t kSignalProcessed = 263;         // 0
inline constexpr uint32_t kAlarmTooLong = 264;            // the seconds asked for
inline constexpr uint32_t kSignalWithoutThread = 265;     // 0
inline constexpr uint32_t kLiveThreadNothing = 288;       // 0
inline constexpr uint32_t kLiveThreadWoke = 289;          // OS id
inline constexpr uint32_t kLiveThreadNone = 290;          // 0
inline constexpr uint32_t kBreakableWaitEnded = 514;      // the wait result
inline constexpr uint32_t kIoThreadWoken = 515;           // OS id
inline constexpr uint32_t kBreakableWaitStarts = 518;     // 0
inline constexpr uint32_t kWaitFunctionTested = 768;      // 1 true, else 0
inline constexpr uint32_t kMayRunCheck = 769;             // 2 run list set, +1 hold list set
inline constexpr uint32_t kGeneralWaitEnded = 770;        // 0
inline constexpr uint32_t kWaitFunctionAboutToRun = 771;  // the thread record
inline constexpr uint32_t kChildReportIndex = 896;        // process table index
inline constexpr uint32_t kChildExitUnknown = 897;        // the system error
inline constexpr uint32_t kChildExitCode = 898;           // the exit code
inline constexpr uint32_t kChildRecordedIndex = 899;      // process table index
inline constexpr uint32_t kChildRecordedHandle = 900;     // the process handle
inline constexpr uint32_t kChildReportHandle = 901;       // the process handle

// Codes in this range are logged only when the logging fixnum is odd.
inline constexpr uint32_t kDetailedFirst = 519;
inline constexpr uint32_t kDetailedLast = 633;

inline constexpr EventCode kEventCodes[] = {
    {kLispThreadEntry, "lisp thread entry"},
    {kHeapGrabRequested, "heap grab requested"},
    {kHeapGranted, "heap granted"},
    {kHeapReleased, "heap released"},
    {kFreeWaitingThread, "free waiting thread"},
    {kKillOsThread, "kill os thread"},
    {kEnvironmentNeutral, "environment neutral"},
    {kEnvironmentSwitched, "environment switched"},
    {kKilledThreadEnds, "killed thread ends"},
    {kLispThreadExit, "lisp thread exit"},
    {kFirstCallback, "first callback"},
    {kWaitingThreadWoken, "waiting thread woken"},
    {kProfiledOwner, "profiled heap owner"},
    {kProfiledThread, "profiled thread"},
    {kAlarmWakes, "alarm wakes thread"},
    {kWaitEndedByMessage, "wait ended by message"},
    {kWakeEventSet, "wake event set"},
    {kGateTestThread, "gate test thread"},
    {kWaitGateReleased, "wait gate released"},
    {kRecordAllocated, "record allocated"},
    {kRecordFreed, "record freed"},
    {kAlarmHook, "alarm hook"},
    {kScavenges, "scavenges"},
    {kSignalDelivered, "signal delivered"},
    {kSignal14, "signal 14"},
    {kGateWait, "gate wait"},
    {kGateOpened, "gate opened"},
    {kQueuedReady, "queued ready"},
    {kQueuedWaiting, "queued waiting"},
    {kSemaphorePosted, "semaphore posted"},
    {kThreadToReady, "thread to ready"},
    {kInterruptsProcessed, "interrupts processed"},
    {kSliceReschedule, "slice reschedule"},
    {kClockEntriesDue, "clock entries due"},
    {kSliceMarkedHead, "slice marked head"},
    {kInterruptScheduled, "interrupt scheduled"},
    {kAlarmOn, "alarm on"},
    {kAlarmOff, "alarm off"},
    {kAlarmCallback, "alarm callback"},
    {kSignalTaken, "signal taken"},
    {kSignalProcessed, "signal processed"},
    {kAlarmTooLong, "alarm too long"},
    {kSignalWithoutThread, "signal without thread"},
    {kLiveThreadNothing, "live thread: nothing to do"},
    {kLiveThreadWoke, "live thread: woke"},
    {kLiveThreadNone, "live thread: none found"},
    {kBreakableWaitEnded, "breakable wait ended"},
    {kIoThreadWoken, "i/o thread woken"},
    {kBreakableWaitStarts, "breakable wait starts"},
    {kWaitFunctionTested, "wait function tested"},
    {kMayRunCheck, "may-run check"},
    {kGeneralWaitEnded, "general wait ended"},
    {kWaitFunctionAboutToRun, "wait function about to run"},
    {kChildReportIndex, "child reported: index"},
    {kChildExitUnknown, "child exit code unknown"},
    {kChildExitCode, "child exit code"},
    {kChildRecordedIndex, "child recorded: index"},
    {kChildRecordedHandle, "child recorded: handle"},
    {kChildReportHandle, "child reported: handle"},
};

}  // namespace lisp::mp_event
