// Public. Finding bytes in the traffic record, as each session's streams carried them: the bodies
// of one session's entries in one direction are searched as one stream, so that a match split
// across two chunks (entries) is found, in parts. Reads the record only; meant to run on a worker
// thread while the loop thread goes on adding entries.
//
//   session 7, from local:   entry 12 "...GET /in"   entry 15 "dex.html HTTP/1.1..."
//   pattern "index":                       [ part 1 ]          [part 2]
//
// Two entries of a stream are joined only where the second starts at the offset where the first
// ended; a gap (a body the record could not keep, say) starts the stream afresh. Entries that
// carry no relayed bytes (errors, "Connection Opened") are searched each on its own.
//
// Matches do not overlap: after a match the next one starts behind it, within an entry and across
// entries alike. They are reported in the order of where they end, which is the record's order.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "record/RecordFilter.h"
#include "record/TrafficRecord.h"

// Bytes of one entry's body that are part of a match.
struct TSearchPart {
  std::uint64_t Entry = 0;  // record index
  std::uint64_t From = 0;   // first byte in the body
  std::uint64_t Length = 0;
  friend bool operator==(const TSearchPart&, const TSearchPart&) = default;
};

// Reads hex bytes as a user types them: pairs of digits ("0d0a47"), with blanks anywhere between
// the pairs ("0d 0a 47"), either case. False, with a message in Error, for anything else: another
// character, an odd digit, no digit at all.
bool ParseHexBytes(std::string_view Text, std::string& Out, std::string& Error);

// The byte a byte matches when case does not count: letters of the log's code page (ASCII and the
// Western letters, 0xC0-0xFE, and the few in 0x8A-0x9F) fold to lower case.
unsigned char FoldCase(unsigned char Byte);

enum TSearchStop : std::uint8_t {
  stDone = 0,       // reached the end asked for
  stCancelled = 1,  // the cancel flag was set
  stCleared = 2,    // the record was cleared: nothing of this search is valid any more
  stLimit = 3,      // Limit matches found
};

class TRecordSearch {
public:
  // Pattern must not be empty. MatchCase false: FoldCase decides what is equal. Only entries that
  // Filter keeps are searched.
  TRecordSearch(const TTrafficRecord& Record, std::string Pattern, bool MatchCase, TEntryFilter Filter = {});

  // Searches the entries from Next() up to To (cut to the record's count) and delivers each match
  // to OnMatch. A later Run goes on where this one stopped, streams and all, so a search can follow
  // entries as they arrive, and a cancelled one can go on (one stopped at the limit ends). Cancel is read
  // between entries and between pieces of at most kPiece bytes of one entry.
  TSearchStop Run(std::uint64_t To, const std::atomic<bool>& Cancel);

  // The parts of one match in stream order; the last lies in the entry where the match ends.
  std::function<void(const std::vector<TSearchPart>& Parts)> OnMatch;
  // Run stops once this many matches have been found in all (0: no limit).
  std::uint64_t Limit = 0;

  std::uint64_t Next() const noexcept { return FNext; }
  std::uint64_t Found() const noexcept { return FFound; }
  std::uint64_t BytesSearched() const noexcept { return FBytes; }
  // The record's generation this search belongs to.
  std::uint64_t Generation() const noexcept { return FGeneration; }
  const std::string& Pattern() const noexcept { return FPattern; }

  static constexpr std::uint64_t kPiece = 1 << 20;

private:
  // What a stream's next entry must be joined to: the last bytes seen (fewer than the pattern),
  // where they lie, and how many of them belong to the last match and cannot start another.
  struct TStream {
    std::string Tail;
    std::vector<TSearchPart> Segments;
    std::uint64_t Skip = 0;
    std::uint64_t End = 0;  // stream offset after the last entry seen
  };
  // Searches the tail's bytes and then Length bytes of entry Index's body from From, and moves
  // the tail on. False when the body cannot be read (lost, or the record cleared).
  bool SearchBuffer(TStream& S, std::uint64_t Index, std::uint64_t From, std::uint64_t Length);
  void Report(const TStream& S, std::uint64_t Index, std::uint64_t From, std::uint64_t At);
  static void Forget(TStream& S);

  const TTrafficRecord& FRecord;
  const std::string FPattern;  // folded when case does not count
  const bool FMatchCase;
  const TEntryFilter FFilter;
  const std::uint64_t FGeneration;
  std::uint64_t FNext = 0;
  std::uint64_t FFrom = 0;  // of entry FNext: where a Run cancelled inside it stopped
  std::uint64_t FFound = 0;
  std::uint64_t FBytes = 0;
  std::unordered_map<std::uint64_t, TStream> FStreams;  // by session * 4 + direction
  TStream FLoose;  // an entry that belongs to no stream, searched on its own
  std::string FBuffer;
  std::vector<TSearchPart> FParts;
};
