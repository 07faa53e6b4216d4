// The heap-ownership lock one step at a time: the ready queue's order, the
// releases, the freeze, the waking of waiting threads, and signal delivery.
#include "runtime/os/heap_ownership.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "launcher/host_record.h"
#include "platform/thread_block.h"
#include "runtime/gc/gc_state.h"
#include "runtime/load/small_services.h"
#include "runtime/os/child_processes.h"
#include "runtime/os/child_waits.h"
#include "runtime/os/exception_filter.h"
#include "runtime/os/gotsig.h"
#include "runtime/os/host_record_services.h"
#include "runtime/os/mode_line.h"
#include "runtime/os/mp_event_codes.h"
#include "runtime/os/os_threads.h"
#include "runtime/os/os_waits.h"
#include "runtime/os/tests/heap_lock_fixture.h"
#include "runtime/os/thread_start.h"
#include "runtime/os/thread_storage.h"
#include "runtime/rs/lisp_presence.h"
#include "runtime/rs/signal_kicker.h"
#include "testing/console_recorder.h"
#include "testing/watchdog.h"

extern "C" {
void forced_jump_target();
extern volatile uint32_t forced_jump_flag;
}

namespace heap_lock_test {
namespace {

namespace ev = lisp::mp_event;
using lisp::lispval;
using lisp::makeFixnum;
using namespace std::chrono_literals;

// A platform thread running `body`; join() waits for it.
class LispThread {
 public:
  explicit LispThread(std::function<void()> body) : body_(std::move(body)) {
    EXPECT_EQ(create_os_thread(&LispThread::run, this, 0, nullptr, &handle_), 0);
  }
  ~LispThread() { join(); }
  void join() {
    if (!handle_) return;
    platform::waitForAny({&handle_, 1}, platform::kWaitForever);
    platform::closeHandle(handle_);
    handle_ = 0;
  }
  bool ended() { return platform::waitForAny({&handle_, 1}, 0) == 0; }

 private:
  static uint32_t run(void* self) {
    static_cast<LispThread*>(self)->body_();
    return 0;
  }
  std::function<void()> body_;
  uint32_t handle_ = 0;
};

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit = 5s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

class HeapOwnership : public HeapLock {
 protected:
  bool onQueue(int i) { return records[i].at(tr::kQueueNext) != nilval; }

  // Takes the heap for record i on the calling thread.
  void grab(int i) {
    records[i].at(tr::kOsThreadId) = identify_os_thread();
    vxm_grab_heap_control(records[i].raw());
  }
};

// ---- the ready queue's order ----

struct QueueCase {
  const char* what;
  int newPriority;  // kNil, kOther, or a fixnum value
  int grabPosition;
  int readyPosition;
};
constexpr int kNil = 1000, kOther = 1001;
constexpr QueueCase kQueueCases[] = {
    {"equal fixnum", 5, 1, 2},
    {"between fixnums", 3, 2, 2},
    {"below every number, above nil", -1, 3, 3},
    {"nil", kNil, 3, 4},
    {"not a number", kOther, 0, 1},
};

class QueueOrder : public HeapOwnership, public testing::WithParamInterface<QueueCase> {
 protected:
  lispval priority(int value) {
    if (value == kNil) return nilval;
    if (value == kOther) return records[9].tagged();
    return makeFixnum(value);
  }
  // The queue holds, in order: not a number, 5, 0, nil (records 1 to 4).
  void fillQueue() {
    const int values[] = {kOther, 5, 0, kNil};
    for (int i = 0; i < 4; ++i) records[1 + i].at(tr::kPriority) = priority(values[i]);
    queueInOrder({1, 2, 3, 4});
  }
};

TEST_P(QueueOrder, GrabGoesAheadOfEqualsAndReadyBehind) {
  const QueueCase& c = GetParam();
  fillQueue();
  records[0].at(tr::kPriority) = priority(c.newPriority);
  lock_lisp_ready_queue();
  threadctl_to_ready(records[0].raw());
  unlock_lisp_ready_queue();
  std::vector<int> expected = {1, 2, 3, 4};
  expected.insert(expected.begin() + c.readyPosition, 0);
  EXPECT_EQ(readyOrder(), expected) << "threadctl_to_ready";

  // Grab from a thread: it sleeps until it heads the queue, so it is taken
  // off again by hand and woken once its place has been seen.
  lock_lisp_ready_queue();
  lisp::heap_lock::unlinkFromQueue(records[0].raw());
  unlock_lisp_ready_queue();
  testing_support::Watchdog watchdog("queue order", 10s, [&] { return describe(); });
  LispThread grabber([&] { grab(0); });
  ASSERT_TRUE(eventually([&] { return onQueue(0); }));
  expected = {1, 2, 3, 4};
  expected.insert(expected.begin() + c.grabPosition, 0);
  EXPECT_EQ(readyOrder(), expected) << "vxm_grab_heap_control";
  if (c.grabPosition != 0) {
    lock_lisp_ready_queue();
    for (int i = 1; i <= 4; ++i) lisp::heap_lock::unlinkFromQueue(records[i].raw());
    unlock_lisp_ready_queue();
    open_lock(0);
  }
  grabber.join();
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0);
}

INSTANTIATE_TEST_SUITE_P(Priorities, QueueOrder, testing::ValuesIn(kQueueCases),
                         [](const auto& info) { return std::to_string(info.index); });

TEST_F(HeapOwnership, EqualGrabbersQueueLaterAheadAndReadyLaterBehind) {
  queueInOrder({1});
  lock_lisp_ready_queue();
  threadctl_to_ready(records[2].raw());
  unlock_lisp_ready_queue();
  EXPECT_EQ(readyOrder(), (std::vector<int>{1, 2}));
  const uint32_t since = mplog_sequence;
  lock_lisp_ready_queue();
  threadctl_to_ready(records[3].raw());
  unlock_lisp_ready_queue();
  EXPECT_EQ(readyOrder(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(loggedSince(since), (std::vector<std::pair<uint32_t, uint32_t>>{
                                    {ev::kThreadToReady, records[3].at(tr::kOsThreadId)}}));
}

// ---- taking and giving up ----

TEST_F(HeapOwnership, GrabAndReleaseKeepOwnerHoldsAndLogInStep) {
  int pipeEnds[2];
  ASSERT_EQ(pipe(pipeEnds), 0);
  // The mode line writes through the host record's write hook.
  host::HostRecord record{};
  record.writeHook = [](int32_t fd, const char* buffer, int32_t length, int32_t*) {
    return static_cast<int32_t>(write(fd, buffer, static_cast<size_t>(length)));
  };
  uint32_t* const savedRecord = redir;
  redir = reinterpret_cast<uint32_t*>(&record);
  mode_line_fd = pipeEnds[1];
  const uint32_t since = mplog_sequence;
  grab(0);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0);
  EXPECT_EQ(tcp_that_owns_heap, records[0].raw());
  EXPECT_EQ(vxm_thread_control.heapHolds, 1u);
  EXPECT_EQ(readyOrder(), (std::vector<int>{0}));

  // A plain release keeps the thread at the head: the queue is not empty.
  vxm_release_heap_t(0, 1);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);
  EXPECT_EQ(tcp_that_owns_heap, nullptr);
  EXPECT_EQ(vxm_thread_control.heapHolds, 0u);
  EXPECT_EQ(readyOrder(), (std::vector<int>{0}));

  // The foreign-call release takes it off: the empty queue reports "Idle".
  grab(0);
  vxm_release_heap_for_sdcall_t(records[0].raw(), 1);
  EXPECT_EQ(records[0].at(tr::kState), tr::kStateInForeignCall);
  EXPECT_NE(records[0].at(tr::kSavedNativeStack), 0u) << "the stack was marked";
  EXPECT_TRUE(readyOrder().empty());
  mode_line_fd = 0;
  redir = savedRecord;
  close(pipeEnds[1]);
  char text[64] = {};
  EXPECT_EQ(read(pipeEnds[0], text, sizeof text - 1), 12);
  close(pipeEnds[0]);
  EXPECT_STREQ(text, "Run Run Idle") << "only the release that empties the queue is idle";

  const uint32_t me = identify_os_thread();
  EXPECT_EQ(loggedSince(since), (std::vector<std::pair<uint32_t, uint32_t>>{
                                    {ev::kHeapGrabRequested, 0},
                                    {ev::kHeapGranted, 0},
                                    {ev::kHeapReleased, me},
                                    {ev::kHeapGrabRequested, 0},
                                    {ev::kHeapGranted, 0},
                                    {ev::kHeapReleased, 0}}));
}

TEST_F(HeapOwnership, AReleaseWithoutTheHeapMutexChangesNothing) {
  testing_support::Watchdog watchdog("release by another thread", 10s,
                                     [&] { return describe(); });
  std::atomic<bool> held{false}, done{false};
  LispThread owner([&] {
    grab(1);
    held = true;
    while (!done) std::this_thread::sleep_for(1ms);
    vxm_release_heap_for_sdcall_t(records[1].raw(), 0);
  });
  ASSERT_TRUE(eventually([&] { return held.load(); }));
  records[2].at(tr::kOsThreadId) = identify_os_thread();
  vxm_release_heap_t(1, 1);
  vxm_release_heap_for_sdcall_t(records[2].raw(), 0);
  release_heap_mutex(1);
  vxm_clean_release_return();
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 1);
  EXPECT_EQ(tcp_that_owns_heap, records[1].raw());
  EXPECT_EQ(vxm_thread_control.heapHolds, 1u);
  EXPECT_EQ(records[2].at(tr::kState), 0u);
  EXPECT_EQ(records[2].at(tr::kSavedNativeStack), 0u);
  done = true;
  owner.join();
  EXPECT_EQ(vxm_thread_control.heapHolds, 0u);
}

TEST_F(HeapOwnership, TheCallingThreadsFormsFindItsRecord) {
  testing_support::Watchdog watchdog("calling thread's forms", 10s, [&] { return describe(); });
  records[2].at(tr::kOsThreadId) = identify_os_thread();
  records[2].at(tr::kState) = tr::kStateInForeignCall;
  vxm_reacquire_heap();
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 2);
  EXPECT_EQ(records[2].at(tr::kState), 0u);
  EXPECT_EQ(vxm_thread_control.environmentIndex, 2) << "its bindings are installed";
  vxm_release_heap_for_sdcall(1);
  EXPECT_EQ(records[2].at(tr::kState), tr::kStateInForeignCall);
  EXPECT_NE(records[2].at(tr::kSavedNativeStack), 0u);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);

  vxm_thread_control.lispThreadCount = 1;
  vxm_acquire_heap_for_syncsig();
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2) << "one Lisp thread: nothing to take";
  vxm_thread_control.lispThreadCount = 2;
  vxm_acquire_heap_for_syncsig();
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 2);
  EXPECT_EQ(records[2].at(tr::kSavedNativeStack), 0u);
  vxm_acquire_heap_for_syncsig();
  EXPECT_EQ(vxm_thread_control.heapHolds, 1u) << "an owner is not queued twice";
  vxm_release_heap_for_sdcall(0);

  std::atomic<bool> reachedEnd{false};
  LispThread leaving([&] {
    grab(3);
    vxm_clean_release_exit();
    reachedEnd = true;
  });
  leaving.join();
  EXPECT_FALSE(reachedEnd) << "the thread ended in the release";
  EXPECT_EQ(vxm_thread_control.heapHolds, 0u);
  EXPECT_EQ(vxm_thread_control.environmentIndex, -1);
  EXPECT_TRUE(readyOrder().empty()) << "the ended thread left the ready queue";
}

TEST_F(HeapOwnership, TheHeapMutexAloneNeitherQueuesNorChangesTheOwner) {
  const uint32_t since = mplog_sequence;
  vxm_grab_heap();
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, -2);
  EXPECT_TRUE(readyOrder().empty());
  vxm_release_heap();
  EXPECT_FALSE(platform::mutexHeldByCaller(vxm_thread_control.heapMutex));
  EXPECT_EQ(loggedSince(since), (std::vector<std::pair<uint32_t, uint32_t>>{
                                    {ev::kHeapGrabRequested, 0xffffffff},
                                    {ev::kHeapGranted, 0},
                                    {ev::kHeapReleased, 0x12345678}}));
  EXPECT_EQ(vxm_heap_grabbed(), 0);
}

TEST_F(HeapOwnership, BlockingReleaseHandsTheHeapToTheQueuedThreadAtOnce) {
  testing_support::Watchdog watchdog("blocking release", 10s, [&] { return describe(); });
  records[1].at(tr::kPriority) = makeFixnum(-1);  // B queues behind A
  grab(0);
  std::atomic<bool> bOwns{false};
  LispThread b([&] {
    grab(1);
    bOwns = true;
    vxm_release_heap_for_sdcall_t(records[1].raw(), 0);
  });
  ASSERT_TRUE(eventually([&] { return onQueue(1); }));
  EXPECT_EQ(readyOrder(), (std::vector<int>{0, 1}));
  std::thread opener([&] {
    eventually([&] { return bOwns.load(); }, 1s);
    open_lock(0);
  });
  const auto start = std::chrono::steady_clock::now();
  records[0].at(tr::kState) = tr::kStateWaitingForWake;
  relinquish_heap_and_wait(records[0].raw(), 0);
  opener.join();
  EXPECT_TRUE(bOwns) << "B owned the heap while A waited";
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0) << "A has the heap back";
  EXPECT_EQ(records[0].at(tr::kState), 0u);
  vxm_release_heap_for_sdcall_t(records[0].raw(), 0);
  b.join();
}

TEST_F(HeapOwnership, AThreadWaitingOnEventsLetsTheNextThreadRun) {
  testing_support::Watchdog watchdog("event wait", 10s, [&] { return describe(); });
  const uint32_t events[2] = {allocate_os_lock(1), allocate_os_lock(1)};
  records[1].at(tr::kPriority) = makeFixnum(-1);  // B queues behind A
  grab(0);

  vxm_open_lock(events[1]);
  EXPECT_EQ(thread_wait_any_os_event(2, events), 1) << "already signalled: no release";
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0);

  std::atomic<bool> bOwned{false};
  LispThread b([&] {
    grab(1);
    bOwned = true;
    vxm_open_lock(events[0]);
    vxm_release_heap_for_sdcall_t(records[1].raw(), 0);
  });
  ASSERT_TRUE(eventually([&] { return onQueue(1); }));
  EXPECT_EQ(thread_wait_any_os_event(2, events), 0);
  EXPECT_TRUE(bOwned);
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0) << "the heap is back with the waiter";
  EXPECT_EQ(readyOrder(), (std::vector<int>{0}));
  b.join();

  const uint32_t abandoned = create_os_mutex();
  LispThread holder([&] { md_lock_wait(abandoned); });
  holder.join();
  const uint32_t withMutex[2] = {events[0], abandoned};
  EXPECT_EQ(thread_wait_any_os_event(2, withMutex), 1) << "an abandoned mutex counts as signalled";
  vxm_release_heap_for_sdcall_t(records[0].raw(), 0);
  for (uint32_t handle : {events[0], events[1], abandoned}) free_os_lock(handle);
}

TEST_F(HeapOwnership, AThreadWaitingForAChildLetsTheNextThreadRun) {
  testing_support::Watchdog watchdog("child wait", 10s, [&] { return describe(); });
  // A child's process handle (signalled for good once the child has ended)
  // stands in as a manual-reset event the other thread sets.
  const uint32_t child = platform::createEvent(true, false);
  ASSERT_TRUE(lisp::os::recordChild(child, 4321));
  records[1].at(tr::kPriority) = makeFixnum(-1);  // B queues behind A
  grab(0);
  std::atomic<bool> bOwned{false};
  LispThread b([&] {
    grab(1);
    bOwned = true;
    platform::setEvent(child);
    vxm_release_heap_for_sdcall_t(records[1].raw(), 0);
  });
  ASSERT_TRUE(eventually([&] { return onQueue(1); }));
  // The stand-in has no exit code: the system cannot tell it, -1.
  EXPECT_EQ(rs_sy_wait(makeFixnum(4321), makeFixnum(1)), makeFixnum(-1));
  EXPECT_TRUE(bOwned) << "B owned the heap while A waited for the child";
  EXPECT_EQ(vxm_thread_control.heapOwnerIndex, 0) << "the heap is back with the waiter";
  EXPECT_EQ(proc_count, 0) << "reaped";
  vxm_release_heap_for_sdcall_t(records[0].raw(), 0);
  b.join();
}

TEST_F(HeapOwnership, TheLauncherFindsTheFirstLiveOwnedThread) {
  const uint32_t handles[3] = {allocate_os_lock(1), allocate_os_lock(1), allocate_os_lock(1)};
  const lispval owner = makeFixnum(1);
  for (int i = 0; i < 5; ++i) records[i].at(tr::kOsThreadId) = 500u + i;
  records[0].at(tr::kState) = tr::kStateNew;
  records[0].at(tr::kOwner) = owner;
  records[1].at(tr::kState) = tr::kStateCallbackDone;
  records[1].at(tr::kOwner) = owner;
  records[2].at(tr::kState) = 4;
  records[2].at(tr::kOwner) = owner;
  records[3].at(tr::kOwner) = owner;
  records[3].at(tr::kOsThreadHandle) = handles[0];
  records[4].at(tr::kOwner) = owner;

  uint32_t id = 0;
  const uint32_t found = find_lisp_thread_handle(&id);
  EXPECT_EQ(id, 503u);
  EXPECT_NE(found, 0u);
  EXPECT_NE(found, handles[0]) << "a duplicate";
  vxm_open_lock(found);
  EXPECT_EQ(platform::waitForAny({&handles[0], 1}, 0), 0) << "names the same object";
  free_os_lock(found);

  records[3].at(tr::kOsThreadHandle) = 0;
  EXPECT_EQ(find_lisp_thread_handle(nullptr), 0xffffffffu) << "no duplicate can be made";
  records[3].at(tr::kState) = tr::kStateDead;
  records[4].at(tr::kOwner) = nilval;
  EXPECT_EQ(find_lisp_thread_handle(&id), 0u);
  for (uint32_t handle : handles) free_os_lock(handle);
}

TEST_F(HeapOwnership, TheForcedJumpMovesOnlyTheHeapOwner) {
  forced_jump_flag = 0;
  force_heap_owner_to_jump(forced_jump_target);  // nobody owns the heap
  EXPECT_EQ(forced_jump_flag, 0u);

  std::atomic<bool> spinning{false};
  std::atomic<uint32_t> handle{0};
  testing_support::Watchdog watchdog("forced jump of the owner", 10s);
  // A plain thread: the target ends it with a bare exit.
  std::thread spinner([&] {
    handle = handle_for_current_thread();
    spinning = true;
    for (;;) {
    }
  });
  spinner.detach();
  ASSERT_TRUE(eventually([&] { return spinning.load(); }));
  records[5].at(tr::kOsThreadHandle) = handle;
  vxm_thread_control.heapOwnerIndex = 5;
  force_heap_owner_to_jump(forced_jump_target);
  EXPECT_TRUE(eventually([&] { return forced_jump_flag == 1; }));
  vxm_thread_control.heapOwnerIndex = -2;
  free_os_lock(handle);
}

// ---- the freeze ----

TEST_F(HeapOwnership, OnlyTheThawToZeroWakesParkedThreads) {
  testing_support::Watchdog watchdog("freeze and thaw", 10s, [&] { return describe(); });
  records[1].at(tr::kPriority) = records[2].at(tr::kPriority) = makeFixnum(1);
  freeze_vxm_heap();
  freeze_vxm_heap();
  std::atomic<int> owners{0};
  LispThread first([&] {
    grab(1);
    ++owners;
    vxm_release_heap_for_sdcall_t(records[1].raw(), 0);
  });
  ASSERT_TRUE(eventually([&] { return lisp::heap_lock::isParked(records[1].raw()); }));
  EXPECT_EQ(vxm_thread_control.parkedThread, address(records[1].raw()));

  thaw_vxm_heap();  // 2 -> 1
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(owners, 0) << "a thaw to 1 wakes nobody";
  EXPECT_TRUE(lisp::heap_lock::isParked(records[1].raw()));

  thaw_vxm_heap();  // 1 -> 0
  ASSERT_TRUE(eventually([&] { return owners == 1; }));
  first.join();
  EXPECT_EQ(vxm_thread_control.parkedThread, 0u);
  EXPECT_EQ(vxm_thread_control.freezeCount, 0);
  thaw_vxm_heap();
  EXPECT_EQ(vxm_thread_control.freezeCount, 0) << "a thaw never goes below 0";
}

TEST_F(HeapOwnership, TheThawWakesEveryParkedThread) {
  testing_support::Watchdog watchdog("two parkers", 10s, [&] { return describe(); });
  // Record 3 heads the queue and parks; record 4 then goes ahead of it and
  // parks as well, and is the one remembered as parked.
  records[3].at(tr::kPriority) = makeFixnum(1);
  records[4].at(tr::kPriority) = makeFixnum(2);
  freeze_vxm_heap();
  std::atomic<int> owners{0};
  std::atomic<bool> go{false};
  auto body = [&](int i) {
    return [&, i] {
      grab(i);
      ++owners;
      while (!go) std::this_thread::sleep_for(1ms);
      vxm_release_heap_for_sdcall_t(records[i].raw(), 0);
    };
  };
  LispThread third(body(3));
  ASSERT_TRUE(eventually([&] { return lisp::heap_lock::isParked(records[3].raw()); }));
  LispThread fourth(body(4));
  ASSERT_TRUE(eventually([&] { return lisp::heap_lock::isParked(records[4].raw()); }));
  EXPECT_EQ(vxm_thread_control.parkedThread, address(records[4].raw()));
  thaw_vxm_heap();
  // Both pass the freeze on the thaw alone: one owns the heap, the other
  // holds and waits for the mutex, before anyone releases.
  EXPECT_TRUE(eventually([&] { return vxm_thread_control.heapHolds == 2; })) << describe();
  go = true;
  ASSERT_TRUE(eventually([&] { return owners == 2; }));
}

// ---- waking threads that wait outside the heap ----

// Record 0: state 1. Record 1: state 10 on (7). Record 2: state 10 on (3).
// Record 3: state 10 on five descriptors (1 2 3 4 5). Record 4: running.
// Record 6, behind an empty table entry, in state 1: never reached.
struct WaitingCase {
  int32_t descriptor;
  bool scavenging;
  std::vector<int> woken;
};
const WaitingCase kWaitingCases[] = {
    {0, false, {0}},         {0, true, {0, 1, 2, 3}}, {-1, false, {0, 1, 2, 3}},
    {7, false, {0, 1, 3}},   {7, true, {0, 1, 2, 3}}, {9, false, {0, 3}},
    {5, false, {0, 3}},      {3, false, {0, 2, 3}},
};

class FreeWaitingThread : public HeapOwnership, public testing::WithParamInterface<WaitingCase> {
 protected:
  alignas(8) uint32_t cells[16][2] = {};
  int used = 0;
  lispval list(std::initializer_list<int> descriptors) {
    lispval head = nilval;
    for (auto it = std::rbegin(descriptors); it != std::rend(descriptors); ++it) {
      const lispval cell = lisp::wordOf(cells[used++], lisp::Tag::Cons);
      lisp::car(cell) = makeFixnum(*it);
      lisp::cdr(cell) = head;
      head = cell;
    }
    return head;
  }
};

TEST_P(FreeWaitingThread, WakesWhatTheDescriptorAndTheScavengeSay) {
  const WaitingCase& c = GetParam();
  records[0].at(tr::kState) = tr::kStateWaitingForWake;
  records[1].at(tr::kState) = records[2].at(tr::kState) = records[3].at(tr::kState) =
      tr::kStateWaitingOnDescriptors;
  records[1].at(tr::kDescriptorWaitList) = list({7});
  records[2].at(tr::kDescriptorWaitList) = list({3});
  records[3].at(tr::kDescriptorWaitList) = list({1, 2, 3, 4, 5});
  vxm_thread_control.registryTable[5] = nullptr;
  records[6].at(tr::kState) = tr::kStateWaitingForWake;
  InScavenge = c.scavenging ? 1 : 0;

  free_waiting_thread(c.descriptor);
  std::vector<int> woken;
  for (int i = 0; i < 7; ++i)
    if (wakeEventSet(i)) {
      woken.push_back(i);
      EXPECT_EQ(records[i].at(tr::kState), 0u) << i;
    }
  EXPECT_EQ(woken, c.woken);
  EXPECT_EQ(records[6].at(tr::kState), tr::kStateWaitingForWake);
}

INSTANTIATE_TEST_SUITE_P(Descriptors, FreeWaitingThread, testing::ValuesIn(kWaitingCases));

TEST_F(HeapOwnership, FreeOneWaitingThreadWakesOnlyAWaitingRecord) {
  const uint32_t since = mplog_sequence;
  free_one_waiting_thread(2);
  EXPECT_FALSE(wakeEventSet(2)) << "state 0: nothing to wake";
  records[2].at(tr::kState) = tr::kStateWaitingForWake;
  free_one_waiting_thread(2);
  EXPECT_TRUE(wakeEventSet(2));
  EXPECT_EQ(records[2].at(tr::kState), 0u);
  free_one_waiting_thread(kRecords);  // outside the registry: ignored
  records[3].at(tr::kState) = tr::kStateDead;
  free_one_waiting_thread(3);
  EXPECT_EQ(records[3].at(tr::kState), tr::kStateDead) << "a dead record is not revived";
  EXPECT_FALSE(wakeEventSet(3));
  const auto logged = loggedSince(since);
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.front(), (std::pair<uint32_t, uint32_t>{ev::kWaitingThreadWoken, 2}));
}

TEST_F(HeapOwnership, TheLiveThreadSearchPutsAQueuedThreadAloneOnTheReadyQueue) {
  // Active list: 5 (no OS thread), 6 (on no queue), 7 (on the waiting queue).
  for (int i : {5, 6, 7}) records[i].at(tr::kOsThreadId) = 100u + i;
  records[5].at(tr::kOsThreadId) = 0;
  records[5].at(tr::kChainLink) = address(records[6].raw());
  records[6].at(tr::kChainLink) = address(records[7].raw());
  threadctl_active = records[5].raw();
  records[7].at(tr::kQueueNext) = records[7].at(tr::kQueuePrevious) = waiting.tagged();
  waiting.at(tr::kQueueNext) = waiting.at(tr::kQueuePrevious) = records[7].tagged();

  uint32_t since = mplog_sequence;
  vxm_thread_control.heapOwnerIndex = 1;
  ensure_live_thread_for_interrupt();
  EXPECT_EQ(loggedSince(since).front().first, ev::kLiveThreadNothing);
  EXPECT_TRUE(readyOrder().empty());

  since = mplog_sequence;
  vxm_thread_control.heapOwnerIndex = -2;
  ensure_live_thread_for_interrupt();
  EXPECT_EQ(loggedSince(since).front(), (std::pair<uint32_t, uint32_t>{ev::kLiveThreadWoke, 107}));
  EXPECT_EQ(readyOrder(), (std::vector<int>{7}));
  EXPECT_EQ(waiting.at(tr::kQueueNext), waiting.tagged()) << "taken off the waiting queue";
  EXPECT_TRUE(wakeEventSet(7));

  since = mplog_sequence;
  lock_lisp_ready_queue();
  lisp::heap_lock::unlinkFromQueue(records[7].raw());
  unlock_lisp_ready_queue();
  ensure_live_thread_for_interrupt();
  EXPECT_EQ(loggedSince(since).front().first, ev::kLiveThreadNone);
  threadctl_active = nullptr;
}

TEST_F(HeapOwnership, TheProfilerGateMovesOnlyForTheFirstThread) {
  records[0].at(tr::kProfilingExclusion) = makeFixnum(0);
  vxm_thread_control.heapOwnerIndex = 1;
  close_profiler_gate();
  EXPECT_EQ(records[0].at(tr::kProfilingExclusion), makeFixnum(0));
  vxm_thread_control.heapOwnerIndex = 0;
  close_profiler_gate();
  EXPECT_EQ(records[0].at(tr::kProfilingExclusion), makeFixnum(1));
  open_profiler_gate();
  EXPECT_EQ(records[0].at(tr::kProfilingExclusion), makeFixnum(0));
}

TEST_F(HeapOwnership, TheAlarmServiceRecordIsWokenBySignal14) {
  smp_control_sigalrm(1, records[4].tagged());
  EXPECT_EQ(smp_sigalrm_handler, records[4].raw());
  smpgotsig14();
  EXPECT_TRUE(wakeEventSet(4));
  smp_control_sigalrm(0, records[4].tagged());
  EXPECT_EQ(smp_sigalrm_handler, nullptr);
  smpgotsig14();
  EXPECT_FALSE(wakeEventSet(4));
}

// ---- labels and trace ----

TEST(GcStateLabel, NamesTheFiveStatesAndNothingElse) {
  const char* expected[] = {"lisping", "foreign", "blocking_gc", "blocked_by_gc", "beside_gc",
                            "unknown"};
  for (int state = 0; state <= 5; ++state) EXPECT_STREQ(gcstate_label(state), expected[state]);
  EXPECT_STREQ(gcstate_label(-1), "unknown");
}

TEST_F(HeapOwnership, TheTraceLineNamesTheRecordAndItsThread) {
  records[2].at(tr::kOsThreadId) = 77;
  testing_support::ConsoleRecorder console;
  smp_gc_printf(records[2].raw(), "state %d", 3);
  smp_gc_trace = 1;
  smp_gc_printf(records[2].raw(), "state %d", 3);
  smp_gc_trace = 0;
  char expected[64];
  std::snprintf(expected, sizeof expected, "smp [0x%x(77)]: state 3\n", address(records[2].raw()));
  EXPECT_EQ(testing_support::ConsoleRecorder::console(), expected);
}

// ---- signals ----

// A Lisp exists: its nil block is laid out (the heap-lock fixture's).
class Signals : public HeapOwnership {
 protected:
  void SetUp() override {
    HeapOwnership::SetUp();
    lisp::presence::arrive();
    slot_ = platform::allocateThreadSlot();
    ASSERT_GE(slot_, 0);
    savedIndex_ = lisp_tls_index;
    lisp_tls_index = static_cast<uint32_t>(slot_) * 4;
    platform::setThreadSlot(slot_, records[0].tagged());
    std::fill(std::begin(lsignals), std::end(lsignals), 0);
  }
  void TearDown() override {
    platform::setThreadSlot(slot_, 0);
    platform::freeThreadSlot(slot_);
    lisp_tls_index = savedIndex_;
    std::fill(std::begin(lsignals), std::end(lsignals), 0);
    lisp::presence::depart();
    HeapOwnership::TearDown();
  }
  uint32_t& global(int32_t offset) { return lisp::wordAt(nilval, offset); }
  uint32_t pending() { return global(lisp::nil_block::global::kSignalPending); }
  uint32_t counter() { return global(lisp::nil_block::global::kInterruptCounter); }
  uint32_t routine(void (*f)()) { return address(reinterpret_cast<void*>(f)); }

  int32_t slot_ = -1;
  uint32_t savedIndex_ = 0;
};

struct UrgentCase {
  const char* what;
  bool leafCall;
  int clink;  // 0 none, 1 native code running, 2 Lisp running on top of native code
  void (*expected)();
};
const UrgentCase kUrgentCases[] = {
    {"leaf call", true, 1, urgent_interrupt_from_c_leaf},
    {"native code", false, 1, urgent_interrupt_from_c},
    {"Lisp above native code", false, 2, urgent_interrupt},
    {"no foreign call", false, 0, urgent_interrupt},
};

// The interrupted instruction the urgent-interrupt tests use lies in a
// stretch that counts as compiled Lisp code.
constexpr uint32_t kLispCodeBegin = 0x4000, kLispCodeEnd = 0x5000;
constexpr uint32_t kInLispCode = 0x4321, kOutsideLispCode = 0x8321;

class UrgentInterrupt : public Signals, public testing::WithParamInterface<UrgentCase> {
 protected:
  void SetUp() override {
    Signals::SetUp();
    lisp::os::setExtraLispCode(kLispCodeBegin, kLispCodeEnd);
  }
  void TearDown() override {
    lisp::os::setExtraLispCode(0, 0);
    Signals::TearDown();
  }
};

TEST_P(UrgentInterrupt, TheFifthInterruptRedirectsTheContext) {
  const UrgentCase& c = GetParam();
  alignas(8) uint32_t clinkRecord[tr::kClinkRecordWords] = {tr::kEmptyClinkChain, 0};
  if (c.leafCall) records[0].at(tr::kLeafCallStack) = 0x1000;
  if (c.clink != 0) records[0].at(tr::kClinkHead) = address(clinkRecord);
  if (c.clink == 2) clinkRecord[1] = 0x2000;
  records[0].at(tr::kSelectBlock) = 1234;

  platform::ThreadContext context{};
  context.eip = kInLispCode;
  uint32_t stack[4] = {};
  context.esp = address(stack + 4);
  const testing_support::ConsoleRecorder console;
  for (int n = 1; n <= 3; ++n) {
    EXPECT_EQ(gotsig(2, nullptr, &context), 1);
    EXPECT_EQ(counter(), makeFixnum(n));
    EXPECT_EQ(pending(), 0xffffffffu);
  }
  EXPECT_EQ(records[0].at(tr::kSelectBlock), 0u) << "a select in progress times out";
  EXPECT_EQ(testing_support::ConsoleRecorder::console(), "");
  EXPECT_EQ(gotsig(2, nullptr, &context), 1);
  EXPECT_NE(testing_support::ConsoleRecorder::console().find("received 4 interrupts"),
            std::string::npos);
  EXPECT_EQ(context.eip, 0x4321u);
  EXPECT_EQ(lsignals[0], 2);

  const uint32_t since = mplog_sequence;
  EXPECT_EQ(gotsig(2, nullptr, &context), 1);
  EXPECT_EQ(context.eip, routine(c.expected));
  // The routine returns to the interrupted instruction.
  EXPECT_EQ(context.esp, address(stack + 3));
  EXPECT_EQ(stack[3], 0x4321u);
  EXPECT_EQ(counter(), makeFixnum(0));
  EXPECT_EQ(pending(), 0u);
  for (int slot : lsignals) EXPECT_EQ(slot, 0);
  const auto logged = loggedSince(since);
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(logged.back(), (std::pair<uint32_t, uint32_t>{ev::kSignalDelivered, 2}));
}

INSTANTIATE_TEST_SUITE_P(Where, UrgentInterrupt, testing::ValuesIn(kUrgentCases));

// Where the collector would not understand every live register (outside
// compiled Lisp code) or a collection runs, the fifth interrupt is held:
// the context goes on unchanged, the counter stays at 4 and the pending
// word set, so the next safe point answers it.
TEST_F(UrgentInterrupt, TheFifthInterruptIsHeldOutsideLispCodeAndDuringACollection) {
  const struct {
    const char* what;
    uint32_t eip;
    uint32_t* collecting;  // the flag set during the request, or none
  } cases[] = {
      {"native code", kOutsideLispCode, nullptr},
      {"Lisp code in a scavenge", kInLispCode, &InScavenge},
      {"Lisp code in a global collection", kInLispCode, &GsInGlobalGc},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    uint32_t stack[4] = {};
    platform::ThreadContext context{};
    context.eip = c.eip;
    context.esp = address(stack + 4);
    global(lisp::nil_block::global::kInterruptCounter) = makeFixnum(4);
    if (c.collecting) *c.collecting = 1;
    EXPECT_EQ(gotsig(2, nullptr, &context), 1);
    if (c.collecting) *c.collecting = 0;
    EXPECT_EQ(context.eip, c.eip);
    EXPECT_EQ(context.esp, address(stack + 4));
    EXPECT_EQ(counter(), makeFixnum(4));
    EXPECT_EQ(pending(), 0xffffffffu);
  }
}

// From a thread without a record only the console's interrupt counts, for
// the heap owner; any other signal is logged and dropped, the owner's select
// and the alarm thread left alone.
TEST_F(Signals, FromAThreadWithoutARecordOnlyTheConsolesInterruptCountsForTheOwner) {
  platform::setThreadSlot(slot_, 0);
  vxm_thread_control.heapOwnerIndex = 1;
  vxm_thread_control.alarmThread = 3;
  records[1].at(tr::kSelectBlock) = 1234;
  const uint32_t since = mplog_sequence;
  EXPECT_EQ(gotsig(14, nullptr, nullptr), 0);
  EXPECT_EQ(records[1].at(tr::kSelectBlock), 1234u);
  EXPECT_FALSE(wakeEventSet(3));
  const auto logged = loggedSince(since);
  EXPECT_NE(std::find(logged.begin(), logged.end(),
                      std::pair<uint32_t, uint32_t>{ev::kSignalWithoutThread, 0}),
            logged.end());

  EXPECT_EQ(gotsig(2, nullptr, nullptr), 1);
  EXPECT_EQ(counter(), makeFixnum(1));
  EXPECT_EQ(records[1].at(tr::kSelectBlock), 0u) << "the owner's select times out";
  vxm_thread_control.alarmThread = -1;
  vxm_thread_control.heapOwnerIndex = -2;
}

TEST_F(Signals, Signal14WakesTheAlarmThreadOnce) {
  vxm_thread_control.alarmThread = 3;
  const uint32_t since = mplog_sequence;
  EXPECT_EQ(gotsig(14, nullptr, nullptr), 1);
  EXPECT_TRUE(wakeEventSet(3));
  EXPECT_EQ(vxm_thread_control.alarmThread, -1);
  EXPECT_EQ(lsignals[0], 14);
  EXPECT_EQ(gotsig(14, nullptr, nullptr), 1);
  EXPECT_FALSE(wakeEventSet(3));
  int alarmWakes = 0;
  for (const auto& [code, value] : loggedSince(since))
    if (code == ev::kAlarmWakes) {
      ++alarmWakes;
      EXPECT_EQ(value, 3u);
    }
  EXPECT_EQ(alarmWakes, 1);
  EXPECT_EQ(counter(), makeFixnum(0)) << "only signal 2 counts";
}

TEST_F(Signals, WithoutARecordTheSignalIsNotHandled) {
  platform::setThreadSlot(slot_, 0);
  const uint32_t since = mplog_sequence;
  EXPECT_EQ(gotsig(2, nullptr, nullptr), 0);
  EXPECT_EQ(pending(), 0xffffffffu);
  EXPECT_EQ(counter(), makeFixnum(0));
  const auto logged = loggedSince(since);
  EXPECT_NE(std::find(logged.begin(), logged.end(),
                      std::pair<uint32_t, uint32_t>{ev::kSignalWithoutThread, 0}),
            logged.end());

  const uint32_t before = mplog_sequence;
  global(lisp::nil_block::global::kSignalPending) = 0;
  EXPECT_EQ(gotsig(0, nullptr, nullptr), 0) << "signal 0 is ignored";
  EXPECT_EQ(mplog_sequence, before);
  EXPECT_EQ(pending(), 0u);
}

}  // namespace
}  // namespace heap_lock_test
