// Searching the record stream by stream.
//
// For each stream the search keeps the last (pattern length - 1) bytes it has seen, the tail, and
// where in which entries they lie. The next piece of the stream is read in behind a copy of the
// tail, so one search of that buffer finds the matches that start in the tail and end in the piece
// as well as those inside the piece; a match that lies wholly in the tail cannot exist, since the
// tail is shorter than the pattern.
//
//   buffer:  [ tail: m - 1 bytes, from earlier entries ][ piece: up to kPiece bytes of this entry ]
//             ^ Skip: tail bytes that ended the last match and cannot start a new one
#include "record/RecordSearch.h"

#include <cstring>

namespace {

struct TFoldTable {
  unsigned char Map[256];
  TFoldTable() {
    for (int b = 0; b < 256; ++b) Map[b] = static_cast<unsigned char>(b);
    for (int b = 'A'; b <= 'Z'; ++b) Map[b] = static_cast<unsigned char>(b + 0x20);
    for (int b = 0xC0; b <= 0xDE; ++b)
      if (b != 0xD7) Map[b] = static_cast<unsigned char>(b + 0x20);  // 0xD7 is the multiplication sign
    // Windows-1252's own letters: S, OE and Z with caron or ligature, and Y with diaeresis.
    Map[0x8A] = 0x9A;
    Map[0x8C] = 0x9C;
    Map[0x8E] = 0x9E;
    Map[0x9F] = 0xFF;
  }
};

const TFoldTable gFold;

void FoldBytes(char* Data, std::size_t Length) {
  for (std::size_t i = 0; i < Length; ++i)
    Data[i] = static_cast<char>(gFold.Map[static_cast<unsigned char>(Data[i])]);
}

// The same as FoldBytes, eight bytes at a time where they are all ASCII (most of what text
// protocols carry): a byte table costs a few cycles a byte, which a search of a gibibyte without
// regard to case would spend mostly here. Words with a byte of 0x80 or above go through the table.
void Fold(char* Data, std::size_t Length) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
  std::size_t i = 0;
  for (; i + 8 <= Length; i += 8) {
    std::uint64_t w;
    std::memcpy(&w, Data + i, 8);
    if (w & kHigh) {
      FoldBytes(Data + i, 8);
      continue;
    }
    // With every byte below 0x80 no addition carries into the next byte: the high bit of each
    // byte of atLeastA says byte >= 'A', that of aboveZ says byte > 'Z'.
    const std::uint64_t atLeastA = w + (0x80 - 'A') * kOnes;
    const std::uint64_t aboveZ = w + (0x7F - 'Z') * kOnes;
    const std::uint64_t upper = atLeastA & ~aboveZ & kHigh;
    w |= upper >> 2;  // 0x80 >> 2 is 0x20, the bit that makes a letter lower case
    std::memcpy(Data + i, &w, 8);
  }
  FoldBytes(Data + i, Length - i);
}

int HexDigit(char C) {
  if (C >= '0' && C <= '9') return C - '0';
  if (C >= 'a' && C <= 'f') return C - 'a' + 10;
  if (C >= 'A' && C <= 'F') return C - 'A' + 10;
  return -1;
}

}  // namespace

unsigned char FoldCase(unsigned char Byte) { return gFold.Map[Byte]; }

bool ParseHexBytes(std::string_view Text, std::string& Out, std::string& Error) {
  Out.clear();
  int high = -1;  // the first digit of a pair, while the second is awaited
  for (std::size_t i = 0; i < Text.size(); ++i) {
    const char c = Text[i];
    if (c == ' ' || c == '\t') {
      if (high >= 0) {
        Error = "a single hex digit at position " + std::to_string(i);
        return false;
      }
      continue;
    }
    const int digit = HexDigit(c);
    if (digit < 0) {
      Error = "not a hex digit at position " + std::to_string(i + 1);
      return false;
    }
    if (high < 0) {
      high = digit;
    } else {
      Out += static_cast<char>(high << 4 | digit);
      high = -1;
    }
  }
  if (high >= 0) {
    Error = "a single hex digit at the end";
    return false;
  }
  if (Out.empty()) {
    Error = "no hex bytes";
    return false;
  }
  return true;
}

TRecordSearch::TRecordSearch(const TTrafficRecord& Record, std::string Pattern, bool MatchCase, TEntryFilter Filter)
    : FRecord(Record),
      FPattern([&] {
        if (!MatchCase) Fold(Pattern.data(), Pattern.size());
        return std::move(Pattern);
      }()),
      FMatchCase(MatchCase),
      FFilter(std::move(Filter)),
      FGeneration(Record.Generation()) {}

void TRecordSearch::Forget(TStream& S) {
  S.Tail.clear();
  S.Segments.clear();
  S.Skip = 0;
}

TSearchStop TRecordSearch::Run(std::uint64_t To, const std::atomic<bool>& Cancel) {
  if (FPattern.empty()) return stDone;
  TRecordEntry e;
  for (; FNext < To; ++FNext, FFrom = 0) {
    if (Cancel.load(std::memory_order_relaxed)) return stCancelled;
    if (!FRecord.Entry(FNext, e)) return FRecord.Generation() != FGeneration ? stCleared : stDone;
    // Read before a Clear, or it is not ours: checked after the read, so a Clear in between shows.
    if (FRecord.Generation() != FGeneration) return stCleared;
    if (!FFilter.Keeps(e) || e.BodyLength == 0) continue;
    TStream& s = e.Direction == edNone ? FLoose : FStreams[e.Session * 4 + e.Direction];
    if (FFrom == 0) {
      if (&s == &FLoose || s.End != e.Offset) Forget(s);
      s.End = e.Offset + e.BodyLength;
      if (!e.BodyKept) {
        Forget(s);
        continue;
      }
    }
    while (FFrom < e.BodyLength) {
      if (FFrom > 0 && Cancel.load(std::memory_order_relaxed)) return stCancelled;
      const std::uint64_t n = std::min(kPiece, e.BodyLength - FFrom);
      if (!SearchBuffer(s, FNext, FFrom, n)) {
        if (FRecord.Generation() != FGeneration) return stCleared;
        Forget(s);  // the body could not be read after all (lost since): go on after it
        break;
      }
      FFrom += n;
      if (Limit != 0 && FFound >= Limit) return stLimit;
    }
  }
  return stDone;
}

bool TRecordSearch::SearchBuffer(TStream& S, std::uint64_t Index, std::uint64_t From, std::uint64_t Length) {
  FBuffer = S.Tail;
  const std::size_t tail = FBuffer.size();
  if (!FRecord.ReadBody(Index, From, Length, FBuffer) || FBuffer.size() != tail + Length) return false;
  if (FRecord.Generation() != FGeneration) return false;
  FBytes += Length;
  if (!FMatchCase) Fold(FBuffer.data() + tail, Length);

  const std::size_t m = FPattern.size();
  const char* data = FBuffer.data();
  const std::size_t size = FBuffer.size();
  std::size_t at = S.Skip;
  std::size_t lastEnd = S.Skip;  // where the last match ended: it may have begun in an earlier buffer
  while (at + m <= size) {
    const void* hit = ::memmem(data + at, size - at, FPattern.data(), m);
    if (hit == nullptr) break;
    const auto pos = static_cast<std::size_t>(static_cast<const char*>(hit) - data);
    Report(S, Index, From, pos);
    at = lastEnd = pos + m;
    if (++FFound == Limit) break;
  }

  // The new tail: the last m - 1 bytes of the buffer, and where they lie.
  const std::size_t keep = std::min(m - 1, size);
  const std::size_t drop = size - keep;
  S.Tail.assign(data + drop, keep);
  S.Skip = lastEnd > drop ? lastEnd - drop : 0;
  // Pieces of one body lie end to end: one segment for them, so that a match over a piece
  // boundary is one part.
  if (!S.Segments.empty() && S.Segments.back().Entry == Index && S.Segments.back().From + S.Segments.back().Length == From)
    S.Segments.back().Length += Length;
  else
    S.Segments.push_back({Index, From, Length});
  std::size_t dropped = 0;  // bytes of the segments that have gone from the front
  std::size_t first = 0;
  while (first < S.Segments.size() && dropped + S.Segments[first].Length <= drop) dropped += S.Segments[first++].Length;
  S.Segments.erase(S.Segments.begin(), S.Segments.begin() + static_cast<std::ptrdiff_t>(first));
  if (!S.Segments.empty() && drop > dropped) {
    const std::uint64_t cut = drop - dropped;
    S.Segments.front().From += cut;
    S.Segments.front().Length -= cut;
  }
  return true;
}

void TRecordSearch::Report(const TStream& S, std::uint64_t Index, std::uint64_t From, std::uint64_t At) {
  FParts.clear();
  const std::uint64_t begin = At, end = At + FPattern.size();
  std::uint64_t start = 0;  // buffer position of the segment's first byte
  for (const TSearchPart& seg : S.Segments) {
    const std::uint64_t a = std::max(begin, start), b = std::min(end, start + seg.Length);
    if (a < b) FParts.push_back({seg.Entry, seg.From + (a - start), b - a});
    start += seg.Length;
  }
  const std::uint64_t a = std::max(begin, start);
  if (a < end) {
    const TSearchPart part{Index, From + (a - start), end - a};
    if (!FParts.empty() && FParts.back().Entry == Index && FParts.back().From + FParts.back().Length == part.From)
      FParts.back().Length += part.Length;  // the piece before, of the same body
    else
      FParts.push_back(part);
  }
  if (OnMatch) OnMatch(FParts);
}
