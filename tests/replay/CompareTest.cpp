// The comparison of answers: the first difference and its offsets, streams that end early, ignore
// rules of the same and of different lengths and how the streams are aligned after them, rules
// that overlap or match nothing, bad rules, and the readable form of a difference.
#include <gtest/gtest.h>

#include "replay/Compare.h"

namespace {

TIgnoreRules Rules(const std::vector<std::string>& Patterns) {
  TIgnoreRules rules;
  for (const std::string& p : Patterns) {
    std::string error;
    EXPECT_TRUE(rules.Add(p, error)) << error;
  }
  return rules;
}

// Where the streams differ: {recorded offset, replayed offset}; {-1, -1} when the same.
std::pair<long, long> At(std::string_view A, std::string_view B, const std::vector<std::string>& Patterns = {}) {
  const TComparison c = CompareStreams(A, B, Rules(Patterns));
  if (c.Same) return {-1, -1};
  return {static_cast<long>(c.First.RecordedOffset), static_cast<long>(c.First.ReplayedOffset)};
}
const std::pair<long, long> kSame{-1, -1};

TEST(Compare, TheFirstDifferentByteOrTheEndOfTheShorterStream) {
  EXPECT_EQ(At("", ""), kSame);
  EXPECT_EQ(At("+PONG\r\n", "+PONG\r\n"), kSame);
  EXPECT_EQ(At("$5\r\nhello\r\n", "$5\r\nhellp\r\n"), std::make_pair(8L, 8L));
  EXPECT_EQ(At(std::string("a\0b", 3), std::string("a\0c", 3)), std::make_pair(2L, 2L));  // zero bytes are bytes
  EXPECT_EQ(At("abc", "x"), std::make_pair(0L, 0L));
  const TComparison shorter = CompareStreams("+OK\r\n+OK\r\n", "+OK\r\n", TIgnoreRules());
  EXPECT_FALSE(shorter.Same);
  EXPECT_EQ(shorter.First.ReplayedOffset, 5u);
  EXPECT_TRUE(shorter.First.ReplayedEnded);
  EXPECT_FALSE(shorter.First.RecordedEnded);
  const TComparison longer = CompareStreams("+OK\r\n", "+OK\r\n+OK\r\n", TIgnoreRules());
  EXPECT_TRUE(longer.First.RecordedEnded);
  EXPECT_EQ(longer.First.RecordedOffset, 5u);
  EXPECT_EQ(CompareStreams("", "x", TIgnoreRules()).First.RecordedOffset, 0u);
}

TEST(Compare, AMatchOnBothSidesCountsAsEqualWhateverItsLengthAndTheWalkGoesOnAfterEach) {
  const std::vector<std::string> id{R"(id=\d+)"};
  EXPECT_EQ(At("id=17 ok", "id=42 ok", id), kSame);
  EXPECT_EQ(At("id=17 ok", "id=123456 ok", id), kSame);
  // After ranges of different lengths, offsets differ by the difference of the lengths.
  EXPECT_EQ(At("id=17 ok", "id=123456 no", id), std::make_pair(6L, 10L));
  EXPECT_EQ(At("id=1;id=2;end", "id=100;id=20000;end", id), kSame);
  EXPECT_EQ(At("id=1;id=2;end", "id=100;id=20000;ent", id), std::make_pair(12L, 18L));
  // A date of the same length, a difference before it still counts.
  const std::vector<std::string> date{R"(\d{4}-\d\d-\d\d)"};
  EXPECT_EQ(At("Date: 2024-01-01\r\n", "Date: 2025-12-31\r\n", date), kSame);
  EXPECT_EQ(At("Date: 2024-01-01\r\n", "Dote: 2025-12-31\r\n", date), std::make_pair(1L, 1L));
  const TComparison c = CompareStreams("id=1;id=2;end", "id=100;id=20000;end", Rules(id));
  EXPECT_EQ(c.IgnoredRanges, 2u);
}

TEST(Compare, AMatchOnOneSideTakesAsManyBytesOfTheOther) {
  const std::vector<std::string> nonce{R"(nonce=[0-9a-f]{8})"};
  // The replay's "nonce=" is followed by something that is no nonce: the same number of bytes
  // count as equal, and what follows is compared from there.
  EXPECT_EQ(At("nonce=0badf00d;", "nonce=XXXXXXXX;", nonce), kSame);
  EXPECT_EQ(At("nonce=0badf00d;", "nonce=XXXXXXXXX;", nonce), std::make_pair(14L, 14L));
  EXPECT_EQ(At("nonce=XXXXXXXX;", "nonce=0badf00d;", nonce), kSame);  // either side
  // The other stream ends inside those bytes: it differs where it ends.
  const TComparison c = CompareStreams("ab nonce=0badf00d", "ab nonc", Rules(nonce));
  EXPECT_FALSE(c.Same);
  EXPECT_EQ(c.First.RecordedOffset, 3u);
  EXPECT_EQ(c.First.ReplayedOffset, 7u);
  EXPECT_TRUE(c.First.ReplayedEnded);
  // A range of the other stream that begins inside those bytes is passed over.
  const std::vector<std::string> two{R"(AAAA)", R"(BB)"};
  EXPECT_EQ(At("xAAAAy", "xzBBzy", two), kSame);
}

TEST(Compare, OverlappingRulesKeepTheEarliestMatchAndEmptyMatchesCountForNothing) {
  TIgnoreRules rules = Rules({"b+c", "abb", "x*"});
  // "abb" starts first and wins over "bbbc"; "x*" matches empty everywhere and "xx" once.
  EXPECT_EQ(rules.Ranges("abbbc xx"), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 3}, {6, 8}}));
  // At the same start the rule given first wins.
  TIgnoreRules order = Rules({"ab", "abcd"});
  EXPECT_EQ(order.Ranges("abcd"), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 2}}));
  // Bytes, not characters: any byte value, and "." stops at a line feed only.
  TIgnoreRules bytes = Rules({R"([\x80-\xff]+)", "t.e"});
  EXPECT_EQ(bytes.Ranges(std::string("a\x80\xff\x01 t\0e t\ne", 12)),
            (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{1, 3}, {5, 8}}));
  // UTF-8 in a pattern stands for its bytes in sequence; a quantifier takes the last of them.
  EXPECT_EQ(Rules({"(?:é)+"}).Ranges("caf\xC3\xA9\xC3\xA9!"), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{3, 7}}));
  EXPECT_EQ(Rules({"é+"}).Ranges("caf\xC3\xA9\xA9\xC3\xA9!"), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{3, 6}, {6, 8}}));
  EXPECT_EQ(Rules({"(?i)ok"}).Ranges("OK"), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{0, 2}}));
}

TEST(Compare, ARuleThatDoesNotCompileSaysWhereAndIsNotAdded) {
  TIgnoreRules rules;
  std::string error;
  EXPECT_FALSE(rules.Add("id=(\\d+", error));
  EXPECT_NE(error.find("ignore rule 'id=(\\d+': "), std::string::npos) << error;
  EXPECT_NE(error.find("at offset 7"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
  EXPECT_FALSE(rules.Add("", error));
  EXPECT_EQ(error, "an empty ignore rule would ignore nothing");
  EXPECT_EQ(rules.Count(), 0u);
  EXPECT_TRUE(rules.Add("ok", error));
  EXPECT_EQ(rules.Count(), 1u);
  EXPECT_EQ(rules.Pattern(0), "ok");
}

TEST(Compare, ALongStreamWithAPatternThatBacktracksEndsWithoutCrashing) {
  // std::regex recurses once for each byte here and overflows its stack on long subjects.
  const std::string big(4 << 20, 'a');
  const TComparison c = CompareStreams(big + "1", big + "2", Rules({"(a|b)*c"}));
  EXPECT_FALSE(c.Same);
  EXPECT_EQ(c.First.RecordedOffset, big.size());
}

TEST(Compare, TheDifferenceIsShownAsTextWithEscapesOrAsHexWithACaretUnderIt) {
  std::size_t column = 0;
  bool text = false;
  EXPECT_EQ(ReadableBytes("a\r\n\t\\\"\x01z", 7, &column, &text), "\"a\\r\\n\\t\\\\\\\"\\x01z\"");
  EXPECT_TRUE(text);
  EXPECT_EQ(column, 16u);  // under the 'z'
  EXPECT_EQ(ReadableBytes(std::string("\x00\x01\x02\xff", 4), 2, &column, &text), "00 01 02 ff");
  EXPECT_FALSE(text);
  EXPECT_EQ(column, 6u);
  ReadableBytes("ab", 2, &column);
  EXPECT_EQ(column, 3u);  // at the end: on the closing quote

  // The caret goes under the 'o': twelve columns of label, then '"', '$', '5', two escapes, "hell".
  const std::string caret = std::string(12 + 11, ' ') + "^\n";
  const TComparison c = CompareStreams("$5\r\nhello\r\n+PONG\r\n", "$5\r\nhellp\r\n+PONG\r\n", TIgnoreRules());
  EXPECT_EQ(DescribeDifference(c.First), "the answers differ at offset 8\n"
                                         "  recorded: \"$5\\r\\nhello\\r\\n+PONG\\r\\n\"\n" +
                                             caret + "  replayed: \"$5\\r\\nhellp\\r\\n+PONG\\r\\n\"\n" + caret);
  // Far into a long binary stream: hex, both offsets, "..." where the context is cut.
  std::string a(1000, '\x01'), b = a;
  b[500] = '\x02';
  b.insert(0, "\x07");
  const TComparison far = CompareStreams(a, b.substr(1), TIgnoreRules());
  const std::string shown = DescribeDifference(far.First);
  EXPECT_EQ(shown.substr(0, shown.find('\n')), "the answers differ at offset 500");
  EXPECT_NE(shown.find("  recorded: ...01 01"), std::string::npos) << shown;
  EXPECT_NE(shown.find("01 02 01"), std::string::npos) << shown;
  EXPECT_NE(shown.find("01...\n"), std::string::npos) << shown;
  // A stream that ends says so.
  const std::string ended = DescribeDifference(CompareStreams("+OK\r\n+OK\r\n", "+OK\r\n", TIgnoreRules()).First);
  // Under the closing quote, where the next byte would be.
  EXPECT_NE(ended.find("  replayed: \"+OK\\r\\n\" (ends here)\n" + std::string(12 + 8, ' ') + "^\n"), std::string::npos) << ended;
  const std::string moved = DescribeDifference(CompareStreams("id=1 a", "id=1000 b", Rules({R"(id=\d+)"})).First);
  EXPECT_EQ(moved.substr(0, moved.find('\n')), "the answers differ at offset 5 (at 8 of the replay's)");
}

}  // namespace
