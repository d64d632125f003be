// A recorded session's streams.
#include "replay/RecordedSession.h"

std::string TRecordedSession::Stream(TEntryDirection Direction) const {
  std::string s;
  s.reserve(StreamLength(Direction));
  for (const TRecordedChunk& c : Chunks)
    if (c.Direction == Direction) s += c.Bytes;
  return s;
}

std::uint64_t TRecordedSession::StreamLength(TEntryDirection Direction) const {
  std::uint64_t n = 0;
  for (const TRecordedChunk& c : Chunks)
    if (c.Direction == Direction) n += c.Bytes.size();
  return n;
}
