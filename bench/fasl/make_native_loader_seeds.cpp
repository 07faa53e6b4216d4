// Writes seed files for fuzz_native_fasl_loader into the folder given: small
// well-formed files made by the test-side writer, one per family of items.
//   build/bin/make_native_loader_seeds bench/fasl/seeds

#include <array>
#include <cstdio>
#include <fstream>
#include <string>

#include "testing/fasl_writer.h"

namespace {

using testing_support::FaslWriter;

FaslWriter segment() {
  FaslWriter w;
  w.commentLine("seed").segment(1).machineId(0, 61, 31, 0x405).tableOfContents(4);
  return w;
}

void save(const std::string& folder, const std::string& name, const FaslWriter& w) {
  std::ofstream(folder + "/" + name, std::ios::binary)
      .write(reinterpret_cast<const char*>(w.bytes().data()),
             static_cast<std::streamsize>(w.size()));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s folder\n", argv[0]);
    return 1;
  }
  const std::string folder = argv[1];
  const std::array<uint8_t, 4> code = {0x90, 0x90, 0xc3, 0x90};
  const std::array<uint16_t, 2> digits = {1, 2};
  save(folder, "lists", segment().fixnum(1).nil().list(2).fixnum(2).listStar(2).code(76).done());
  save(folder, "symbols",
       segment().symbol(u"a", 0).symbol(u"b", 1).gensymSymbol(u"g", 0).gensymget(0).list(3).done());
  save(folder, "numbers", segment()
                              .doubleFloat(1.5)
                              .singleFloat(2.5, true)
                              .bignum(2, 1, digits)
                              .integer(0, digits)
                              .character(1, 2, 65)
                              .list(5)
                              .done());
  save(folder, "functions", segment()
                                .symbol(u"f", 0)
                                .codeVector16(code)
                                .fixnum(3)
                                .newBfunction(1)
                                .code(11)
                                .code(12)
                                .done());
  save(folder, "wf", segment()
                         .code(69)
                         .fixnum(1)
                         .fixnum(2)
                         .pick(2)
                         .code(70)
                         .fixnum(7)
                         .preLispVector(1, 112)
                         .postLispVector(1)
                         .code(77)
                         .symget(0)
                         .done());
  save(folder, "symchk", segment().beginSymchk(5).fixnum(1).code(51).icsFlags(1).fixnum(2).done());
  return 0;
}
