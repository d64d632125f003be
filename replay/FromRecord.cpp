// A session of the traffic record taken as a recorded session, for the window's replay.
#include "record/TrafficRecord.h"
#include "replay/RecordedSession.h"

bool SessionFromRecord(const TTrafficRecord& Record, std::uint64_t Id, TRecordedSession& Out, std::string& Error) {
  Out = TRecordedSession();
  TSessionInfo info;
  if (Id == 0 || !Record.Session(Id, info)) {
    Error = "the log has no session " + std::to_string(Id);
    return false;
  }
  Out.Number = Id;
  Out.LocalAddr = info.LocalAddr;
  Out.LocalPort = info.LocalPort;
  Out.RemoteAddr = info.RemoteAddr.empty() ? "0.0.0.0" : info.RemoteAddr;
  Out.RemotePort = info.RemotePort;
  Out.StartUs = info.StartUs;
  Out.ConnectedUs = info.ConnectedUs;
  Out.EndUs = info.EndUs;
  Out.LocalEnd = info.LocalEnd;
  Out.RemoteEnd = info.RemoteEnd;
  Out.Reason = info.Reason;
  const std::uint64_t generation = Record.Generation();
  const std::uint64_t count = Record.Count();
  for (std::uint64_t i = 0; i < count; ++i) {
    TRecordEntry e;
    if (!Record.Entry(i, e) || e.Session != Id) continue;
    const std::string title = Record.TitleText(e.Title);
    if (title == "End of Stream from Local" || title == "Reset from Local") Out.LocalEndUs = e.TimeUs;
    if (title == "End of Stream from Remote" || title == "Reset from Remote") Out.RemoteEndUs = e.TimeUs;
    if (e.Direction != edFromLocal && e.Direction != edFromRemote) continue;
    TRecordedChunk c;
    c.Direction = e.Direction;
    c.TimeUs = e.TimeUs;
    c.Offset = e.Offset;
    if (!e.BodyKept || !Record.ReadBody(i, 0, e.BodyLength, c.Bytes) || c.Bytes.size() != e.BodyLength) {
      Out.Missing[e.Direction == edFromLocal ? 0 : 1] += e.BodyLength;
      continue;
    }
    if (!c.Bytes.empty()) Out.Chunks.push_back(std::move(c));
  }
  if (Record.Generation() != generation) {
    Error = "the log was cleared while session " + std::to_string(Id) + " was read";
    return false;
  }
  return true;
}
