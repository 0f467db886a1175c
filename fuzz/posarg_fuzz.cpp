// The position argument: its result follows from the number rule applied to
// the comma-separated fields, and nothing else.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "check.h"
#include "numrule.h"
#include "posarg.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string arg(reinterpret_cast<const char*>(data), size);
  const std::optional<kelv::WindowPosition> got = kelv::ParsePositionArgument(arg);

  std::vector<std::string> fields(1);
  for (char c : arg) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back() += c;
    }
  }
  const size_t commas = fields.size() - 1;

  if (arg.empty() || commas > 2) {
    FUZZ_CHECK(!got);
    return 0;
  }

  // Every field must convert, the unused middle one included.
  std::vector<std::optional<int32_t>> values;
  bool all = true;
  for (const std::string& f : fields) {
    values.push_back(kelv::ParseNumber(f));
    all = all && values.back().has_value();
  }
  FUZZ_CHECK(got.has_value() == all);
  if (!got) return 0;

  if (commas == 0) {
    FUZZ_CHECK(got->left == 0);
    FUZZ_CHECK(got->top == *values[0]);
  } else {
    FUZZ_CHECK(got->left == *values.front());
    FUZZ_CHECK(got->top == *values.back());
  }

  // Two more fields fit only a lone number; three more never fit.
  FUZZ_CHECK(kelv::ParsePositionArgument(arg + ",0,0").has_value() == (commas == 0));
  FUZZ_CHECK(!kelv::ParsePositionArgument(arg + ",0,0,0"));
  return 0;
}
