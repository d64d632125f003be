// Filtering the record's entries by session and direction.
#include "record/RecordFilter.h"

#include <algorithm>

void TEntryFilter::SetSessions(std::vector<std::uint64_t> Ids) {
  std::sort(Ids.begin(), Ids.end());
  Ids.erase(std::unique(Ids.begin(), Ids.end()), Ids.end());
  Sessions = std::move(Ids);
}

bool TEntryFilter::Keeps(std::uint64_t Session, TEntryDirection Way) const {
  if (Direction == dfFromLocal && Way == edFromRemote) return false;
  if (Direction == dfFromRemote && Way == edFromLocal) return false;
  return Sessions.empty() || std::binary_search(Sessions.begin(), Sessions.end(), Session);
}

std::uint64_t FilterEntries(const TTrafficRecord& Record, const TEntryFilter& Filter, std::uint64_t From,
                            std::uint64_t To, std::vector<std::uint64_t>& Out) {
  // Sessions come in runs of entries: the answer for the last one saves most of the searches.
  std::uint64_t lastSession = ~std::uint64_t{0};
  bool lastKept = false;
  TRecordEntry e;
  std::uint64_t index = From;
  for (; index < To && Record.Entry(index, e); ++index) {
    if (e.Session != lastSession) {
      lastSession = e.Session;
      lastKept = Filter.Keeps(e.Session, edNone);
    }
    if (!lastKept) continue;
    if ((Filter.Direction == dfFromLocal && e.Direction == edFromRemote) ||
        (Filter.Direction == dfFromRemote && e.Direction == edFromLocal))
      continue;
    Out.push_back(index);
  }
  return index;
}
