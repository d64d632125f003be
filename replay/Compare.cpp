// The comparison of a recording's answers with its replay's: the ignore rules and the ranges they
// find, the walk that aligns the two streams (Compare.h defines it), and the readable form of a
// difference.
#include "replay/Compare.h"

#include <QRegularExpression>
#include <QString>

#include <algorithm>
#include <tuple>

struct TIgnoreRules::TImpl {
  std::vector<std::string> Patterns;
  std::vector<QRegularExpression> Rules;
};

TIgnoreRules::TIgnoreRules() : FImpl(std::make_unique<TImpl>()) {}
TIgnoreRules::~TIgnoreRules() = default;
TIgnoreRules::TIgnoreRules(const TIgnoreRules& Other) : FImpl(std::make_unique<TImpl>(*Other.FImpl)) {}
TIgnoreRules& TIgnoreRules::operator=(const TIgnoreRules& Other) {
  if (this != &Other) *FImpl = *Other.FImpl;
  return *this;
}

namespace {

// Bytes as characters U+0000 to U+00FF, one for each byte, so that offsets in the string are
// offsets in the stream.
QString Latin1(std::string_view Bytes) { return QString::fromLatin1(Bytes.data(), static_cast<qsizetype>(Bytes.size())); }

}  // namespace

bool TIgnoreRules::Add(const std::string& Pattern, std::string& Error) {
  if (Pattern.empty()) {
    Error = "an empty ignore rule would ignore nothing";
    return false;
  }
  QRegularExpression rule(Latin1(Pattern));
  if (!rule.isValid()) {
    Error = "ignore rule '" + Pattern + "': " + rule.errorString().toStdString() + " at offset " +
            std::to_string(rule.patternErrorOffset());
    return false;
  }
  rule.optimize();
  FImpl->Patterns.push_back(Pattern);
  FImpl->Rules.push_back(std::move(rule));
  return true;
}

std::size_t TIgnoreRules::Count() const { return FImpl->Rules.size(); }
const std::string& TIgnoreRules::Pattern(std::size_t Index) const { return FImpl->Patterns.at(Index); }

std::vector<std::pair<std::uint64_t, std::uint64_t>> TIgnoreRules::Ranges(std::string_view Stream) const {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> kept;
  if (FImpl->Rules.empty() || Stream.empty()) return kept;
  const QString subject = Latin1(Stream);
  struct TMatch {
    std::uint64_t First, Last;
    std::size_t Rule;
  };
  std::vector<TMatch> matches;
  for (std::size_t r = 0; r < FImpl->Rules.size(); ++r) {
    QRegularExpressionMatchIterator it = FImpl->Rules[r].globalMatch(subject);
    while (it.hasNext()) {
      const QRegularExpressionMatch m = it.next();
      const auto first = static_cast<std::uint64_t>(m.capturedStart());
      const auto last = static_cast<std::uint64_t>(m.capturedEnd());
      if (last > first) matches.push_back({first, last, r});
    }
  }
  std::sort(matches.begin(), matches.end(),
            [](const TMatch& A, const TMatch& B) { return std::tie(A.First, A.Rule) < std::tie(B.First, B.Rule); });
  std::uint64_t end = 0;
  for (const TMatch& m : matches) {
    if (!kept.empty() && m.First < end) continue;
    kept.emplace_back(m.First, m.Last);
    end = m.Last;
  }
  return kept;
}

namespace {

void Context(std::string_view Stream, std::uint64_t At, std::string& Out, std::uint64_t& Start) {
  Start = At - std::min<std::uint64_t>(At, kContextBefore);
  Out = std::string(Stream.substr(Start, At - Start + kContextAfter));
}

bool Printable(unsigned char C) { return (C >= 0x20 && C < 0x7F) || C == '\r' || C == '\n' || C == '\t'; }

}  // namespace

TComparison CompareStreams(std::string_view Recorded, std::string_view Replayed, const TIgnoreRules& Rules) {
  TComparison result;
  result.RecordedLength = Recorded.size();
  result.ReplayedLength = Replayed.size();
  const std::string_view stream[2] = {Recorded, Replayed};
  const auto ranges0 = Rules.Ranges(Recorded), ranges1 = Rules.Ranges(Replayed);
  const std::vector<std::pair<std::uint64_t, std::uint64_t>>* ranges[2] = {&ranges0, &ranges1};
  std::uint64_t at[2] = {0, 0};
  std::size_t next[2] = {0, 0};

  auto differ = [&](std::uint64_t A, std::uint64_t B) {
    result.Same = false;
    TDifference& d = result.First;
    d.RecordedOffset = A;
    d.ReplayedOffset = B;
    d.RecordedEnded = A >= Recorded.size();
    d.ReplayedEnded = B >= Replayed.size();
    d.RecordedLength = Recorded.size();
    d.ReplayedLength = Replayed.size();
    Context(Recorded, A, d.RecordedContext, d.RecordedContextStart);
    Context(Replayed, B, d.ReplayedContext, d.ReplayedContextStart);
    return result;
  };

  for (;;) {
    // Ranges that the walk has passed into are passed over.
    std::uint64_t start[2];
    for (int s : {0, 1}) {
      while (next[s] < ranges[s]->size() && (*ranges[s])[next[s]].first < at[s]) ++next[s];
      start[s] = next[s] < ranges[s]->size() ? (*ranges[s])[next[s]].first : stream[s].size();
    }
    // Byte for byte up to the nearer of the next ranges (or a stream's end).
    const std::uint64_t step = std::min(start[0] - at[0], start[1] - at[1]);
    const auto* a = stream[0].data() + at[0];
    const auto* b = stream[1].data() + at[1];
    const auto mismatch = std::mismatch(a, a + step, b);
    if (mismatch.first != a + step) {
      const auto k = static_cast<std::uint64_t>(mismatch.first - a);
      return differ(at[0] + k, at[1] + k);
    }
    at[0] += step;
    at[1] += step;
    const bool here[2] = {next[0] < ranges[0]->size() && start[0] == at[0],
                          next[1] < ranges[1]->size() && start[1] == at[1]};
    if (here[0] && here[1]) {
      for (int s : {0, 1}) at[s] = (*ranges[s])[next[s]++].second;
      ++result.IgnoredRanges;
    } else if (here[0] || here[1]) {
      const int s = here[0] ? 0 : 1, o = 1 - s;
      const std::uint64_t length = (*ranges[s])[next[s]].second - at[s];
      if (stream[o].size() - at[o] < length) return differ(s == 0 ? at[0] : stream[0].size(), s == 1 ? at[1] : stream[1].size());
      at[s] += length;
      at[o] += length;
      ++next[s];
      ++result.IgnoredRanges;
    } else {
      // Neither is at a range: one stream (or both) has ended.
      if (at[0] == stream[0].size() && at[1] == stream[1].size()) return result;
      return differ(at[0], at[1]);
    }
  }
}

std::string ReadableBytesAs(std::string_view Bytes, bool Text, std::size_t Marked, std::size_t* Column) {
  std::string out;
  static const char* kHex = "0123456789abcdef";
  if (!Text) {
    for (std::size_t i = 0; i < Bytes.size(); ++i) {
      if (i > 0) out += ' ';
      if (i == Marked && Column != nullptr) *Column = out.size();
      const auto c = static_cast<unsigned char>(Bytes[i]);
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
    if (Marked == Bytes.size() && Column != nullptr) *Column = out.size() + (Bytes.empty() ? 0 : 1);
    return out;
  }
  out += '"';
  for (std::size_t i = 0; i < Bytes.size(); ++i) {
    if (i == Marked && Column != nullptr) *Column = out.size();
    const auto c = static_cast<unsigned char>(Bytes[i]);
    switch (c) {
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      default:
        if (c >= 0x20 && c < 0x7F) {
          out += static_cast<char>(c);
        } else {
          out += "\\x";
          out += kHex[c >> 4];
          out += kHex[c & 15];
        }
    }
  }
  if (Marked == Bytes.size() && Column != nullptr) *Column = out.size();
  out += '"';
  return out;
}

namespace {

bool MostlyText(std::string_view Bytes) {
  std::size_t printable = 0;
  for (char c : Bytes) printable += Printable(static_cast<unsigned char>(c)) ? 1 : 0;
  return printable * 4 >= Bytes.size() * 3;
}

}  // namespace

std::string ReadableBytes(std::string_view Bytes, std::size_t Marked, std::size_t* Column, bool* Text) {
  const bool text = MostlyText(Bytes);
  if (Text != nullptr) *Text = text;
  return ReadableBytesAs(Bytes, text, Marked, Column);
}

std::string DescribeDifference(const TDifference& D) {
  std::string out = "the answers differ at offset " + std::to_string(D.RecordedOffset);
  if (D.ReplayedOffset != D.RecordedOffset) out += " (at " + std::to_string(D.ReplayedOffset) + " of the replay's)";
  out += "\n";
  const bool text = MostlyText(D.RecordedContext + D.ReplayedContext);
  auto side = [&](const char* Label, const std::string& Context, std::uint64_t Start, std::uint64_t At,
                  std::uint64_t Length, bool Ended) {
    std::string line = std::string("  ") + Label + ": ";
    const std::size_t indent = line.size() + (Start > 0 ? 3 : 0);
    std::size_t column = 0;
    if (Start > 0) line += "...";
    line += ReadableBytesAs(Context, text, static_cast<std::size_t>(At - Start), &column);
    if (Ended)
      line += " (ends here)";
    else if (Start + Context.size() < Length)
      line += "...";
    out += line + "\n" + std::string(indent + column, ' ') + "^\n";
  };
  side("recorded", D.RecordedContext, D.RecordedContextStart, D.RecordedOffset, D.RecordedLength, D.RecordedEnded);
  side("replayed", D.ReplayedContext, D.ReplayedContextStart, D.ReplayedOffset, D.ReplayedLength, D.ReplayedEnded);
  return out;
}
