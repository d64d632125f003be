// Public. A session as it was recorded, ready to be replayed and compared: who talked to whom, the
// chunks of each direction in the order they came, with their times and stream offsets, and how
// each side ended. A capture file gives one for each TCP connection (CaptureReader.h); the traffic
// record gives one for each of its sessions (SessionFromRecord below).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "record/SessionFacts.h"

class TTrafficRecord;

// One chunk of one direction: what one entry of the log held, or one segment of a capture.
struct TRecordedChunk {
  TEntryDirection Direction = edNone;  // edFromLocal or edFromRemote
  std::int64_t TimeUs = 0;             // wall clock, microseconds since the Unix epoch
  std::uint64_t Offset = 0;            // of its first byte in its direction's stream
  std::string Bytes;
};

struct TRecordedSession {
  // The number the log showed ("Session N" on a capture's SYN); see CaptureReader.h for captures
  // that do not carry it. 0: the session has no number of its own.
  std::uint64_t Number = 0;
  std::string LocalAddr;  // the local client's address and port
  std::uint16_t LocalPort = 0;
  std::string RemoteAddr;  // the remote side's; "0.0.0.0" or "::" when none was reached
  std::uint16_t RemotePort = 0;
  std::int64_t StartUs = 0;      // its first packet or its start
  std::int64_t ConnectedUs = 0;  // when the connection was made; 0: it never was
  std::int64_t EndUs = 0;        // its last packet or its end
  TStreamEnd LocalEnd = seOpen;  // how each side ended, and when (0 while open)
  TStreamEnd RemoteEnd = seOpen;
  std::int64_t LocalEndUs = 0;
  std::int64_t RemoteEndUs = 0;
  std::string Reason;  // why it failed or was cut, when the recording says so
  // Both directions, in the order they were recorded; within a direction the offsets rise and
  // each chunk starts where the one before it ended, but for the bytes that are missing.
  std::vector<TRecordedChunk> Chunks;
  // Bytes of each direction ([0] local, [1] remote) that the recording does not hold (a body the
  // log could not keep, a segment the capture lost): such a session cannot be replayed exactly.
  std::uint64_t Missing[2] = {0, 0};

  bool Connected() const noexcept { return ConnectedUs != 0; }
  // The bytes of one direction, in order (what is missing left out).
  std::string Stream(TEntryDirection Direction) const;
  std::uint64_t StreamLength(TEntryDirection Direction) const;
};

// The session numbered Id of the record, as TRecordedSession: its facts and every chunk of its
// entries; bodies the record could not keep count as Missing. False (and Error says why) when the
// record has no such session, or was cleared meanwhile. Reads the whole record: the window runs
// it on a worker thread, as it saves.
bool SessionFromRecord(const TTrafficRecord& Record, std::uint64_t Id, TRecordedSession& Out, std::string& Error);
