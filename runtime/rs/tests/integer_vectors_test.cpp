// Every row of the generated vectors (integer_vectors.txt, made by
// integer_vectors.py from python3's integers) through the routine's entry
// slot, or through integer_operation for the routines without one: value,
// normal form, sign byte and value count.

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "runtime/rs/tests/integer_test_support.h"

namespace integer_test {
namespace {

using lisp::lispval;

struct Row {
  int line;
  std::string routine;
  std::vector<std::string> operands;
  std::vector<std::string> results;
};

struct Vectors {
  std::map<int, std::string> pool;
  std::map<std::string, std::vector<Row>> rows;  // by routine
};

const Vectors& vectors() {
  static const Vectors loaded = [] {
    Vectors v;
    std::ifstream file(INTEGER_VECTORS_PATH);
    EXPECT_TRUE(file) << "cannot read " << INTEGER_VECTORS_PATH;
    std::string text;
    for (int line = 1; std::getline(file, text); ++line) {
      if (text.empty() || text[0] == '#') continue;
      std::istringstream words(text);
      std::string first;
      words >> first;
      if (first == "let") {
        int index;
        std::string value;
        words >> index >> value;
        v.pool[index] = value;
        continue;
      }
      Row row{line, first, {}, {}};
      bool afterEquals = false;
      for (std::string word; words >> word;) {
        if (word == "=")
          afterEquals = true;
        else
          (afterEquals ? row.results : row.operands).push_back(word);
      }
      v.rows[first].push_back(row);
    }
    return v;
  }();
  return loaded;
}

// How each routine of the vectors is reached.
struct Target {
  int32_t slot;        // entry slot, or 0
  uint32_t operation;  // operation number when slot is 0
};
const std::map<std::string, Target> kTargets = {
    {"integer_add", {0x18b, 0}},
    {"integer_subtract", {0x18f, 0}},
    {"integer_multiply", {0x193, 0}},
    {"integer_divide", {0x197, 0}},
    {"integer_compare", {0x19b, 0}},
    {"shift_left", {0x1a7, 0}},
    {"shift_right", {0x1ab, 0}},
    {"integer_length", {0x1af, 0}},
    {"ldb", {0x1b3, 0}},
    {"logical_and", {0x1b7, 0}},
    {"logical_or", {0x1bb, 0}},
    {"logical_xor", {0x1bf, 0}},
    {"logical_not", {0x1c3, 0}},
    {"integer_truncate", {0x1d3, 0}},
    {"integer_rem", {0x1d7, 0}},
    {"big_extract", {0x207, 0}},
    {"mi_in_bignum", {0xc3, 0}},
    {"copybig", {0xc7, 0}},
    {"big_fix_prod", {0x23f, 0}},
    {"prunebig", {0x317, 0}},
    {"bignum_rem", {0x313, 0}},
    {"one_bigit_div_in_place", {0xcf, 0}},
    {"box_to_new_bignum", {0x4b, 0}},
    {"mi_in_new_bignum", {0x147, 0}},
    {"unsigned_fixnum_or_bignum", {0x83, 0}},
    {"fixnum_or_bignum", {0x87, 0}},
    {"bigcopyp1", {0, INTOP_BIGCOPYP1}},
    {"bigtwoc", {0, INTOP_BIGTWOC}},
    {"bigtwoc1", {0, INTOP_BIGTWOC1}},
    {"c_bignums", {0, INTOP_C_BIGNUMS}},
    {"bignum_add", {0, INTOP_BIGNUM_ADD}},
    {"bignum_sub", {0, INTOP_BIGNUM_SUB}},
    {"big_add_int", {0, INTOP_BIG_ADD_INT}},
    {"big_sub_int", {0, INTOP_BIG_SUB_INT}},
    {"bignum_multiply", {0, INTOP_BIGNUM_MULTIPLY}},
    {"bignum_truncate", {0, INTOP_BIGNUM_TRUNCATE}},
    {"bignum_divide", {0, INTOP_BIGNUM_DIVIDE}},
    {"one_bigit_rem", {0, INTOP_ONE_BIGIT_REM}},
    {"one_bigit_truncate", {0, INTOP_ONE_BIGIT_TRUNCATE}},
    {"one_bigit_divide", {0, INTOP_ONE_BIGIT_DIVIDE}},
};

class IntegerVectors : public IntegerHeap, public testing::WithParamInterface<std::string> {
 protected:
  lispval operand(const std::string& text) {
    if (text[0] == '$')
      return makeInteger(parseNumber(vectors().pool.at(std::stoi(text.substr(1)))));
    if (text.rfind("W:", 0) == 0)
      return static_cast<uint32_t>(numberValue(parseNumber(text.substr(2))));
    if (text[0] == 'B') {
      const size_t colon = text.find(':');
      const Number n = parseNumber(text.substr(colon + 1));
      if (colon == 1) return makeBignum(n);
      return makeBignum(n, static_cast<uint32_t>(std::stoul(text.substr(1, colon - 1))));
    }
    return makeInteger(parseNumber(text));
  }

  // Empty when the word is the expected result, else the difference.
  std::string mismatch(lispval word, const std::string& expected) {
    if (expected == "T") return word == t() ? "" : "not t";
    if (expected == "NIL") return word == nil() ? "" : "not nil";
    if (expected.rfind("W:", 0) == 0) {
      const uint32_t want = static_cast<uint32_t>(numberValue(parseNumber(expected.substr(2))));
      return word == want ? "" : "raw word " + std::to_string(word);
    }
    if (expected[0] == 'D') {
      // D<count>:<sign>:<digits as one unsigned number>
      const size_t first = expected.find(':'), second = expected.find(':', first + 1);
      const uint32_t count = std::stoul(expected.substr(1, first - 1));
      const uint32_t sign = std::stoul(expected.substr(first + 1, second - first - 1));
      if (lisp::isFixnum(word) || (bignumHeader(word) & 0xff) != lisp::type_code::Bignum)
        return "not a bignum";
      const uint32_t header = bignumHeader(word);
      if (lisp::bignumDigitCount(header) != count)
        return "count " + std::to_string(lisp::bignumDigitCount(header));
      if (((header >> 8) & 0xff) != sign)
        return "sign byte " + std::to_string((header >> 8) & 0xff);
      Number digits = readInteger(word);
      digits.negative = false;
      const std::string got = formatNumber(digits);
      return got == expected.substr(second + 1) ? "" : "digits " + got;
    }
    const std::string fault = normalFormFault(word);
    if (!fault.empty()) return fault;
    const std::string got = formatNumber(readInteger(word));
    return got == formatNumber(parseNumber(expected)) ? "" : got;
  }
};

TEST_P(IntegerVectors, EveryRowGivesPythonsValues) {
  const auto found = vectors().rows.find(GetParam());
  ASSERT_NE(found, vectors().rows.end()) << "no rows for " << GetParam();
  const Target target = kTargets.at(GetParam());
  int failures = 0;
  for (const Row& row : found->second) {
    const NewSpaceMark mark = markNewSpace();
    std::vector<uint32_t> arguments;
    for (const std::string& text : row.operands) arguments.push_back(operand(text));
    testing_support::resetRecorder(nil());
    const testing_support::LispCallResult result =
        call(target.slot ? slotCall(target.slot, arguments)
                         : operationCall(target.operation, arguments));
    std::string fault;
    if (lisp_recorder_log.count != 0) fault = "signalled an error";
    // esi comes back as it was, or reloaded from the caller's frame.
    if ((result.esi != kCallerFunction && result.esi != kEntryFunction) || result.ebx != thread_)
      fault = "esi or ebx not restored";
    if (row.results.size() == 2 && (result.carry != 1 || result.ecx != 2)) fault = "not two values";
    if (row.results.size() == 1 && result.carry != 0) fault = "not one value";
    if (fault.empty()) fault = mismatch(result.eax, row.results[0]);
    if (fault.empty() && row.results.size() == 2) fault = mismatch(result.edx, row.results[1]);
    if (!fault.empty()) {
      ADD_FAILURE() << "line " << row.line << ": " << row.routine << " gives " << fault;
      if (++failures == 10) break;
    }
    rewindNewSpace(mark);
  }
}

std::vector<std::string> routineNames() {
  std::vector<std::string> names;
  for (const auto& [name, target] : kTargets) names.push_back(name);
  return names;
}

INSTANTIATE_TEST_SUITE_P(Rows, IntegerVectors, testing::ValuesIn(routineNames()),
                         [](const testing::TestParamInfo<std::string>& info) {
                           return info.param;
                         });

}  // namespace
}  // namespace integer_test
