#include "posarg.h"

#include <gtest/gtest.h>

namespace {

using kelv::ParsePositionArgument;
using kelv::WindowPosition;

struct Case {
  const char* arg;
  std::optional<WindowPosition> want;
};

TEST(PositionArgument, Table) {
  const Case cases[] = {
      {"", std::nullopt},
      {"120,80", WindowPosition{120, 80}},
      {"-4,0", WindowPosition{-4, 0}},
      {"300", WindowPosition{0, 300}},  // no comma: top only
      {"10,20,30", WindowPosition{10, 30}},
      {"10,x,30", std::nullopt},  // the unused middle field must still convert
      {"1,,3", std::nullopt},
      {"100,", std::nullopt},
      {",100", std::nullopt},
      {",", std::nullopt},
      {"abc", std::nullopt},
      {"100 ,200", std::nullopt},
      {"100, 200", WindowPosition{100, 200}},  // leading blanks belong to the number
      {"0x64,0xC8", WindowPosition{100, 200}},
      {"$10,-$1", WindowPosition{16, -1}},
      {"+7,+8", WindowPosition{7, 8}},
      {"2147483647,-2147483648", WindowPosition{INT32_MAX, INT32_MIN}},
      {"2147483648,0", std::nullopt},
      {"0,99999999999", std::nullopt},
      {"1,2,3,4", std::nullopt},  // more than two commas
      {"1,2,3,", std::nullopt},
      {",,,", std::nullopt},
  };
  for (const Case& c : cases) {
    auto got = ParsePositionArgument(c.arg);
    ASSERT_EQ(got.has_value(), c.want.has_value()) << "arg: \"" << c.arg << "\"";
    if (got) {
      EXPECT_EQ(got->left, c.want->left) << "arg: \"" << c.arg << "\"";
      EXPECT_EQ(got->top, c.want->top) << "arg: \"" << c.arg << "\"";
    }
  }
}

TEST(PositionArgument, ManyCommasAreRejectedNotOverrun) {
  // A long run of fields must neither crash nor place the window.
  std::string arg;
  for (int i = 0; i < 1000; ++i) arg += std::to_string(i) + ",";
  arg += "1";
  EXPECT_FALSE(ParsePositionArgument(arg).has_value());
}

}  // namespace
