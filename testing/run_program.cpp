#include "testing/run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace testing_support {
namespace {

void closeIfOpen(int& fd) {
  if (fd >= 0) {
    close(fd);
    fd = -1;
  }
}

struct Pipe {
  int readEnd = -1;
  int writeEnd = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    readEnd = fds[0];
    writeEnd = fds[1];
  }
  ~Pipe() {
    closeIfOpen(readEnd);
    closeIfOpen(writeEnd);
  }
};

// Reads every datagram queued on `socket` without waiting for more.
void receiveWaitingDatagrams(int socket, std::vector<std::string>& datagrams) {
  char buffer[65536];
  for (;;) {
    const ssize_t got = recv(socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (got < 0) {
      if (errno == EINTR) continue;
      return;
    }
    datagrams.emplace_back(buffer, static_cast<size_t>(got));
  }
}

}  // namespace

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& arguments,
                      const ProgramOptions& options) {
  Pipe input, output, error;

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const auto& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);

  pid_t child = fork();
  if (child < 0) throw std::runtime_error("fork failed");
  if (child == 0) {
    dup2(input.readEnd, STDIN_FILENO);
    dup2(output.writeEnd, STDOUT_FILENO);
    dup2(error.writeEnd, STDERR_FILENO);
    if (options.standardOutput == OutputTarget::Closed) close(STDOUT_FILENO);
    if (options.standardOutput == OutputTarget::DeviceFull) {
      const int full = open("/dev/full", O_WRONLY);
      if (full < 0 || dup2(full, STDOUT_FILENO) < 0) _exit(125);
      close(full);
    }
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
    execv(program.c_str(), argv.data());
    _exit(127);
  }

  closeIfOpen(input.readEnd);
  closeIfOpen(output.writeEnd);
  closeIfOpen(error.writeEnd);

  // Feed standard input first; a child that never reads gets EPIPE, which we ignore.
  signal(SIGPIPE, SIG_IGN);
  const char* data = options.standardInput.data();
  size_t remaining = options.standardInput.size();
  while (remaining > 0) {
    ssize_t written = write(input.writeEnd, data, remaining);
    if (written < 0) {
      if (errno == EINTR) continue;
      break;
    }
    data += written;
    remaining -= static_cast<size_t>(written);
  }
  closeIfOpen(input.writeEnd);

  ProgramRun run;
  pollfd fds[3] = {{output.readEnd, POLLIN, 0}, {error.readEnd, POLLIN, 0},
                   {options.datagramSocket, POLLIN, 0}};
  std::string* sinks[2] = {&run.standardOutput, &run.standardError};
  int open = 2;
  while (open > 0) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error("poll failed");
    }
    if (fds[2].fd >= 0 && fds[2].revents != 0) receiveWaitingDatagrams(fds[2].fd, run.datagrams);
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t got = read(fds[i].fd, buffer, sizeof buffer);
      if (got > 0) {
        sinks[i]->append(buffer, static_cast<size_t>(got));
      } else if (got == 0 || errno != EINTR) {
        fds[i].fd = -1;
        --open;
      }
    }
  }

  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  // Loopback delivers at once: what the child sent is queued by now.
  if (options.datagramSocket >= 0) receiveWaitingDatagrams(options.datagramSocket, run.datagrams);
  if (WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) run.terminatingSignal = WTERMSIG(status);
  return run;
}

}  // namespace testing_support
