#include "launcher/launcher_options.h"

#include <cctype>
#include <climits>
#include <cstring>

namespace launcher {

namespace {

using Effect = void (*)(LauncherSettings& s, const char* value);

struct OptionRow {
  const char* word;
  bool takesValue;
  Effect apply;  // value is null when the option was the last element
};

void keepTrayName(LauncherSettings& s, const char* name) {
  // A name longer than the limit keeps one character fewer than the limit.
  const size_t length = std::strlen(name);
  const size_t kept = length > kTrayNameLimit ? kTrayNameLimit - 1 : length;
  std::memcpy(s.trayName, name, kept);
  s.trayName[kept] = '\0';
}

// An option that takes a value and stands last is removed alone and changes
// nothing; only "+b" still acts, its row receiving a null value.
constexpr OptionRow kOptions[] = {
    {"+c", false, [](LauncherSettings& s, const char*) { s.consoleWanted = 0; }},
    {"+cn", false, [](LauncherSettings& s, const char*) { s.noActivate = 1, s.consoleWanted = 1; }},
    {"+cm", false,
     [](LauncherSettings& s, const char*) { s.startMinimised = 1, s.consoleWanted = 1; }},
    {"+cx", false,
     [](LauncherSettings& s, const char*) {
       s.consoleWanted = 1, s.startHidden = 1, s.noActivate = 1;
     }},
    {"+cc", false,
     [](LauncherSettings& s, const char*) {
       s.consoleWanted = 1, s.noActivate = 0, s.startMinimised = 0, s.startHidden = 0;
     }},
    {"+Cx", false, [](LauncherSettings& s, const char*) { s.closeButtonMode = 1; }},
    {"+Ti", false, [](LauncherSettings& s, const char*) { s.noTrayInterrupt = 1; }},
    {"+Tx", false, [](LauncherSettings& s, const char*) { s.trayExitDisabled = 1; }},
    {"+N", true, [](LauncherSettings& s, const char* v) { keepTrayName(s, v); }},
    {"+s", true, [](LauncherSettings& s, const char* v) { s.scriptFileName = v; }},
    {"+P", false, [](LauncherSettings& s, const char*) { s.pauseAtExit = 0, s.consoleWanted = 1; }},
    {"+p", false, [](LauncherSettings& s, const char*) { s.pauseAtExit = 1, s.consoleWanted = 1; }},
    {"+M", false, [](LauncherSettings& s, const char*) { s.noPauseOnError = 1; }},
    {"+m", false,
     [](LauncherSettings& s, const char*) { s.startMinimised = 1, s.consoleWanted = 1; }},
    {"+n", false, [](LauncherSettings& s, const char*) { s.noActivate = 1, s.consoleWanted = 1; }},
    {"+d", true, [](LauncherSettings& s, const char* v) { s.runtimeLibraryName = v; }},
    {"+t", true, [](LauncherSettings& s, const char* v) { s.consoleTitle = v; }},
    {"+b", true,
     [](LauncherSettings& s, const char* v) {
       s.splashWanted = 1;
       if (v) s.splashText = v;
     }},
    {"+B", false, [](LauncherSettings& s, const char*) { s.splashWanted = 0; }},
    {"+Bt", false, [](LauncherSettings& s, const char*) { s.splashWanted = 1, s.splashTimed = 1; }},
    {"+Bp", false,
     [](LauncherSettings& s, const char*) { s.splashWanted = 1, s.splashPersistent = 1; }},
    {"+x", false, [](LauncherSettings& s, const char*) { s.startHidden = 1; }},
    {"+R", false, [](LauncherSettings& s, const char*) { s.trayIconWanted = 0; }},
    {"+RR", false, [](LauncherSettings& s, const char*) { s.trayIconWanted = 1; }},
    {"-Q", false, [](LauncherSettings&, const char*) {}},
};

// The option whose row applies even without its value.
bool actsWithoutValue(const OptionRow& row) {
  return std::strcmp(row.word, "+b") == 0;
}

const OptionRow* findOption(const char* word) {
  for (const OptionRow& row : kOptions)
    if (std::strcmp(row.word, word) == 0) return &row;
  return nullptr;
}

// '+' and digits, more than 4 characters, the second one a digit.
bool isConsoleLimitWord(const char* word) {
  return word[0] == '+' && std::isdigit(static_cast<unsigned char>(word[1])) &&
         std::strlen(word) > 4;
}

}  // namespace

bool optionTakesValue(const char* word) {
  const OptionRow* row = findOption(word);
  return row && row->takesValue;
}

int parseConsoleLimit(const char* digits) {
  long long value = 0;
  for (const char* p = digits; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
    value = value * 10 + (*p - '0');
    if (value > INT_MAX) return INT_MAX;
  }
  return static_cast<int>(value);
}

void applyLauncherOptions(LauncherSettings& settings, ArgumentVector& vector) {
  while (vector.count > 1) {
    const char* word = vector.elements[1];
    if (isConsoleLimitWord(word)) {
      const int limit = parseConsoleLimit(word + 1);
      settings.consoleTextLimit = limit < kSmallestConsoleLimit ? kSmallestConsoleLimit : limit;
      removeElements(vector, 1, 1);
      continue;
    }
    const OptionRow* row = findOption(word);
    if (!row) return;
    if (!row->takesValue) {
      row->apply(settings, nullptr);
      removeElements(vector, 1, 1);
    } else if (vector.count > 2) {
      row->apply(settings, vector.elements[2]);
      removeElements(vector, 1, 2);
    } else {
      if (actsWithoutValue(*row)) row->apply(settings, nullptr);
      removeElements(vector, 1, 1);
    }
  }
}

}  // namespace launcher
