// The terminal front end: a reader thread and a renderer thread over the
// console model. Both stop touching the model once the front end is stopped,
// so that the launcher may end while they run.

#include "launcher/terminal_front_end.h"

#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <vector>

#include "launcher/console_tray.h"
#include "launcher/console_window.h"
#include "launcher/popup_menu.h"
#include "launcher/splash_screen.h"
#include "launcher/terminal_guard.h"
#include "launcher/window_messages.h"
#include "platform/message_queue.h"
#include "platform/threads.h"
#include "platform/window_look.h"

namespace launcher {

namespace {

constexpr int kRenderPeriodMs = 20;

// Control keys as the terminal sends them.
constexpr unsigned char kCtrlA = 1, kCtrlB = 2, kCtrlC = 3, kCtrlD = 4, kCtrlS = 19,
                        kCtrlT = 20, kCtrlZ = 26, kDelete = 127;

std::atomic<bool> stopped{true};
std::atomic<bool> input_ended{false};
bool interactive = false;  // raw mode on a terminal
termios saved_mode;
bool mode_saved = false;
std::mutex& renderLock() {
  static auto* const lock = new std::mutex;
  return *lock;
}

void restoreTerminal() {
  if (!mode_saved) return;
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_mode);
  mode_saved = false;
  dismissTerminalGuard();
}

// Raw input: no line editing, echo or signal keys; output keeps its line
// ends.
void enterRawMode() {
  // Decision: both ends must be the terminal; output to a file or pipe gets
  // no cursor controls.
  if (!isatty(STDIN_FILENO) || !isatty(STDOUT_FILENO) || tcgetattr(STDIN_FILENO, &saved_mode) != 0)
    return;
  // However the process ends, the terminal gets its mode back: at exit
  // from here, on any other end from the guard. Decision: should no guard
  // start (no process to spare), the console still runs raw.
  startTerminalGuard(STDIN_FILENO, saved_mode);
  termios raw = saved_mode;
  raw.c_lflag &= ~(ICANON | ECHO | ISIG | IEXTEN);
  raw.c_iflag &= ~(IXON | ICRNL | INLCR);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) {
    dismissTerminalGuard();
    return;
  }
  mode_saved = true;
  interactive = true;
  std::atexit(restoreTerminal);
}

void writeAll(const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t wrote = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return;
    done += static_cast<size_t>(wrote);
  }
}

void post(const KeyMessage& key) {
  platform::Handle target = platform::kNoHandle;
  switch (key.to) {
    case KeyMessage::To::Edit:
      target = console_window.edit;
      break;
    case KeyMessage::To::Frame:
    case KeyMessage::To::Menu:
      target = console_window.frame;
      break;
    case KeyMessage::To::Splash:
      target = splashWindow();
      break;
    case KeyMessage::To::None:
      return;
  }
  if (target) platform::postWindowMessage(target, key.message, key.wParam, key.lParam);
}

void postEndOfInput() {
  if (console_window.frame) platform::postWindowMessage(console_window.frame, wm::kClose, 0, 0);
}

uint32_t readerThread(void*) {
  for (;;) {
    unsigned char byte = 0;
    const ssize_t got = ::read(STDIN_FILENO, &byte, 1);
    if (got < 0 && errno == EINTR) continue;
    if (stopped) return 0;
    if (got <= 0) {
      // The Lisp's input ends behind what was typed, and the console closes
      // (a close that the Lisp may take, or that answers the image prompt).
      input_ended = true;
      if (console_window.edit)
        platform::postWindowMessage(console_window.edit, wm::kInputEnded, 0, 0);
      postEndOfInput();
      return 0;
    }
    std::vector<uint32_t> commands;
    {
      std::lock_guard<std::mutex> hold(consoleViewLock());
      commands = openMenuCommands();
    }
    const KeyMessage key = keyMessage(byte, commands.data(), commands.size());
    post(key);
  }
}

// ---- the renderer ----

const char* showWord(platform::ShowState state) {
  switch (state) {
    case platform::ShowState::Hidden:
      return "hidden";
    case platform::ShowState::Shown:
      return "shown";
    case platform::ShowState::Minimised:
      return "minimised";
    case platform::ShowState::Maximised:
      return "maximised";
  }
  return "";
}

std::string describeConsole() {
  platform::WindowLook look;
  if (!console_window.frame || !platform::readWindowLook(console_window.frame, &look)) return "";
  std::string line = std::string("console: ") + showWord(look.show);
  if (look.foreground) line += ", in front";
  if (look.closeItemState) line += ", Close greyed";
  if (!(look.style & platform::kStyleMinimiseBox)) line += ", no minimise box";
  if (!(look.style & platform::kStyleMaximiseBox)) line += ", no maximise box";
  if (console_text.selectionEnd > console_text.selectionStart) line += ", all selected";
  return line + ", \"" + look.text + "\"";
}

std::string withoutCarriageReturns(const std::string& text) {
  std::string plain;
  plain.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) plain += text[i];
  return plain;
}

struct Screen {
  std::string tail;   // the unfinished last line of the console's text on screen
  std::string input;  // the unfinished input shown behind it
  std::map<int, std::string> lines;  // the last bracketed line of each kind
  bool atLineStart = true;
} screen;

void render() {
  std::string unseen, input;
  std::vector<std::string> changed;
  {
    std::lock_guard<std::mutex> hold(consoleViewLock());
    unseen = withoutCarriageReturns(console_text.unseen);
    console_text.unseen.clear();
    const size_t mark = std::min<size_t>(static_cast<size_t>(console_text.mark),
                                         console_text.text.size());
    input = withoutCarriageReturns(console_text.text.substr(mark));
    const std::string descriptions[] = {describeConsole(), describeTray(), describeSplash(),
                                        describeOpenMenu()};
    for (int kind = 0; kind < 4; ++kind) {
      if (screen.lines[kind] == descriptions[kind]) continue;
      screen.lines[kind] = descriptions[kind];
      if (!descriptions[kind].empty()) changed.push_back(descriptions[kind]);
    }
  }
  if (unseen.empty() && changed.empty() && (!interactive || input == screen.input)) return;
  std::string out;
  if (interactive) out += "\r\033[K";
  for (const std::string& line : changed) {
    if (!interactive && !screen.atLineStart) out += "\n";
    out += "[" + line + "]\n";
    screen.atLineStart = true;
  }
  if (interactive) out += screen.tail;
  out += unseen;
  const size_t lastBreak = unseen.rfind('\n');
  screen.tail = lastBreak == std::string::npos ? screen.tail + unseen : unseen.substr(lastBreak + 1);
  if (!unseen.empty()) screen.atLineStart = unseen.back() == '\n';
  if (interactive) {
    out += input;
    screen.input = input;
  }
  writeAll(out);
}

uint32_t rendererThread(void*) {
  for (;;) {
    usleep(kRenderPeriodMs * 1000);
    std::lock_guard<std::mutex> hold(renderLock());
    if (stopped) return 0;
    render();
  }
}

}  // namespace

KeyMessage keyMessage(unsigned char byte, const uint32_t* menuCommands, size_t menuCount) {
  using To = KeyMessage::To;
  if (menuCount > 0) {
    const size_t number = byte >= '1' && byte <= '9' ? byte - '0' : 0;
    const uint32_t command = number && number <= menuCount ? menuCommands[number - 1] : 0;
    return {To::Menu, wm::kMenuPick, command, 0};
  }
  switch (byte) {
    case '\r':
    case '\n':
      return {To::Edit, wm::kChar, wm::kKeyEnter, 0};
    case kDelete:
    case wm::kKeyBackspace:
      return {To::Edit, wm::kChar, wm::kKeyBackspace, 0};
    case kCtrlA:
      return {To::Edit, wm::kKeyDown, wm::kKeyA, wm::kControlHeld};
    case kCtrlC:
      return {To::Edit, wm::kKeyDown, wm::kKeyPause, 0};
    case kCtrlD:  // the close button: "+Cx" disables it
      return {To::Frame, wm::kSystemCommand, wm::kCommandClose, 0};
    case kCtrlZ:
      return {To::Frame, wm::kSystemCommand, wm::kCommandMinimise, 0};
    case kCtrlT:
      return {To::Frame, wm::kTrayNotify, 0, wm::kRightButtonUp};
    case kCtrlS:
      return {To::Frame, wm::kTrayNotify, 0, wm::kLeftButtonDoubleClick};
    case kCtrlB:
      return {To::Splash, wm::kLeftButtonDown, 0, 0};
  }
  if (byte >= 0x20 || byte == '\t') return {To::Edit, wm::kChar, byte, 0};
  return {To::None, 0, 0, 0};
}

void startTerminalFrontEnd() {
  enterRawMode();
  stopped = false;
  renderConsoleNow();  // the window, the tray and a splash that is up
  uint32_t id = 0;
  platform::createThread(readerThread, nullptr, 0, &id);
  platform::createThread(rendererThread, nullptr, 0, &id);
}

void renderConsoleNow() {
  std::lock_guard<std::mutex> hold(renderLock());
  if (!stopped) render();
}

void consolePauseStarting() {
  if (input_ended) postEndOfInput();
}

void stopTerminalFrontEnd() {
  std::lock_guard<std::mutex> hold(renderLock());
  if (stopped) return;
  render();
  if (interactive && !screen.tail.empty()) writeAll("\n");
  stopped = true;
  restoreTerminal();
}

}  // namespace launcher
