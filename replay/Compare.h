// Public. Comparing two byte streams, the answers of a recording and those of its replay: either
// the same, or where they first differ and the bytes around it, shown readably. Ignore rules
// (regular expressions) cover what always differs: dates, ids, nonces.
//
// Ignore rules. Each rule is a Perl-compatible regular expression (Qt's QRegularExpression, that
// is PCRE2: its syntax is the one people know from grep -P and most languages, it matches in
// linear memory without recursing through the subject, and a pattern that backtracks too much
// stops at PCRE2's limit instead of overflowing the stack, which std::regex does on long
// subjects). A stream is matched as bytes: each byte is one character, so "\x00" or "[\x80-\xff]"
// match raw bytes and "." any byte but a line feed; characters beyond ASCII in a pattern stand
// for their UTF-8 bytes in sequence (a quantifier or a class takes those bytes one by one: write
// "(?:é)+"). Inline options work: "(?i)", "(?s)". A rule that would backtrack past PCRE2's limit
// matches nothing from there on.
//
// The ranges a stream ignores are found in that stream alone: each rule's matches from the start
// to the end, left to right without overlapping (empty matches count for nothing); where matches
// of different rules overlap, the one that starts first is kept (at the same start, the rule given
// first) and those it overlaps are dropped.
//
// Alignment. The two streams are walked side by side from offset 0 of each, byte for byte, until
// either reaches the start of one of its ignored ranges:
//   - both reach one at the same step: the two ranges count as equal, whatever their lengths, and
//     the walk goes on after each (so the offsets of the two streams differ from there on by the
//     difference of the lengths);
//   - only one stream reaches one (length L): the other stream's next L bytes count as equal to it,
//     and both go on after them; should the other stream hold fewer than L bytes, it differs where
//     it ends. A range of the other stream that starts inside those L bytes is passed over.
// Bytes that differ, or one stream ending before the other, make the first difference.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class TIgnoreRules {
public:
  TIgnoreRules();
  ~TIgnoreRules();
  TIgnoreRules(const TIgnoreRules&);
  TIgnoreRules& operator=(const TIgnoreRules&);

  // Adds a rule. False, and Error says why in one line (with the place in the pattern), for a
  // pattern that does not compile.
  bool Add(const std::string& Pattern, std::string& Error);
  std::size_t Count() const;
  const std::string& Pattern(std::size_t Index) const;

  // The ranges of Stream that the rules ignore, as [first, last) offsets, in order, disjoint.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> Ranges(std::string_view Stream) const;

private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// Where two streams first differ.
struct TDifference {
  std::uint64_t RecordedOffset = 0;  // of the first byte that differs, in each stream
  std::uint64_t ReplayedOffset = 0;
  bool RecordedEnded = false;  // the stream ends there (the other goes on)
  bool ReplayedEnded = false;
  // Up to kContextBefore bytes before the difference and kContextAfter from it on, in each stream,
  // and where each context starts.
  std::string RecordedContext, ReplayedContext;
  std::uint64_t RecordedContextStart = 0, ReplayedContextStart = 0;
  std::uint64_t RecordedLength = 0, ReplayedLength = 0;  // of the whole streams
};

struct TComparison {
  bool Same = true;
  TDifference First;  // when not Same
  std::uint64_t RecordedLength = 0, ReplayedLength = 0;
  std::size_t IgnoredRanges = 0;  // ranges the rules passed over before the end or the difference
};

constexpr std::size_t kContextBefore = 24;
constexpr std::size_t kContextAfter = 40;

TComparison CompareStreams(std::string_view Recorded, std::string_view Replayed, const TIgnoreRules& Rules);

// Bytes for a reader: printable text in double quotes with escapes (\r \n \t \\ \" \xNN) when
// at least three quarters of them are printable ASCII or \r \n \t, otherwise hex ("47 45 54").
// Marked (when not npos) is an index into Bytes; Column is set to where that byte's text begins,
// so that a caret can be put under it. Text says which form was chosen for the whole.
std::string ReadableBytes(std::string_view Bytes, std::size_t Marked = std::string_view::npos,
                          std::size_t* Column = nullptr, bool* Text = nullptr);
// The same with the form given: text (true) or hex (false).
std::string ReadableBytesAs(std::string_view Bytes, bool Text, std::size_t Marked = std::string_view::npos,
                            std::size_t* Column = nullptr);

// The first difference for a reader, several lines:
//   the answers differ at offset 172309 (at 172309 of the replay's)
//     recorded: "$5\r\nhello\r\n+PONG\r\n"
//                         ^
//     replayed: "$5\r\nhellp\r\n+PONG\r\n"
//                         ^
// both contexts in the same form, text or hex; "(ends here)" where a stream ends.
std::string DescribeDifference(const TDifference& D);
