// Search and filter over a record built here: matches across the chunks of one stream and never
// across streams, hex and text patterns, case, pieces of large bodies, a search that goes on with
// new entries or after a cancel, a Clear under it, and a check against a plain search of each
// stream's bytes laid end to end.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "record/RecordFilter.h"
#include "record/RecordSearch.h"
#include "record/TrafficRecord.h"

// Failure messages show a part as entry:from+length.
inline void PrintTo(const TSearchPart& P, std::ostream* Out) { *Out << P.Entry << ':' << P.From << '+' << P.Length; }

namespace {

using TMatch = std::vector<TSearchPart>;

// Writes entries as the relay does: each session's directions count their own offsets.
class TWriter {
public:
  explicit TWriter(TTrafficRecord& Record) : FRecord(Record) {}
  std::uint64_t Data(std::uint64_t Session, TEntryDirection Way, const std::string& Body) {
    std::uint64_t& offset = FOffsets[{Session, Way}];
    const std::uint64_t index = FRecord.Add(Way == edFromLocal ? "From Local" : "From Remote", 0, emText,
                                            TEntrySource{Session, Way, offset}, Body);
    offset += Body.size();
    return index;
  }
  std::uint64_t Note(std::uint64_t Session, const std::string& Title, const std::string& Body = {}) {
    return FRecord.Add(Title, 0, emText, TEntrySource{Session, edNone, 0}, Body);
  }
  // Leaves a gap in a stream, as when bytes passed that were never logged.
  void Skip(std::uint64_t Session, TEntryDirection Way, std::uint64_t Bytes) { FOffsets[{Session, Way}] += Bytes; }

private:
  TTrafficRecord& FRecord;
  std::map<std::pair<std::uint64_t, TEntryDirection>, std::uint64_t> FOffsets;
};

std::vector<TMatch> Find(const TTrafficRecord& Record, const std::string& Pattern, bool MatchCase = true,
                         const TEntryFilter& Filter = {}) {
  TRecordSearch search(Record, Pattern, MatchCase, Filter);
  std::vector<TMatch> found;
  search.OnMatch = [&](const std::vector<TSearchPart>& Parts) { found.push_back(Parts); };
  const std::atomic<bool> cancel{false};
  EXPECT_EQ(search.Run(Record.Count(), cancel), stDone);
  EXPECT_EQ(search.Found(), found.size());
  return found;
}

TEST(RecordSearch, AMatchSplitAcrossTwoChunksOfAStreamIsFoundInBothPartsPastOtherSessionsEntries) {
  TTrafficRecord record;
  TWriter w(record);
  w.Note(7, "Connection Opened");
  w.Data(7, edFromLocal, "GET /in");          // 1
  w.Data(8, edFromLocal, "dex.html");         // 2: another session between the chunks
  w.Data(7, edFromRemote, "dex.html");        // 3: the other direction of the same session
  w.Data(7, edFromLocal, "dex.html HTTP/1");  // 4
  const auto found = Find(record, "index");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (TMatch{{1, 5, 2}, {4, 0, 3}}));
}

TEST(RecordSearch, AMatchCanSpanThreeChunksAndAGapInTheStreamStartsItAfresh) {
  TTrafficRecord record;
  TWriter w(record);
  w.Data(1, edFromRemote, "xx\r");  // 0
  w.Data(1, edFromRemote, "\n");    // 1
  w.Data(1, edFromRemote, "Gyy");   // 2
  w.Data(1, edFromRemote, "zz\r");  // 3
  w.Skip(1, edFromRemote, 10);
  w.Data(1, edFromRemote, "\nG");  // 5: not joined to entry 3
  const auto found = Find(record, "\r\nG");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0], (TMatch{{0, 2, 1}, {1, 0, 1}, {2, 0, 1}}));
}

TEST(RecordSearch, EntriesOfNoStreamAreSearchedEachOnItsOwn) {
  TTrafficRecord record;
  TWriter w(record);
  w.Note(3, "Error: Connection failed", "Connection refu");
  w.Note(3, "Error", "sed");
  w.Note(0, "Error: Data not kept", "refused twice: refused");
  const auto found = Find(record, "refused");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], (TMatch{{2, 0, 7}}));
  EXPECT_EQ(found[1], (TMatch{{2, 15, 7}}));
}

TEST(RecordSearch, MatchesDoNotOverlapWithinAChunkOrAcrossChunks) {
  TTrafficRecord record;
  TWriter w(record);
  w.Data(1, edFromLocal, "aaa");
  w.Data(1, edFromLocal, "a");
  const auto found = Find(record, "aa");
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], (TMatch{{0, 0, 2}}));
  EXPECT_EQ(found[1], (TMatch{{0, 2, 1}, {1, 0, 1}}));
}

TEST(RecordSearch, CaseCountsOnlyWhenAskedAndFoldsTheLogsWesternLettersToo) {
  TTrafficRecord record;
  TWriter w(record);
  w.Data(1, edFromLocal, "Host: x\r\nHOST: y\r\nhost");
  w.Data(2, edFromRemote, "\xC9t\xC9 \xE9t\xE9 \x8A\x9A \xD7\xF7");  // ETE ete, S-caron both cases, x and divide
  EXPECT_EQ(Find(record, "Host").size(), 1u);
  EXPECT_EQ(Find(record, "host", false).size(), 3u);
  EXPECT_EQ(Find(record, "\xE9t\xE9", false).size(), 2u);
  EXPECT_EQ(Find(record, "\xE9t\xE9", true).size(), 1u);
  EXPECT_EQ(Find(record, "\x9A\x9A", false).size(), 1u);
  EXPECT_EQ(Find(record, "\xF7", false).size(), 1u);  // the signs are not letters: no pair
  EXPECT_TRUE(Find(record, "absent", false).empty());
}

// Without regard to case, whole words of ASCII are folded apart from the bytes above it: bytes on
// both sides of 'A', 'Z', '@', '[' and the Western letters, at every alignment, against a fold of
// each byte on its own.
TEST(RecordSearch, CaseFoldingOfLongBodiesIsThatOfEachByteOnItsOwn) {
  const std::string alphabet = "aAbBzZ@[`{09 \xC0\xE0\xDE\xFE\xD7\xF7\x8A\x9A\x9F\xFF";
  for (unsigned seed = 1; seed <= 8; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    std::string body(4000 + seed, ' ');
    // Long runs of ASCII with a high byte now and then, or high bytes throughout.
    for (char& c : body) c = alphabet[random() % (seed % 2 ? 12 : alphabet.size())];
    const std::string pattern = body.substr(1000 + seed, 2 + seed % 3);
    std::string folded = body, foldedPattern = pattern;
    for (char& c : folded) c = static_cast<char>(FoldCase(static_cast<unsigned char>(c)));
    for (char& c : foldedPattern) c = static_cast<char>(FoldCase(static_cast<unsigned char>(c)));
    std::vector<std::uint64_t> expected;
    for (std::size_t at = folded.find(foldedPattern); at != std::string::npos; at = folded.find(foldedPattern, at + pattern.size()))
      expected.push_back(at);
    TTrafficRecord record;
    TWriter w(record);
    w.Data(1, edFromLocal, body);
    std::vector<std::uint64_t> found;
    for (const TMatch& m : Find(record, pattern, false)) found.push_back(m.front().From);
    EXPECT_EQ(found, expected);
  }
}

TEST(RecordSearch, HexBytesAreReadInPairsWithBlanksBetweenThem) {
  struct TCase {
    const char* Text;
    bool Ok;
    std::string Bytes;
  } cases[] = {
      {"0d 0a 47", true, "\r\nG"}, {"0d0a47", true, "\r\nG"},     {"  0D0a  47 ", true, "\r\nG"}, {"00", true, std::string(1, '\0')},
      {"ff\tFE", true, "\xFF\xFE"}, {"0d 0", false, ""},           {"0 d", false, ""},              {"0g", false, ""},
      {"", false, ""},               {"   ", false, ""},             {"0x0d", false, ""},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Text);
    std::string out, error;
    EXPECT_EQ(ParseHexBytes(c.Text, out, error), c.Ok);
    if (c.Ok) EXPECT_EQ(out, c.Bytes);
    else EXPECT_FALSE(error.empty());
  }
  // A zero byte is a byte like any other in a pattern and in a body.
  TTrafficRecord record;
  TWriter w(record);
  w.Data(1, edFromLocal, std::string("a\0", 2));
  w.Data(1, edFromLocal, std::string("\0b", 2));
  std::string zeros, error;
  ASSERT_TRUE(ParseHexBytes("00 00 62", zeros, error));
  EXPECT_EQ(Find(record, zeros), (std::vector<TMatch>{{{0, 1, 1}, {1, 0, 2}}}));
}

TEST(RecordSearch, AFilterLimitsTheSearchToItsSessionsAndDirection) {
  TTrafficRecord record;
  TWriter w(record);
  for (std::uint64_t s = 1; s <= 3; ++s) {
    w.Data(s, edFromLocal, "needle");
    w.Data(s, edFromRemote, "needle");
  }
  w.Note(2, "Error", "needle");
  TEntryFilter filter;
  filter.SetSessions({3, 2, 3});
  EXPECT_EQ(filter.Sessions, (std::vector<std::uint64_t>{2, 3}));
  EXPECT_EQ(Find(record, "needle", true, filter).size(), 5u);
  filter.Direction = dfFromRemote;
  const auto found = Find(record, "needle", true, filter);
  ASSERT_EQ(found.size(), 3u);  // two remote streams and the note, which carries no direction
  EXPECT_EQ(found[0].front().Entry, 3u);
  EXPECT_EQ(found[1].front().Entry, 5u);
  EXPECT_EQ(found[2].front().Entry, 6u);
}

TEST(RecordSearch, BodiesLargerThanAPieceAreSearchedAcrossThePieceBoundary) {
  TTrafficRecord record;
  TWriter w(record);
  std::string body(3 * TRecordSearch::kPiece + 5, '.');
  const std::string needle = "<needle>";
  for (std::uint64_t at : {std::uint64_t{0}, TRecordSearch::kPiece - 3, 2 * TRecordSearch::kPiece - 8, std::uint64_t{body.size()} - 8})
    body.replace(at, needle.size(), needle);
  w.Data(1, edFromLocal, body);
  const auto found = Find(record, needle);
  ASSERT_EQ(found.size(), 4u);
  EXPECT_EQ(found[1], (TMatch{{0, TRecordSearch::kPiece - 3, 8}}));
  EXPECT_EQ(found[2], (TMatch{{0, 2 * TRecordSearch::kPiece - 8, 8}}));
}

TEST(RecordSearch, ASearchGoesOnWithNewEntriesAndAfterACancelFindingEachMatchOnce) {
  TTrafficRecord record;
  TWriter w(record);
  w.Data(1, edFromLocal, std::string(TRecordSearch::kPiece * 2, 'x') + "ne");
  TRecordSearch search(record, "needle", true);
  std::vector<TMatch> found;
  search.OnMatch = [&](const std::vector<TSearchPart>& Parts) { found.push_back(Parts); };
  std::atomic<bool> cancel{true};
  EXPECT_EQ(search.Run(record.Count(), cancel), stCancelled);
  cancel = false;
  EXPECT_EQ(search.Run(record.Count(), cancel), stDone);
  EXPECT_EQ(search.Next(), 1u);
  w.Data(1, edFromLocal, "edle needle");
  EXPECT_EQ(search.Run(record.Count(), cancel), stDone);
  ASSERT_EQ(found.size(), 2u);
  EXPECT_EQ(found[0], (TMatch{{0, TRecordSearch::kPiece * 2, 2}, {1, 0, 4}}));
  EXPECT_EQ(found[1], (TMatch{{1, 5, 6}}));
  EXPECT_EQ(search.BytesSearched(), TRecordSearch::kPiece * 2 + 2 + 11);
}

TEST(RecordSearch, AClearUnderTheSearchStopsItAndALimitEndsIt) {
  TTrafficRecord record;
  TWriter w(record);
  for (int i = 0; i < 10; ++i) w.Data(1, edFromLocal, "ab ab ab");
  TRecordSearch limited(record, "ab", true);
  limited.Limit = 4;
  std::vector<TMatch> found;
  limited.OnMatch = [&](const std::vector<TSearchPart>& Parts) { found.push_back(Parts); };
  const std::atomic<bool> cancel{false};
  EXPECT_EQ(limited.Run(record.Count(), cancel), stLimit);
  EXPECT_EQ(found.size(), 4u);

  TRecordSearch search(record, "ab", true);
  record.Clear();
  w.Data(1, edFromLocal, "ab");
  EXPECT_EQ(search.Run(record.Count(), cancel), stCleared);
}

TEST(RecordSearch, BodiesMovedToTheFileAreSearchedAndALostBodyBreaksItsStream) {
  // A budget of 64 KiB: all but the last bodies go to the file, and a match spans a body read
  // back from it and one still in memory.
  {
    TTrafficRecord record(64 << 10);
    TWriter w(record);
    for (int i = 0; i < 40; ++i) w.Data(1, edFromRemote, "dle" + std::string(8186, 'z') + "nee");
    ASSERT_GT(record.SpilledBytes(), 8u * 8192);
    const auto found = Find(record, "needle");
    ASSERT_EQ(found.size(), 39u);  // at every boundary between two bodies
    EXPECT_EQ(found[0], (TMatch{{0, 8189, 3}, {1, 0, 3}}));
    EXPECT_EQ(found[38], (TMatch{{38, 8189, 3}, {39, 0, 3}}));
  }
  // A file that cannot be made: the oldest bodies are lost, and no match is pieced together
  // across a lost one; bodies kept after it are searched as usual.
  TTrafficRecord record(16 << 10, "/nonexistent/search-test");
  TWriter w(record);
  for (int i = 0; i < 8; ++i) w.Data(1, edFromLocal, "dle" + std::string(4090, 'x') + "nee");
  w.Data(1, edFromLocal, "dle needle");
  TRecordEntry e;
  ASSERT_TRUE(record.Entry(0, e));
  ASSERT_FALSE(e.BodyKept);
  ASSERT_TRUE(record.Entry(8, e));
  ASSERT_TRUE(e.BodyKept);
  std::vector<TMatch> found = Find(record, "needle");
  ASSERT_FALSE(found.empty());
  EXPECT_EQ(found.back(), (TMatch{{8, 4, 6}}));
  for (const TMatch& m : found)
    for (const TSearchPart& p : m) {
      ASSERT_TRUE(record.Entry(p.Entry, e));
      EXPECT_TRUE(e.BodyKept) << "a part in a lost body, entry " << p.Entry;
    }
}

// Random chunks of random streams, interleaved; the matches must be those of a plain search of
// each stream's bytes end to end, mapped back to the chunks.
TEST(RecordSearch, MatchesAreThoseOfEachStreamSearchedWholeOnRandomChunking) {
  for (unsigned seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    TTrafficRecord record;
    TWriter w(record);
    struct TChunk {
      std::uint64_t Entry, Offset, Length;
    };
    std::map<std::uint64_t, std::string> streams;  // session * 4 + direction -> bytes
    std::map<std::uint64_t, std::vector<TChunk>> chunks;
    const std::string pattern = seed % 2 ? "abab" : "aXbaXbaXba";  // periodic: overlaps are likely
    for (int i = 0; i < 400; ++i) {
      const std::uint64_t session = 1 + random() % 4;
      const auto way = random() % 2 ? edFromLocal : edFromRemote;
      std::string body(random() % 7, ' ');
      for (char& c : body) c = "abX"[random() % 3];
      if (random() % 10 == 0) body += pattern;
      std::string& s = streams[session * 4 + way];
      chunks[session * 4 + way].push_back({record.Count(), s.size(), body.size()});
      s += body;
      w.Data(session, way, body);
    }
    std::vector<TMatch> expected;
    for (const auto& [key, bytes] : streams)
      for (std::size_t at = bytes.find(pattern); at != std::string::npos; at = bytes.find(pattern, at + pattern.size())) {
        TMatch m;
        for (const TChunk& c : chunks[key]) {
          const std::uint64_t a = std::max<std::uint64_t>(at, c.Offset), b = std::min<std::uint64_t>(at + pattern.size(), c.Offset + c.Length);
          if (a < b) m.push_back({c.Entry, a - c.Offset, b - a});
        }
        expected.push_back(m);
      }
    // The search reports in the order of where matches end; the plain one, stream by stream.
    std::sort(expected.begin(), expected.end(), [](const TMatch& A, const TMatch& B) {
      return std::tie(A.back().Entry, A.back().From) < std::tie(B.back().Entry, B.back().From);
    });
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(Find(record, pattern), expected);
  }
}

TEST(RecordFilter, KeepsTheChosenSessionsEntriesAndWhatCarriesNoBytesInEitherDirection) {
  TTrafficRecord record;
  TWriter w(record);
  w.Note(0, "Error: Data not kept");             // 0
  w.Note(1, "Connection Opened");                // 1
  w.Data(1, edFromLocal, "q");                   // 2
  w.Data(2, edFromLocal, "q");                   // 3
  w.Data(1, edFromRemote, "r");                  // 4
  w.Note(1, "Connection Closed");                // 5
  w.Data(3, edFromRemote, "r");                  // 6
  const auto filtered = [&](std::vector<std::uint64_t> Sessions, TDirectionFilter Direction, std::uint64_t From = 0) {
    TEntryFilter f;
    f.SetSessions(std::move(Sessions));
    f.Direction = Direction;
    std::vector<std::uint64_t> out;
    EXPECT_EQ(FilterEntries(record, f, From, 100, out), record.Count());  // stops at the end
    return out;
  };
  using V = std::vector<std::uint64_t>;
  EXPECT_FALSE(TEntryFilter{}.Active());
  EXPECT_EQ(filtered({}, dfBoth), (V{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(filtered({1}, dfBoth), (V{1, 2, 4, 5}));
  EXPECT_EQ(filtered({1}, dfFromLocal), (V{1, 2, 5}));
  EXPECT_EQ(filtered({1, 3}, dfFromRemote), (V{1, 4, 5, 6}));
  EXPECT_EQ(filtered({}, dfFromLocal), (V{0, 1, 2, 3, 5}));
  EXPECT_EQ(filtered({1}, dfBoth, 3), (V{4, 5}));
  EXPECT_TRUE(filtered({9}, dfBoth).empty());
}

}  // namespace
