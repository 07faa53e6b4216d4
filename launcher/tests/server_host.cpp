// A host program for the server entry points' black-box tests: it calls them
// the way an in-process host does and prints what it got, one "key=value"
// line each. The scenario is the first argument. Built twice: over the
// launcher library itself, and from the launcher's sources with
// AddressSanitizer and shortened waits (the two later arguments, in ms).

#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "launcher/server_entries.h"

// "+c": no console. Built from the launcher's sources, the program is the
// launcher's own module and a server start takes it; over the launcher
// library it is only the host's and must not be taken.
extern "C" __attribute__((visibility("default"), used)) const char RVXMCMD[] = "+c\0";

namespace {

// The stand-in Lisp's class object for a class id.
constexpr uint32_t kClassObjectMark = 0x5a5a5a5a;

using Clock = std::chrono::steady_clock;

struct ClassId {
  unsigned char bytes[16];
};

uint32_t word(const void* address) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(address));
}

void* expectedObject(const ClassId& classId) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(word(&classId) ^ kClassObjectMark));
}

void* const kUntouched = reinterpret_cast<void*>(0x1234);

// One call of each entry in order, with the words a test compares.
void callEachOnce() {
  static const ClassId classId{}, interfaceId{};
  std::printf("unload_before=%d\n", DllCanUnloadNow());
  void* object = kUntouched;
  const int32_t result = DllGetClassObject(&classId, &interfaceId, &object);
  std::printf("class_id=%#x\ninterface_id=%#x\nout_cell=%#x\n", word(&classId), word(&interfaceId),
              word(&object));
  std::printf("get_class_object=%#x\nobject_matches=%d\n", result,
              object == expectedObject(classId));
  std::printf("register=%#x\n", DllRegisterServer());
  std::printf("unregister=%#x\n", DllUnregisterServer());
  std::printf("unload_during=%d\n", DllCanUnloadNow());
}

// `threads` callers at once, `calls` class objects each, every one with a
// class id of its own; prints how many answers were wrong or failed.
void callConcurrently(int threads, int calls) {
  std::vector<ClassId> classIds(threads * calls);
  std::vector<int> wrong(threads, 0);
  std::latch ready(threads);
  std::vector<std::thread> callers;
  for (int t = 0; t < threads; ++t)
    callers.emplace_back([&, t] {
      ready.arrive_and_wait();
      for (int c = 0; c < calls; ++c) {
        const ClassId& classId = classIds[t * calls + c];
        void* object = kUntouched;
        const int32_t result = DllGetClassObject(&classId, &classId, &object);
        if (result != 0 || object != expectedObject(classId)) ++wrong[t];
      }
    });
  for (std::thread& caller : callers) caller.join();
  int total = 0;
  for (int w : wrong) total += w;
  std::printf("wrong=%d\n", total);
}

// A class object whose answer comes after the wait ran out, then a call that
// must get its own answer.
void answerTooLate() {
  static const ClassId classId{};
  void* object = kUntouched;
  std::printf("late_call=%#x\n", DllGetClassObject(&classId, &classId, &object));
  std::this_thread::sleep_for(std::chrono::seconds(1));
  std::printf("out_untouched=%d\n", object == kUntouched);
  std::printf("register=%#x\n", DllRegisterServer());
}

void timedCall() {
  const Clock::time_point start = Clock::now();
  std::printf("register=%#x\n", DllRegisterServer());
  const auto elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
  std::printf("waited_ms=%lld\n", static_cast<long long>(elapsed));
  std::printf("unload=%d\n", DllCanUnloadNow());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
#ifdef SERVER_HOST_SETS_WAITS
  if (argc >= 4)
    launcher::setServerWaitLimits({static_cast<uint32_t>(std::atoi(argv[2])),
                                   static_cast<uint32_t>(std::atoi(argv[3]))});
#endif
  const std::string scenario = argv[1];
  if (scenario == "each-once")
    callEachOnce();
  else if (scenario == "first-calls")
    callConcurrently(8, 1);
  else if (scenario == "many-callers")
    callConcurrently(8, 50);
  else if (scenario == "late-answer")
    answerTooLate();
  else if (scenario == "timed")
    timedCall();
  else
    return 2;
  std::fflush(stdout);
  // The Lisp thread still runs: end without tearing down what it uses.
  _exit(0);
}
