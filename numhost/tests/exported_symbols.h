// Lists the symbols a 32-bit ELF shared object defines in its dynamic symbol
// table, so tests can check a plug-in exports nothing but its entry points.
#pragma once

#include <string>
#include <vector>

namespace numhost_testing {

// Sorted names of the defined global and weak dynamic symbols of the file at
// `path`; throws std::runtime_error when it is not a readable ELF32 file.
std::vector<std::string> exportedSymbols(const std::string& path);

}  // namespace numhost_testing
