#include "exported_symbols.h"

#include <elf.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace numhost_testing {

namespace {

template <typename T>
T readAt(const std::vector<char>& image, std::size_t offset) {
  if (offset > image.size() || image.size() - offset < sizeof(T)) {
    throw std::runtime_error("truncated ELF file");
  }
  T value;
  std::memcpy(&value, image.data() + offset, sizeof(T));
  return value;
}

}  // namespace

std::vector<std::string> exportedSymbols(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) throw std::runtime_error("cannot read " + path);
  const std::vector<char> image{std::istreambuf_iterator<char>(file), {}};

  const auto header = readAt<Elf32_Ehdr>(image, 0);
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS32) {
    throw std::runtime_error(path + " is not an ELF32 file");
  }
  auto section = [&](std::size_t index) {
    return readAt<Elf32_Shdr>(image, header.e_shoff + index * sizeof(Elf32_Shdr));
  };

  std::vector<std::string> names;
  for (std::size_t i = 0; i < header.e_shnum; ++i) {
    const Elf32_Shdr symbols = section(i);
    if (symbols.sh_type != SHT_DYNSYM) continue;
    const Elf32_Shdr strings = section(symbols.sh_link);
    if (strings.sh_offset > image.size() || image.size() - strings.sh_offset < strings.sh_size) {
      throw std::runtime_error("truncated ELF string table");
    }
    for (std::size_t s = 0; s < symbols.sh_size / sizeof(Elf32_Sym); ++s) {
      const auto symbol = readAt<Elf32_Sym>(image, symbols.sh_offset + s * sizeof(Elf32_Sym));
      const unsigned binding = ELF32_ST_BIND(symbol.st_info);
      if (symbol.st_shndx == SHN_UNDEF || (binding != STB_GLOBAL && binding != STB_WEAK)) continue;
      if (symbol.st_name >= strings.sh_size) throw std::runtime_error("bad symbol name offset");
      const char* name = image.data() + strings.sh_offset + symbol.st_name;
      names.emplace_back(name, strnlen(name, strings.sh_size - symbol.st_name));
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace numhost_testing
