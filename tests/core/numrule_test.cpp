#include "numrule.h"

#include <gtest/gtest.h>

namespace {

struct Case {
  const char* text;
  std::optional<int32_t> want;
};

TEST(NumberRule, AcceptsAndRejects) {
  const Case cases[] = {
      {"0", 0},
      {"10", 10},
      {"0x0A", 10},
      {"0X0a", 10},
      {"$a", 10},
      {"xA", 10},
      {"X0000000A", 10},  // leading zeros do not count as significant digits
      {"   42", 42},
      {"+7", 7},
      {"-1", -1},
      {"257", 257},
      {"2147483647", 2147483647},
      {"-2147483648", INT32_MIN},
      {"$FFFFFFFF", -1},
      {"0x80000000", INT32_MIN},
      {"-$1", -1},
      {"-0x80000000", INT32_MIN},
      {"ten", std::nullopt},
      {"1O", std::nullopt},
      {"", std::nullopt},
      {"   ", std::nullopt},
      {"-", std::nullopt},
      {"- 1", std::nullopt},
      {"1 ", std::nullopt},
      {"\t1", std::nullopt},
      {"0x", std::nullopt},
      {"$", std::nullopt},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"$100000000", std::nullopt},
      {"0xG", std::nullopt},
      {"true", std::nullopt},
      {"--1", std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(kelv::ParseNumber(c.text), c.want) << "text: \"" << c.text << "\"";
  }
}

}  // namespace
