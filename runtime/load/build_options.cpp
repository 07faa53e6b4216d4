// The build's command-line options: one table row per option, read from the
// second argument on until "--". Every missing argument and illegal option
// ends the process with status 1 after its message on standard error.

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/gc/gc_parameters.h"
#include "runtime/load/build_from_scratch.h"
#include "runtime/load/build_messages.h"
#include "runtime/load/native_variables.h"
#include "runtime/load/pure_library.h"
#include "runtime/load/startup.h"
#include "runtime/load/startup_messages.h"
#include "runtime/os/memory_status.h"
#include "runtime/load/string_file.h"

namespace {

namespace text = build::text;

[[noreturn]] void fail(const char* message, const char* argument = nullptr) {
  std::fprintf(stderr, message, argument);
  std::fflush(stderr);
  lisp_exit(1);
}

void warn(const char* message, char letter) {
  std::fprintf(stderr, message, letter);
  std::fflush(stderr);
}

// A decimal number as atol reads it, but refused when it is negative or does
// not fit 32 bits once multiplied.
uint32_t checkedProduct(const char* word, uint32_t multiplier) {
  const long long value = std::strtoll(word, nullptr, 10);
  if (word[0] == '\0' || value < 0 ||
      static_cast<unsigned long long>(value) > 0xFFFFFFFFull / multiplier)
    fail(text::kIllegalSize, word);
  return static_cast<uint32_t>(value) * multiplier;
}

bool isSeparator(char c) {
  return c == '/' || c == '\\';
}

const char* afterLastSeparator(const char* name) {
  const char* last = name;
  for (const char* c = name; *c; ++c)
    if (isSeparator(*c)) last = c + 1;
  return last;
}

// Copies a name into a fixed buffer, or refuses it when it does not fit.
void copyName(char* buffer, size_t size, const char* name) {
  const size_t length = std::strlen(name);
  if (length >= size) fail(startup::text::kNameTooLong, name);
  std::memcpy(buffer, name, length + 1);
}

// ---- the table ----

enum class Match {
  Exact,           // the whole word
  Prefix,          // the word begins with it
  ThirdCharacter,  // the first three characters, the third possibly the end
};

enum class Argument {
  None,
  EndsOptions,  // "--": nothing after it is read
  Size,         // one word through size_decode
  Kilobytes,    // one decimal word, times 1 024
  Number,       // one decimal word
  Word,         // one word as it is (a file name or flag letters)
  TwoWords,     // two words as they are
};

struct Use {
  const char* option;  // the option word
  const char* first;   // its first argument word, if any
  const char* second;  // its second argument word, if any
  uint32_t number;     // the first argument read as a size or number
  build::Settings& settings;
};

using Effect = void (*)(Use&);

struct OptionRow {
  const char* pattern;
  Match match;
  Argument argument;
  Effect effect;
  const char* missing;  // printed with the option's third character
  const char* missingSecond;
};

void nothing(Use&) {}
void illegal(Use& use) {
  fail(text::kIllegalArgument, use.option);
}

void keepArguments(Use&) {
  raz_start_argsave &= ~1u;
}

// A bundle name without a directory lies in the home directory. Decision:
// with no home directory known the name stays relative to the working one.
void bundleName(Use& use) {
  copyName(bu_fname, sizeof bu_fname, use.first);
  bundlename = bu_fname;
  if (std::strpbrk(use.first, "/\\") || home_location[0] == '\0') return;
  char home_file[kHomeLocationBytes + kBundleNameBytes + 2];
  std::snprintf(home_file, sizeof home_file, "%s/%s", home_location, use.first);
  copyName(bu_fname, sizeof bu_fname, home_file);
}

void library(Use& use, const char* givenName) {
  copyName(lso_file, sizeof lso_file, use.first);
  copyName(vpl_given_arg, sizeof vpl_given_arg, givenName);
  use_lso_file = 1;
}
void libraryByPath(Use& use) {
  library(use, use.first);
}
void libraryByName(Use& use) {
  library(use, afterLastSeparator(use.first));
}

void fullFasl(Use&) {
  force_full_fasl = 1;
  force_full_fasl2 = 0;
}
void fullFaslBoth(Use&) {
  force_full_fasl = force_full_fasl2 = 1;
}
void keepArgumentNames(Use&) {
  load_real_args = 1;
}
void dropArgumentNames(Use&) {
  load_real_args = 0;
}
void ignoringFasl(Use& use) {
  warn(text::kIgnoringFaslOption, use.option[2]);
}

void collectorFlags(Use& use) {
  gsgc_flag_init(use.first);
}
void quietFasl(Use&) {
  raz_fasl_noisy = 0;
}

void maximumHeap(Use& use) {
  maxheapsize = use.number;
}
void lispHeapStart(Use& use) {
  use.settings.lispHeapStart = use.number;
}
void lispHeapSize(Use& use) {
  use.settings.lispHeapBytes = use.number;
  maxheapsize = use.number;
}
void nativeHeapStart(Use& use) {
  use.settings.nativeHeapStart = use.number;
}
void nativeHeapSize(Use& use) {
  use.settings.nativeHeapBytes = use.number;
}

void noXi(Use&) {
  raz_start_xi = 0;
}
void noSfi(Use&) {
  raz_start_sfi = 0;
}
void noLni(Use&) {
  raz_start_lni = 0;
}
void noSld(Use&) {
  raz_start_sld = 0;
}

void memoryMap(Use&) {
  memory_status_dump(nullptr);
}

void newSpace(Use& use) {
  use.settings.newSpaceBytes = use.number;
}
void oldSpace(Use& use) {
  use.settings.oldSpaceBytes = use.number;
}

void profileCounts(Use&) {
  raz_start_argsave |= 2u;
  raz_start_prof |= 4u;
}
void profileFiles(Use& use, uint32_t kind) {
  copyName(raz_sample_file, sizeof raz_sample_file, use.first);
  copyName(raz_size_file, sizeof raz_size_file, use.second);
  raz_start_prof = (raz_start_prof & ~3u) | kind;
}
void profileSamples(Use& use) {
  profileFiles(use, 2);
}
void profileTimes(Use& use) {
  profileFiles(use, 1);
}
void ignoringProfile(Use& use) {
  warn(text::kIgnoringProfileOption, use.option[2]);
}

// New space's free count, a signed 32-bit word, is the semispace less the
// reserve: a reserve of 2 GB or more would make it wrap.
constexpr uint32_t kMostReserveBytes = 0x7fffffff;
void reserve(Use& use) {
  if (use.number > kMostReserveBytes) fail(text::kIllegalSize, use.first);
  use.settings.reserveBytes = use.number;
}
// Decision: a file that cannot be created leaves the build without one,
// as before the option; nothing is reported.
void stringFile(Use& use) {
  open_str_file(use.first);
}
void generationSpread(Use& use) {
  use.settings.generationSpread = static_cast<int32_t>(use.number);
}
void upperCase(Use&) {
  init_case_mode = 3;
  curreadmode = 3;
}

// First match wins; a word that matches no row is skipped.
constexpr OptionRow kOptions[] = {
    {"--", Match::Exact, Argument::EndsOptions, nothing, nullptr, nullptr},
    {"-A", Match::Prefix, Argument::None, keepArguments, nullptr, nullptr},
    {"-B", Match::Prefix, Argument::Word, bundleName, text::kMissingBundleName, nullptr},
    {"-c", Match::ThirdCharacter, Argument::Word, libraryByPath, text::kMissingLibraryName,
     nullptr},
    {"-c.", Match::ThirdCharacter, Argument::Word, libraryByName, text::kMissingLibraryName,
     nullptr},
    // The concurrency limit is checked for and not used.
    {"-cl", Match::ThirdCharacter, Argument::Number, nothing, text::kMissingConcurrencyLimit,
     nullptr},
    {"-c", Match::Prefix, Argument::None, illegal, nullptr, nullptr},
    {"-F", Match::ThirdCharacter, Argument::None, fullFasl, nullptr, nullptr},
    {"-FF", Match::ThirdCharacter, Argument::None, fullFaslBoth, nullptr, nullptr},
    {"-Fa", Match::ThirdCharacter, Argument::None, keepArgumentNames, nullptr, nullptr},
    {"-FA", Match::ThirdCharacter, Argument::None, dropArgumentNames, nullptr, nullptr},
    {"-F", Match::Prefix, Argument::None, ignoringFasl, nullptr, nullptr},
    {"-fg", Match::ThirdCharacter, Argument::Word, collectorFlags, text::kMissingFlags, nullptr},
    {"-fq", Match::ThirdCharacter, Argument::None, quietFasl, nullptr, nullptr},
    {"-f", Match::Prefix, Argument::None, nothing, nullptr, nullptr},
    // Every -h word reads its size before its name is looked at.
    {"-h", Match::Exact, Argument::Size, maximumHeap, text::kMissingHeapSize, nullptr},
    {"-hlisp_start", Match::Exact, Argument::Size, lispHeapStart, text::kMissingHeapSize, nullptr},
    {"-hc_start", Match::Exact, Argument::Size, nativeHeapStart, text::kMissingHeapSize, nullptr},
    {"-hvxmmalloc_start", Match::Exact, Argument::Size, nativeHeapStart, text::kMissingHeapSize,
     nullptr},
    {"-hc_size", Match::Exact, Argument::Size, nativeHeapSize, text::kMissingHeapSize, nullptr},
    {"-hvxmmalloc_size", Match::Exact, Argument::Size, nativeHeapSize, text::kMissingHeapSize,
     nullptr},
    {"-hlisp_size", Match::Exact, Argument::Size, lispHeapSize, text::kMissingHeapSize, nullptr},
    {"-h", Match::Prefix, Argument::Size, illegal, text::kMissingHeapSize, nullptr},
    {"-lxi", Match::Exact, Argument::None, noXi, nullptr, nullptr},
    {"-lsfi", Match::Exact, Argument::None, noSfi, nullptr, nullptr},
    {"-llni", Match::Exact, Argument::None, noLni, nullptr, nullptr},
    {"-lsld", Match::Exact, Argument::None, noSld, nullptr, nullptr},
    {"-l", Match::Prefix, Argument::None, illegal, nullptr, nullptr},
    {"-M", Match::Prefix, Argument::None, memoryMap, nullptr, nullptr},
    {"-n", Match::Prefix, Argument::Size, newSpace, text::kMissingNewSize, nullptr},
    {"-o2", Match::ThirdCharacter, Argument::None, nothing, nullptr, nullptr},
    {"-o", Match::Prefix, Argument::Size, oldSpace, text::kMissingOldSize, nullptr},
    {"-Pc", Match::ThirdCharacter, Argument::None, profileCounts, nullptr, nullptr},
    {"-Ps", Match::ThirdCharacter, Argument::TwoWords, profileSamples, text::kMissingSampleFile,
     text::kMissingSizeFile},
    {"-Pt", Match::ThirdCharacter, Argument::TwoWords, profileTimes, text::kMissingSampleFile,
     text::kMissingSizeFile},
    {"-P", Match::Prefix, Argument::None, ignoringProfile, nullptr, nullptr},
    {"-r", Match::Prefix, Argument::Kilobytes, reserve, text::kMissingReserveSize, nullptr},
    {"-st", Match::ThirdCharacter, Argument::Word, stringFile, text::kMissingStringFile, nullptr},
    {"-s", Match::Prefix, Argument::None, nothing, nullptr, nullptr},
    {"-t", Match::Prefix, Argument::Number, generationSpread, text::kMissingGeneration, nullptr},
    {"-u", Match::Prefix, Argument::None, upperCase, nullptr, nullptr},
};

bool matches(const OptionRow& row, const char* word) {
  switch (row.match) {
    case Match::Exact:
      return std::strcmp(word, row.pattern) == 0;
    case Match::Prefix:
      return std::strncmp(word, row.pattern, std::strlen(row.pattern)) == 0;
    case Match::ThirdCharacter:
      // The word's first two characters are the pattern's; the word is then at
      // least two long, so its third character (possibly the end) is readable.
      return std::strncmp(word, row.pattern, 2) == 0 && word[2] == row.pattern[2];
  }
  return false;
}

const OptionRow* findOption(const char* word) {
  for (const OptionRow& row : kOptions)
    if (matches(row, word)) return &row;
  return nullptr;
}

[[noreturn]] void missing(const char* message, const char* option) {
  std::fprintf(stderr, message, option[2]);
  std::fflush(stderr);
  lisp_exit(1);
}

}  // namespace

extern "C" {

uint32_t size_decode(const char* word) {
  const size_t length = std::strlen(word);
  if (length == 0) fail(text::kIllegalSize, word);
  uint32_t multiplier = 1;
  switch (const char last = word[length - 1]) {
    case 'K':
    case 'k':
      multiplier = 1024;
      break;
    case 'M':
    case 'm':
      multiplier = 1024 * 1024;
      break;
    case 'B':
    case 'b':
      break;
    default:
      if (last < '0' || last > '9') {
        std::fprintf(stderr, text::kIllegalMultiplier, last);
        std::fflush(stderr);
        lisp_exit(1);
      }
  }
  return checkedProduct(word, multiplier);
}

}  // extern "C"

namespace build {

void readOptions(int argc, char** argv, Settings& settings) {
  for (int i = 1; i < argc && argv[i]; ++i) {
    const char* word = argv[i];
    const OptionRow* row = word[0] == '-' ? findOption(word) : nullptr;
    if (!row) continue;
    if (row->argument == Argument::EndsOptions) return;
    Use use{word, nullptr, nullptr, 0, settings};
    if (row->argument != Argument::None) {
      if (i + 1 >= argc || !argv[i + 1]) missing(row->missing, word);
      use.first = argv[++i];
    }
    switch (row->argument) {
      case Argument::Size:
        use.number = size_decode(use.first);
        break;
      case Argument::Kilobytes:
        use.number = checkedProduct(use.first, 1024);
        break;
      case Argument::Number:
        use.number = static_cast<uint32_t>(std::atol(use.first));
        break;
      case Argument::TwoWords:
        if (i + 1 >= argc || !argv[i + 1]) missing(row->missingSecond, word);
        use.second = argv[++i];
        break;
      default:
        break;
    }
    row->effect(use);
  }
}

}  // namespace build
