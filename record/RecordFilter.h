// Public. Which entries of the traffic record a filter keeps: those of chosen sessions, those that
// went one way, or both. Plain reading of the record's headers, no toolkit: the log window filters
// its view with it, and the search looks only where the view shows.
#pragma once

#include <cstdint>
#include <vector>

#include "record/TrafficRecord.h"

enum TDirectionFilter : std::uint8_t {
  dfBoth = 0,        // both ways
  dfFromLocal = 1,   // only what the local client sent
  dfFromRemote = 2,  // only what the remote side sent
};

struct TEntryFilter {
  // Ascending and without repeats (SetSessions sees to it); empty: every session, and the entries
  // that belong to none.
  std::vector<std::uint64_t> Sessions;
  // A direction leaves out the bytes that went the other way; what carries no bytes (a session's
  // "Connection Opened", its ends, its errors) stays, so that the session's story stays readable.
  TDirectionFilter Direction = dfBoth;

  void SetSessions(std::vector<std::uint64_t> Ids);
  // False when the filter keeps everything.
  bool Active() const noexcept { return !Sessions.empty() || Direction != dfBoth; }
  bool Keeps(std::uint64_t Session, TEntryDirection Direction) const;
  bool Keeps(const TRecordEntry& E) const { return Keeps(E.Session, E.Direction); }
  friend bool operator==(const TEntryFilter&, const TEntryFilter&) = default;
};

// Appends to Out the indexes of the entries in [From, To) that Filter keeps, in order. Reads each
// header once; stops early at the record's end (after a Clear, say). Returns the index it reached.
std::uint64_t FilterEntries(const TTrafficRecord& Record, const TEntryFilter& Filter, std::uint64_t From,
                            std::uint64_t To, std::vector<std::uint64_t>& Out);
