// Runs a program as a child process and captures what it writes, for
// black-box tests of the project's executables.
#pragma once

#include <string>
#include <vector>

namespace testing_support {

struct ProgramRun {
  int exitStatus = -1;     // exit code, or -1 when the child did not exit normally
  int terminatingSignal = 0;  // signal number when the child was killed by one
  std::string standardOutput;
  std::string standardError;
  std::vector<std::string> datagrams;  // received on ProgramOptions::datagramSocket, in order
};

// Where the child's standard output goes: a pipe the test reads, a device
// on which every write fails for lack of space, or nowhere (closed).
enum class OutputTarget { Captured, DeviceFull, Closed };

struct ProgramOptions {
  std::string workingDirectory;  // empty: the test's own
  std::string standardInput;     // written to the child's standard input, then closed
  int datagramSocket = -1;       // a bound UDP socket read while the child runs (-1: none)
  OutputTarget standardOutput = OutputTarget::Captured;
};

// Starts `program` with `arguments` (not including argv[0]) and waits for it.
ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options = {});

}  // namespace testing_support
