// The capture reader, two ways, chosen by the first byte of the input.
//
// Even: the input is a file to read. Whatever it holds, reading it ends with the sessions or with
// one line that says why not, never a crash. What is read must hold together: at least one
// session; in each direction the chunks are not empty, follow one another in stream order without
// overlapping, and what lies between them is counted as missing.
//
// Odd: the rest of the input is a script of sessions that our capture writer writes to a file;
// reading that file back must give each session exactly as the script made it: its number, its
// ends, its chunks (direction, offset, bytes) and its missing bytes. Script, from the front, one
// operation a byte (the low three bits; the rest is its argument):
//   0 a new session (argument bit 0: IPv6)        1 a local chunk    2 a remote chunk
//     (a chunk: a length byte and that many bytes; argument bit 0: the log lost it; bit 1: 70,000
//     bytes of the length byte's value instead, cut into two segments by the writer)
//   3 the local side's end of stream              4 the remote side's end of stream
//   5 the current session ends (argument 1: the local side reset, 2: the remote side reset)
//   6 a session that never connected              7 switch to an earlier session (argument: which)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

#include "record/TrafficWriter.h"
#include "replay/CaptureReader.h"

namespace {

void Check(bool Holds, const char* What) {
  if (Holds) return;
  std::fprintf(stderr, "fuzz_capture_reader: %s\n", What);
  std::abort();
}

void CheckConsistent(const TCapture& Capture) {
  Check(!Capture.Sessions.empty(), "a capture read without sessions");
  for (const TRecordedSession& s : Capture.Sessions) {
    std::uint64_t next[2] = {0, 0}, gaps[2] = {0, 0};
    for (const TRecordedChunk& c : s.Chunks) {
      Check(c.Direction == edFromLocal || c.Direction == edFromRemote, "a chunk without a direction");
      Check(!c.Bytes.empty(), "an empty chunk");
      const int side = c.Direction == edFromLocal ? 0 : 1;
      Check(c.Offset >= next[side], "chunks out of stream order or overlapping");
      gaps[side] += c.Offset - next[side];
      next[side] = c.Offset + c.Bytes.size();
    }
    for (int side : {0, 1}) Check(s.Missing[side] >= gaps[side], "bytes between chunks not counted as missing");
  }
}

struct TExpected {
  TSessionInfo Info;
  std::vector<TRecordedChunk> Chunks;
  std::uint64_t Offset[2] = {0, 0};
  std::uint64_t Missing[2] = {0, 0};
  bool Ended[2] = {false, false};
  bool Closed = false;
};

// The round trip's file, one for the process; each round trip removes it when done.
const std::string& TempPath() {
  static const std::string path =
      (std::filesystem::temp_directory_path() / ("fuzz_capture_reader." + std::to_string(::getpid()) + ".pcapng")).string();
  return path;
}

struct TRemoveAtEnd {
  ~TRemoveAtEnd() { std::remove(TempPath().c_str()); }
};

void RoundTrip(const std::uint8_t* Data, std::size_t Size) {
  const TRemoveAtEnd removed;
  auto writer = MakeTrafficWriter(sfCapture, TempPath(), false);
  if (writer->Failed()) return;
  std::vector<TExpected> sessions;
  std::size_t current = 0;
  std::int64_t t = 1765000000000000;
  std::size_t at = 0;
  auto byte = [&]() -> std::uint8_t { return at < Size ? Data[at++] : 0; };
  auto end = [&](TExpected& S, int Reset) {
    if (S.Closed) return;
    S.Closed = true;
    S.Info.LocalEnd = Reset == 1 ? seReset : S.Ended[0] ? seFinished : seOpen;
    S.Info.RemoteEnd = Reset == 2 ? seReset : S.Ended[1] ? seFinished : seOpen;
    S.Info.EndUs = ++t;
    writer->SessionEnded(S.Info);
  };
  std::size_t big = 0;
  while (at < Size && sessions.size() < 64) {
    const std::uint8_t op = byte();
    const int kind = op & 7, argument = op >> 3;
    if (kind == 0 || kind == 6) {
      TExpected s;
      s.Info.Id = sessions.size() + 1;
      const bool v6 = (argument & 1) != 0;
      s.Info.LocalAddr = v6 ? "::1" : "127.0.0.1";
      s.Info.LocalPort = static_cast<std::uint16_t>(40000 + s.Info.Id);
      s.Info.RemoteAddr = v6 ? "fe80::1" : "10.0.0.1";
      s.Info.RemotePort = 80;
      s.Info.StartUs = ++t;
      if (kind == 0) {
        s.Info.ConnectedUs = ++t;
        s.Info.State = ssRelaying;
        writer->SessionStarted(s.Info);
      } else {
        s.Info.State = ssFailed;
        s.Info.Reason = "refused";
        end(s, 0);
      }
      sessions.push_back(std::move(s));
      current = sessions.size() - 1;
      continue;
    }
    if (sessions.empty()) continue;
    if (kind == 7) {
      current = argument % sessions.size();
      continue;
    }
    TExpected& s = sessions[current];
    if (s.Closed) continue;
    if (kind == 1 || kind == 2) {
      const int side = kind - 1;
      std::string body;
      const std::size_t length = byte();
      if ((argument & 2) != 0 && big < 2) {
        ++big;
        body.assign(70000, static_cast<char>(length));
      } else {
        for (std::size_t i = 0; i < length; ++i) body += static_cast<char>(byte());
      }
      if (s.Ended[side]) continue;  // nothing follows a side's end
      const bool lost = (argument & 1) != 0;
      TRecordEntry e;
      e.TimeUs = ++t;
      e.Session = s.Info.Id;
      e.Direction = side == 0 ? edFromLocal : edFromRemote;
      e.Offset = s.Offset[side];
      e.BodyLength = body.size();
      e.BodyKept = !lost;
      writer->Entry(e, side == 0 ? "From Local" : "From Remote", lost ? nullptr : &body);
      if (lost)
        s.Missing[side] += body.size();
      else if (!body.empty())
        s.Chunks.push_back({e.Direction, e.TimeUs, e.Offset, body});
      s.Offset[side] += body.size();
    } else if (kind == 3 || kind == 4) {
      const int side = kind - 3;
      if (s.Ended[side]) continue;
      s.Ended[side] = true;
      TRecordEntry e;
      e.TimeUs = ++t;
      e.Session = s.Info.Id;
      writer->Entry(e, side == 0 ? "End of Stream from Local" : "End of Stream from Remote", nullptr);
    } else if (kind == 5) {
      end(s, argument % 3);
    }
  }
  for (TExpected& s : sessions) end(s, 0);
  if (!writer->Close()) return;
  if (sessions.empty()) return;

  TCapture capture;
  std::string error;
  Check(ReadCapture(TempPath(), capture, error), "our own capture could not be read");
  CheckConsistent(capture);
  Check(capture.Sessions.size() == sessions.size(), "not every session came back");
  for (std::size_t i = 0; i < sessions.size(); ++i) {
    const TExpected& x = sessions[i];
    const TRecordedSession& s = capture.Sessions[i];
    Check(s.Number == x.Info.Id, "a session came back with another number");
    Check(s.LocalPort == x.Info.LocalPort && s.RemotePort == x.Info.RemotePort, "ports changed");
    Check(s.Connected() == (x.Info.ConnectedUs != 0), "connected or not, changed");
    if (!s.Connected()) {
      Check(s.Chunks.empty(), "a session that never connected has bytes");
      continue;
    }
    Check(s.LocalEnd == x.Info.LocalEnd, "the local side's end changed");
    // A reset goes last and alone: an end of stream that the remote side sent is still there.
    Check(s.RemoteEnd == x.Info.RemoteEnd, "the remote side's end changed");
    Check(s.Missing[0] == x.Missing[0] && s.Missing[1] == x.Missing[1], "missing bytes miscounted");
    Check(s.Chunks.size() == x.Chunks.size(), "chunks are not the entries");
    for (std::size_t k = 0; k < s.Chunks.size(); ++k) {
      const TRecordedChunk& a = s.Chunks[k];
      const TRecordedChunk& b = x.Chunks[k];
      Check(a.Direction == b.Direction && a.Offset == b.Offset && a.TimeUs == b.TimeUs, "a chunk moved");
      Check(a.Bytes == b.Bytes, "a chunk's bytes changed");
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size) {
  if (Size > 0 && (Data[0] & 1) != 0) {
    RoundTrip(Data + 1, Size - 1);
    return 0;
  }
  TCapture capture;
  std::string error;
  const bool ok = ParseCapture(std::string_view(reinterpret_cast<const char*>(Data), Size), capture, error);
  if (ok) {
    CheckConsistent(capture);
  } else {
    Check(!error.empty() && error.find('\n') == std::string::npos, "a refusal without its one line");
    Check(capture.Sessions.empty(), "a refusal with sessions");
  }
  return 0;
}
