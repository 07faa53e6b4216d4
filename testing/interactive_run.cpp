// The child runs in a session of its own: on a terminal, the terminal is its
// controlling one (forkpty); with pipes, its standard input is one pipe and
// its standard output and error share another.
#include "testing/interactive_run.h"

#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>

namespace testing_support {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void execChild(const std::string& program, const std::vector<std::string>& arguments,
                            const InteractiveOptions& options) {
  if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
  for (const auto& [name, value] : options.environment) setenv(name.c_str(), value.c_str(), 1);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

}  // namespace

InteractiveRun::InteractiveRun(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const InteractiveOptions& options) {
  // A write to a program that has gone must fail, not end the test.
  saved_pipe_action_ = std::signal(SIGPIPE, SIG_IGN);
  if (options.terminal) {
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 100;
    int master = -1;
    pid_ = forkpty(&master, nullptr, nullptr, &size);
    if (pid_ == 0) execChild(program, arguments, options);
    if (pid_ < 0) return;
    output_fd_ = master;
    input_fd_ = dup(master);
    terminal_ = true;
    return;
  }
  int in[2], out[2];
  if (pipe(in) != 0) return;
  if (pipe(out) != 0) {
    close(in[0]);
    close(in[1]);
    return;
  }
  pid_ = fork();
  if (pid_ == 0) {
    setsid();
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    dup2(out[1], STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1]}) close(fd);
    execChild(program, arguments, options);
  }
  close(in[0]);
  close(out[1]);
  if (pid_ < 0) {
    close(in[1]);
    close(out[0]);
    return;
  }
  input_fd_ = in[1];
  output_fd_ = out[0];
}

InteractiveRun::~InteractiveRun() {
  if (pid_ > 0 && !end_.ended) {
    kill(pid_, SIGKILL);
    reap(true);
  }
  if (input_fd_ >= 0) close(input_fd_);
  if (output_fd_ >= 0) close(output_fd_);
  std::signal(SIGPIPE, saved_pipe_action_);
}

void InteractiveRun::type(const std::string& bytes) {
  size_t done = 0;
  while (input_fd_ >= 0 && done < bytes.size()) {
    const ssize_t wrote = write(input_fd_, bytes.data() + done, bytes.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<size_t>(wrote);
  }
}

void InteractiveRun::closeInput() {
  if (input_fd_ >= 0) close(input_fd_);
  input_fd_ = -1;
}

bool InteractiveRun::pump(std::chrono::milliseconds wait) {
  if (output_fd_ < 0) return false;
  pollfd watched{output_fd_, POLLIN, 0};
  const int ready = poll(&watched, 1, static_cast<int>(wait.count()));
  if (ready <= 0) return true;
  char chunk[4096];
  const ssize_t got = read(output_fd_, chunk, sizeof chunk);
  if (got < 0 && errno == EINTR) return true;
  if (got <= 0) {  // end of output (EIO on a terminal whose program has gone)
    close(output_fd_);
    output_fd_ = -1;
    return false;
  }
  output_.append(chunk, static_cast<size_t>(got));
  return true;
}

void InteractiveRun::reap(bool wait) {
  if (pid_ <= 0 || end_.ended) return;
  int status = 0;
  pid_t done;
  do {
    done = waitpid(pid_, &status, wait ? 0 : WNOHANG);
  } while (done < 0 && errno == EINTR);
  if (done != pid_) return;
  end_.ended = true;
  if (WIFEXITED(status)) end_.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) end_.terminatingSignal = WTERMSIG(status);
}

size_t InteractiveRun::awaitOutput(const std::string& text, std::chrono::milliseconds limit,
                                   size_t from) {
  const auto until = Clock::now() + limit;
  for (;;) {
    const size_t at = from <= output_.size() ? output_.find(text, from) : std::string::npos;
    if (at != std::string::npos) return at + text.size();
    if (Clock::now() >= until) return std::string::npos;
    if (!pump(std::chrono::milliseconds(50))) {
      const size_t last = from <= output_.size() ? output_.find(text, from) : std::string::npos;
      return last == std::string::npos ? last : last + text.size();
    }
  }
}

InteractiveEnd InteractiveRun::awaitEnd(std::chrono::milliseconds limit) {
  const auto until = Clock::now() + limit;
  while (!end_.ended && Clock::now() < until) {
    if (!pump(std::chrono::milliseconds(50))) usleep(20000);
    reap(false);
  }
  while (end_.ended && pump(std::chrono::milliseconds(100))) {
  }
  return end_;
}

void InteractiveRun::sendSignal(int signal) {
  if (pid_ > 0 && !end_.ended) kill(pid_, signal);
}

bool InteractiveRun::terminalMode(termios* mode) const {
  // The master reads the mode of its terminal.
  return terminal_ && input_fd_ >= 0 && tcgetattr(input_fd_, mode) == 0;
}

std::vector<std::string> InteractiveRun::screenLines() const {
  std::vector<std::string> lines(1);
  size_t column = 0;
  for (size_t i = 0; i < output_.size(); ++i) {
    const char c = output_[i];
    std::string& line = lines.back();
    if (c == '\r') {
      column = 0;
    } else if (c == '\n') {
      lines.emplace_back();
      column = 0;
    } else if (c == '\033' && i + 1 < output_.size() && output_[i + 1] == '[') {
      size_t end = i + 2;
      while (end < output_.size() && !(output_[end] >= '@' && output_[end] <= '~')) ++end;
      if (end < output_.size() && output_[end] == 'K') line.resize(std::min(line.size(), column));
      i = end;
    } else {
      if (column < line.size())
        line[column] = c;
      else
        line += c;
      ++column;
    }
  }
  return lines;
}

}  // namespace testing_support
