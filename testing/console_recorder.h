// What the runtime writes through the host record's write hook, kept per
// descriptor, and a host record with that hook made the runtime's own for
// the recorder's lifetime (for tests that link the runtime's objects). The
// runtime's console printer writes every message to descriptor 1.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "launcher/host_record.h"
#include "runtime/os/host_record_services.h"

namespace testing_support {

class ConsoleRecorder {
 public:
  // Installs a host record of its own.
  ConsoleRecorder() : target_(&record_) {
    saved_ = redir;
    redir = reinterpret_cast<uint32_t*>(&record_);
    start();
  }
  // Records through the write hook of a host record already installed.
  explicit ConsoleRecorder(host::HostRecord& installed) : target_(&installed) { start(); }
  ~ConsoleRecorder() {
    target_->writeHook = savedHook_;
    if (target_ == &record_) redir = saved_;
  }
  ConsoleRecorder(const ConsoleRecorder&) = delete;
  ConsoleRecorder& operator=(const ConsoleRecorder&) = delete;

  // Everything written to the descriptor so far.
  static std::string textOf(int32_t descriptor) {
    const auto found = written().find(descriptor);
    return found == written().end() ? std::string() : found->second;
  }
  static std::string console() { return textOf(host::kStandardOutput); }
  static size_t descriptorsWritten() { return written().size(); }
  static void clear() { written().clear(); }

  // Hooks answer with this when set (else the length written).
  static int32_t& answer() {
    static int32_t value = -1;
    return value;
  }

 private:
  void start() {
    savedHook_ = target_->writeHook;
    target_->writeHook = recordWrite;
    written().clear();
    answer() = -1;
  }

  static std::map<int32_t, std::string>& written() {
    static std::map<int32_t, std::string> text;
    return text;
  }
  static int32_t recordWrite(int32_t descriptor, const char* buffer, int32_t length, int32_t*) {
    written()[descriptor].append(buffer, static_cast<size_t>(length));
    return answer() >= 0 ? answer() : length;
  }

  host::HostRecord record_{};
  host::HostRecord* target_;
  host::WriteHook savedHook_ = nullptr;
  uint32_t* saved_ = nullptr;
};

}  // namespace testing_support
