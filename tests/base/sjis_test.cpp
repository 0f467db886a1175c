// The program's one converter between Unicode and code page 932, on Linux
// (glibc) and, cross-built, on Windows (the system's code page tables): the
// same table must pass on both.
#include "sjis.h"

#include <gtest/gtest.h>

namespace {

TEST(Sjis, BothUnicodeFormsGiveTheCodePageCharacter) {
  const struct {
    const char* utf8;
    const char* sjis;
    const char* back;  // what the bytes read as
  } cases[] = {
      {u8"\u301C", "\x81\x60", u8"\uFF5E"},  // wave dash, as Linux input methods type "～"
      {u8"\uFF5E", "\x81\x60", u8"\uFF5E"},  {u8"\u2212", "\x81\x7C", u8"\uFF0D"},  // minus
      {u8"\uFF0D", "\x81\x7C", u8"\uFF0D"},  {u8"\u2016", "\x81\x61", u8"\u2225"},
      {u8"\u2225", "\x81\x61", u8"\u2225"},  {u8"\u00A2", "\x81\x91", u8"\uFFE0"},
      {u8"\uFFE0", "\x81\x91", u8"\uFFE0"},  {u8"\u00A3", "\x81\x92", u8"\uFFE1"},
      {u8"\uFFE1", "\x81\x92", u8"\uFFE1"},  {u8"\u00AC", "\x81\xCA", u8"\uFFE2"},
      {u8"\uFFE2", "\x81\xCA", u8"\uFFE2"},  {u8"\u2014", "\x81\x5C", u8"\u2015"},  // dashes
      {u8"\u2015", "\x81\x5C", u8"\u2015"},  {u8"\u00A6", "\xFA\x55", u8"\uFFE4"},
      {u8"\u00A5", "\x81\x8F", u8"\uFFE5"},  // yen: the full-width sign, not the backslash
      {u8"\u203E", "\x81\x50", u8"\uFFE3"},  // overline: not the tilde
      {u8"\\~", "\\~", u8"\\~"},             // ASCII stays ASCII
      {u8"旋盤１号ﾎﾞｰﾚｰﾄ", "\x90\xF9\x94\xD5\x82\x50\x8D\x86\xCE\xDE\xB0\xDA\xB0\xC4",
       u8"旋盤１号ﾎﾞｰﾚｰﾄ"},
      {u8"①Ⅹ㈱∵", "\x87\x40\x87\x5D\x87\x8A\x81\xE6", u8"①Ⅹ㈱∵"},  // NEC rows
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_TRUE(kelv::Utf8ToSjis(c.utf8, out)) << c.utf8;
    EXPECT_EQ(out, c.sjis) << c.utf8;
    EXPECT_TRUE(kelv::Representable(c.utf8)) << c.utf8;
    EXPECT_EQ(kelv::SjisToUtf8(c.sjis), c.back) << c.utf8;
  }
}

// What the code page lacks is reported, never guessed at: no look-alike (as
// a best-fit table would give) reaches a caption or the file.
TEST(Sjis, CharactersTheCodePageLacksAreReported) {
  const struct {
    const char* utf8;
    const char* sjis;
  } cases[] = {
      {u8"é", "?"},       {u8"a\u00E9b", "a?b"},  {u8"\u2013", "?"},  // en dash
      {u8"\u00B7", "?"},  {u8"😀x", "?x"},        {u8"\uFFFD", "?"},
      {u8"Ω\u0301", "\x83\xB6?"},  // Greek omega is there, the combining accent is not
      {"\xFF\xFE", "??"},          // no UTF-8 at all
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_FALSE(kelv::Utf8ToSjis(c.utf8, out)) << c.utf8;
    EXPECT_EQ(out, c.sjis) << c.utf8;
    EXPECT_FALSE(kelv::Representable(c.utf8)) << c.utf8;
  }
  EXPECT_TRUE(kelv::Representable(""));
}

}  // namespace
