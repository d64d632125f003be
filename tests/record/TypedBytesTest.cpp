// Bytes typed with escapes: every escape, the errors with their columns, and the written form of
// any bytes reading back as the same bytes (text and hex).
#include <gtest/gtest.h>

#include "record/TypedBytes.h"

namespace {

std::string Parsed(const std::string& Text) {
  std::string out, error;
  EXPECT_TRUE(ParseEscapedText(Text, out, error)) << Text << ": " << error;
  return out;
}

std::string Refused(const std::string& Text) {
  std::string out = "untouched", error;
  EXPECT_FALSE(ParseEscapedText(Text, out, error)) << Text;
  EXPECT_EQ(out, "untouched") << "a refused text leaves the output alone";
  return error;
}

TEST(TypedBytes, EscapesStandForTheirBytesAndEverythingElseForItself) {
  EXPECT_EQ(Parsed(""), "");
  EXPECT_EQ(Parsed("GET / HTTP/1.0\\r\\n\\r\\n"), "GET / HTTP/1.0\r\n\r\n");
  EXPECT_EQ(Parsed("a\\tb"), "a\tb");
  EXPECT_EQ(Parsed("\\x00\\xff\\xAb\\x7F"), std::string("\0\xFF\xAB\x7F", 4));
  EXPECT_EQ(Parsed("back\\\\slash\\\\"), "back\\slash\\");
  EXPECT_EQ(Parsed("\\\\x41"), "\\x41") << "an escaped backslash does not start another escape";
  EXPECT_EQ(Parsed("\\x411"), "A1") << "\\x takes two digits, no more";
  EXPECT_EQ(Parsed("caf\xC3\xA9"), "caf\xC3\xA9") << "characters as typed, UTF-8";
  EXPECT_EQ(Parsed("\"quoted\" 'too'"), "\"quoted\" 'too'");
}

TEST(TypedBytes, AnUnknownEscapeAShortHexEscapeOrATrailingBackslashIsRefusedWithItsColumn) {
  EXPECT_EQ(Refused("ab\\q"), "column 3: unknown escape \\q (write \\\\ for a backslash)");
  EXPECT_EQ(Refused("\\0"), "column 1: unknown escape \\0 (write \\\\ for a backslash)");
  EXPECT_EQ(Refused(std::string("x\\\x01", 3)), "column 2: unknown escape \\\\x01 (write \\\\ for a backslash)");
  EXPECT_EQ(Refused("\\x4"), "column 1: \\x takes two hex digits, as in \\x0D");
  EXPECT_EQ(Refused("ok \\xg0"), "column 4: \\x takes two hex digits, as in \\x0D");
  EXPECT_EQ(Refused("\\x"), "column 1: \\x takes two hex digits, as in \\x0D");
  EXPECT_EQ(Refused("end\\"), "column 4: a backslash at the end escapes nothing (write \\\\ for a backslash)");
  EXPECT_EQ(Refused("\\\\\\"), "column 3: a backslash at the end escapes nothing (write \\\\ for a backslash)");
}

TEST(TypedBytes, EveryByteWrittenOutReadsBackAsItselfAsTextAndAsHex) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  all += "\\x41\\\\";  // text that looks like escapes
  const std::string text = EscapedText(all);
  for (char c : text) EXPECT_TRUE(c >= 0x20 && c < 0x7F) << "written text is printable ASCII";
  EXPECT_EQ(Parsed(text), all);
  std::string hex, error;
  ASSERT_TRUE(ParseHexBytes(HexText(all), hex, error)) << error;
  EXPECT_EQ(hex, all);
  EXPECT_EQ(HexText(std::string("\0\x0D\xFF", 3)), "00 0D FF");
  EXPECT_EQ(EscapedText("a\r\n\t\\\x01\x7F"), "a\\r\\n\\t\\\\\\x01\\x7F");
}

}  // namespace
