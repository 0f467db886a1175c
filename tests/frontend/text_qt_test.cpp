// Every Japanese text of the program survives the toolkit edge: the window
// and the files go through the one converter and agree byte for byte.
#include "text.h"

#include <gtest/gtest.h>

#include <QString>

#include "sjis.h"

namespace {

// Titles, captions, messages, list items, status texts and the parity texts
// the serial component accepts, full-width and half-width forms included.
const char* const kTexts[] = {
    "受信開始",
    "キャンセル",
    "閉じる",
    "データ受信",
    "設定",
    "ポート",
    "ﾎﾞｰﾚｰﾄ",
    "送信方法",
    "送信コード",
    "表示OFF",
    "ＭＳ Ｐゴシック",
    "ボタン名変更",
    "表示する名前を入力してください",
    "受信開始ボタンを押してください",
    "受信待機中です。NC側の送信を開始して下さい",
    "受信中 ",
    "行",
    "行受信済",
    "受信完了",
    "受信開始前に中止しました",
    "受信中に中止、又はエラー",
    "データ読込みエラー",
    "回線が開けません！設定又は接続を確認してください。",
    "%s に書き込めません",
    "ファイル \"%s\" を作成できません。%s",
    "ストリームへの書き込みエラー",
    "％で開始、％で終了",
    "DC2で開始、DC4で終了",
    "強制受信",
    "％で開始、、DC4で終了",
    "無し",
    "なし",
    "奇数",
    "きすう",
    "ＯＤＤ",
    "ｏｄｄ",
    "偶数",
    "ぐうすう",
    "ＥＶＥＮ",
    "ｅｖｅｎ",
    "マーク",
    "まーく",
    "ＭＡＲＫ",
    "ｍａｒｋ",
    "スペース",
    "すぺーす",
    "ＳＰＡＣＥ",
    "ｓｐａｃｅ",
    "～－",
    "旋盤１号",
};

TEST(Text, EveryJapaneseTextRoundTripsAndBothConvertersAgree) {
  for (const char* utf8 : kTexts) {
    const std::string& sjis = kelv::Sjis(utf8);
    EXPECT_EQ(sjis, kelv::FromQ(QString::fromUtf8(utf8))) << utf8;
    EXPECT_EQ(kelv::ToQ(sjis), QString::fromUtf8(utf8)) << utf8;
    EXPECT_EQ(kelv::FromQ(kelv::ToQ(sjis)), sjis) << utf8;
    EXPECT_EQ(sjis.find('?'), std::string::npos) << utf8;  // nothing unmappable
  }
}

// Bytes where code page 932 differs from plain JIS, and the half-width kana.
TEST(Text, KnownBytes) {
  const struct {
    const char* utf8;
    std::string sjis;
  } cases[] = {
      {"～", "\x81\x60"},           {"－", "\x81\x7C"}, {"∥", "\x81\x61"},
      {"￢", "\x81\xCA"},           {"①", "\x87\x40"},  {"ﾎﾞｰﾚｰﾄ", "\xCE\xDE\xB0\xDA\xB0\xC4"},
      {"無し", "\x96\xB3\x82\xB5"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(kelv::Sjis(c.utf8), c.sjis) << c.utf8;
    EXPECT_EQ(kelv::FromQ(QString::fromUtf8(c.utf8)), c.sjis) << c.utf8;
    EXPECT_EQ(kelv::ToQ(c.sjis), QString::fromUtf8(c.utf8)) << c.utf8;
  }
}

// Each text is converted on its own: the shortcut for plain ASCII gives what
// the converter gives, and a text cut inside a double-byte character leaves
// nothing behind for the next one.
TEST(Text, ConversionsAreIndependentAndTheAsciiShortcutAgrees) {
  // The program's converter on its own, for every text.
  auto fresh = [](const std::string& s) {
    return QString::fromStdString(kelv::SjisToUtf8(s)).toStdU16String();
  };
  for (int b = 0; b < 0x80; ++b) {
    const std::string s = "N1" + std::string(1, static_cast<char>(b)) + "X";
    EXPECT_EQ(kelv::ToQ(s).toStdU16String(), fresh(s)) << b;
  }
  const std::string texts[] = {"\x82", "\xA0G01", "\x82", "\x82\xA0", "G01 X1.", "\x96\xB3"};
  for (const std::string& t : texts) EXPECT_EQ(kelv::ToQ(t).toStdU16String(), fresh(t));
}

}  // namespace
