// Runs a program as a person would use it: on a pseudo-terminal of its own,
// or with its standard input a pipe that the test holds open. The test types
// into it, watches what it writes (standard output and error together), and
// waits for its end; every wait is bounded, and a program still running when
// the run is dropped is killed.
#pragma once

#include <sys/types.h>
#include <termios.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace testing_support {

struct InteractiveOptions {
  bool terminal = true;          // false: a pipe for input, one for output
  std::string workingDirectory;  // empty: the test's own
  std::vector<std::pair<std::string, std::string>> environment;  // set in the child
};

struct InteractiveEnd {
  bool ended = false;     // false: still running when the wait gave up
  int exitStatus = -1;    // exit code, or -1 when a signal ended it
  int terminatingSignal = 0;
};

class InteractiveRun {
 public:
  InteractiveRun(const std::string& program, const std::vector<std::string>& arguments,
                 const InteractiveOptions& options = {});
  ~InteractiveRun();
  InteractiveRun(const InteractiveRun&) = delete;
  InteractiveRun& operator=(const InteractiveRun&) = delete;

  bool started() const { return pid_ > 0; }
  // Bytes as the keyboard sends them (a terminal in raw mode: "\r" for
  // Enter, "\x03" for Ctrl+C, "\x04" for Ctrl+D).
  void type(const std::string& bytes);
  // The end of input: the pipe's write end is closed (pipe runs only).
  void closeInput();
  // Waits until the output from `from` on holds `text`; the position just
  // behind it, or npos when it did not come within `limit` or the program
  // ended first.
  size_t awaitOutput(const std::string& text, std::chrono::milliseconds limit, size_t from = 0);
  InteractiveEnd awaitEnd(std::chrono::milliseconds limit);
  // Sends `signal` to the program while it runs.
  void sendSignal(int signal);
  // The terminal's mode as the program has set it (terminal runs only, while
  // the input is open); false without it.
  bool terminalMode(termios* mode) const;
  const std::string& output() const { return output_; }
  // The output as a terminal shows it: carriage return, erase to the end of
  // the line and line feed applied, other escapes dropped; one text per line.
  std::vector<std::string> screenLines() const;

 private:
  bool pump(std::chrono::milliseconds wait);  // false once the output has ended
  void reap(bool wait);

  pid_t pid_ = -1;
  int output_fd_ = -1;
  int input_fd_ = -1;  // the terminal's master again, or the pipe's write end
  bool terminal_ = false;
  std::string output_;
  InteractiveEnd end_;
  void (*saved_pipe_action_)(int) = nullptr;
};

}  // namespace testing_support
