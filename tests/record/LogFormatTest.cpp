// Entry body layout, byte for byte: columns of the hex dump at every line boundary, control and
// high bytes in both modes, offset labels past 64 KiB, no read past the block, one view character
// per byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "record/AnsiText.h"
#include "record/LogFormat.h"

namespace {

std::string Bytes(int From, int To) {
  std::string s;
  for (int b = From; b <= To; ++b) s += static_cast<char>(b);
  return s;
}

std::string Blanks(int n) { return std::string(static_cast<std::size_t>(n), ' '); }

struct TBodyCase {
  const char* Name;
  std::string Body;
  std::string Text;                // the text-mode line
  std::vector<std::string> Hex;    // the hex-mode lines
};

std::vector<TBodyCase> BodyCases() {
  const std::string full = "0000 41 42 43 44 45 46 47 48-49 4A 4B 4C 4D 4E 4F 50 ABCDEFGHIJKLMNOP";
  return {
      {"EmptyBodyHasNoHexLines", "", "", {}},
      {"OneByte", "A", "A", {"0000 41" + Blanks(46) + "A"}},
      {"EightBytesEndInTheDash", "ABCDEFGH", "ABCDEFGH", {"0000 41 42 43 44 45 46 47 48-" + Blanks(24) + "ABCDEFGH"}},
      {"FifteenBytes", "ABCDEFGHIJKLMNO", "ABCDEFGHIJKLMNO",
       {"0000 41 42 43 44 45 46 47 48-49 4A 4B 4C 4D 4E 4F" + Blanks(4) + "ABCDEFGHIJKLMNO"}},
      {"SixteenBytesFillOneLine", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOP", {full}},
      {"SeventeenBytesStartASecondLine", "ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNOPQ",
       {full, "0010 51" + Blanks(46) + "Q"}},
      {"CrLfLines", "Hello, relay one\r\nline two\r\n", "Hello, relay one..line two..",
       {"0000 48 65 6C 6C 6F 2C 20 72-65 6C 61 79 20 6F 6E 65 Hello, relay one",
        "0010 0D 0A 6C 69 6E 65 20 74-77 6F 0D 0A" + Blanks(13) + "..line two.."}},
      {"ControlBytesIncludingNulBecomeDots", Bytes(0x00, 0x1F), std::string(32, '.'),
       {"0000 00 01 02 03 04 05 06 07-08 09 0A 0B 0C 0D 0E 0F ................",
        "0010 10 11 12 13 14 15 16 17-18 19 1A 1B 1C 1D 1E 1F ................"}},
      {"TabIsOneDot", "a\tb", "a.b", {"0000 61 09 62" + Blanks(40) + "a.b"}},
  };
}

// Names the case in test output instead of dumping its bytes.
void PrintTo(const TBodyCase& Case, std::ostream* Out) { *Out << Case.Name; }

class BodyLayout : public ::testing::TestWithParam<TBodyCase> {};

TEST_P(BodyLayout, TextLineAndHexLinesExactly) {
  const TBodyCase& c = GetParam();
  EXPECT_EQ(PrintableText(c.Body), c.Text);
  EXPECT_EQ(HexDumpLines(c.Body), c.Hex);
}

INSTANTIATE_TEST_SUITE_P(Bodies, BodyLayout, ::testing::ValuesIn(BodyCases()),
                         [](const auto& info) { return std::string(info.param.Name); });

TEST(BodyLayoutHigh, DelAndHighBytesStayUnchangedAndHexIsUpperCase) {
  const std::string body = Bytes(0x7F, 0xFF);  // 129 bytes: eight full lines and one byte
  EXPECT_EQ(PrintableText(body), body);
  const std::vector<std::string> lines = HexDumpLines(body);
  ASSERT_EQ(lines.size(), 9u);
  EXPECT_EQ(lines[0], "0000 7F 80 81 82 83 84 85 86-87 88 89 8A 8B 8C 8D 8E " + Bytes(0x7F, 0x8E));
  EXPECT_EQ(lines[7], "0070 EF F0 F1 F2 F3 F4 F5 F6-F7 F8 F9 FA FB FC FD FE " + Bytes(0xEF, 0xFE));
  EXPECT_EQ(lines[8], "0080 FF" + Blanks(46) + "\xFF");
}

TEST(BodyLayoutLarge, OffsetLabelsWrapAfter64KiBWhileTheBytesFollowTheBlock) {
  std::string body(65536 + 20, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>('a' + (i / 16) % 26);
  const std::vector<std::string> lines = HexDumpLines(body);
  ASSERT_EQ(lines.size(), 4098u);
  // Line 4095 is the last below 64 KiB; line 4096 covers bytes 65536.. again labelled 0000.
  EXPECT_EQ(lines[4095].substr(0, 8), "FFF0 6E ");                  // 'a' + 4095 % 26 = 'n'
  EXPECT_EQ(lines[4096].substr(0, 8), "0000 6F ");                  // 'a' + 4096 % 26 = 'o'
  EXPECT_EQ(lines[4097], "0010 70 70 70 70" + Blanks(37) + "pppp");  // the last 4 bytes
}

TEST(FormatHexLine, NeverReadsPastTheBlockWhateverRemainingSays) {
  const THexLine tail = FormatHexLine("ABC", 1, 100);
  EXPECT_EQ(tail.Count, 2u);
  EXPECT_EQ(tail.Text, "0001 42 43" + Blanks(43) + "BC");
  const THexLine beyond = FormatHexLine("ABC", 7, 3);
  EXPECT_EQ(beyond.Count, 0u);
  EXPECT_EQ(beyond.Text, "0007" + Blanks(49));
}

TEST(AnsiText, EveryByteIsOneCharacterOfTheWesternCodePage) {
  const struct {
    unsigned char Byte;
    char16_t Shown;
  } cases[] = {
      {0x41, u'A'},      {0x7F, u'\u007F'}, {0x80, u'\u20AC'}, {0x81, u'\uFFFD'}, {0x8D, u'\uFFFD'},
      {0x8F, u'\uFFFD'}, {0x90, u'\uFFFD'}, {0x9D, u'\uFFFD'}, {0x93, u'\u201C'}, {0x9F, u'\u0178'},
      {0xA0, u'\u00A0'}, {0xE9, u'\u00E9'}, {0xFF, u'\u00FF'},
  };
  for (const auto& c : cases) {
    const QString shown = AnsiText(std::string(1, static_cast<char>(c.Byte)));
    ASSERT_EQ(shown.size(), 1) << "byte " << int(c.Byte);
    EXPECT_EQ(shown.at(0).unicode(), c.Shown) << "byte " << int(c.Byte);
  }
  EXPECT_EQ(AnsiText(Bytes(0x00, 0xFF)).size(), 256);
}

// The writers of files and terminals use the appending forms: the same text as the view's lines.
TEST(AppendHexDump, IsTheHexLinesEachEndedByALineFeed) {
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{16}, std::size_t{17}, std::size_t{70000}}) {
    std::string data;
    for (std::size_t i = 0; i < size; ++i) data += static_cast<char>(i * 7);
    std::string expected;
    for (const std::string& line : HexDumpLines(data)) expected += line + "\n";
    std::string out = "before";
    AppendHexDump(data, out);
    EXPECT_EQ(out, "before" + expected) << size;
  }
}

TEST(AnsiText, TheUtf8FormIsTheSameCharacters) {
  const std::string all = Bytes(0x00, 0xFF);
  std::string utf8;
  AppendAnsiUtf8(all, utf8);
  EXPECT_EQ(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())), AnsiText(all));
}

}  // namespace
