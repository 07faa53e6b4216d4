// Tiny fasl files that a loader must refuse as malformed (result 7), each with
// the line it must print on standard error. Shared by the format's tests and
// both loaders' tests; made with the test-side writer only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testing_support {

struct MalformedFaslCase {
  std::string name;
  std::vector<uint8_t> bytes;
  uint8_t code;                      // the refused item's code
  long position;                     // of its code byte
  std::string reason;                // the text after "at <position>: "
  uint32_t failingSymchkGlobal = 0;  // a begin symchk global whose symbol must be bound to nil
  bool runtimeLoaderOnly = false;    // the native loader grows its symtab
  bool nativeLoaderOnly = false;     // the runtime loader never seeks for global 124

  std::string message() const;  // "fasl: malformed item <code> at <position>: <reason>\n"
};

std::vector<MalformedFaslCase> malformedFaslCases();

}  // namespace testing_support
