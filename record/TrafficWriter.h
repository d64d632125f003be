// Public. Saving what was relayed, in three formats, from the traffic record or as it flows:
//
//   sfLogText     a text file: exactly what "&Copy" puts on the clipboard (see LogText.h), UTF-8.
//   sfRawStreams  a folder with one file for each session and direction, holding that direction's
//                 bytes unchanged and in order (see StreamFileName).
//   sfCapture     a capture file (pcapng, raw IP packets): each session as a TCP connection between
//                 the local client's address and port and the remote address and port. See
//                 CaptureWriter.cpp for how sessions map to packets.
//
// A writer takes entries in the record's order and the sessions' facts as they change, and writes
// as it goes, so that the same code serves the headless mode (entry by entry, flushed) and the
// window (a whole record, in steps, on a worker thread). Bytes are never changed by a format or by
// an entry's display mode; bodies the record could not keep are left out and said to be missing,
// never replaced by other bytes. Qt Core at most.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "record/EntrySink.h"
#include "record/TrafficRecord.h"

enum TSaveFormat : std::uint8_t {
  sfLogText = 0,
  sfRawStreams = 1,
  sfCapture = 2,
};

// The format a path asks for: a folder (a path ending in "/", or an existing folder) for raw
// streams, ".pcapng" for a capture, ".txt" for the log text; nothing for any other path.
std::optional<TSaveFormat> SaveFormatOf(const std::string& Path);

class TTrafficWriter {
public:
  virtual ~TTrafficWriter() = default;

  // A session's facts changed: what has happened (connected, ended) is written once.
  void SessionChanged(const TSessionInfo& Info) {
    if (Info.ConnectedUs != 0) SessionStarted(Info);
    if (Info.EndUs != 0) SessionEnded(Info);
  }
  // The session's start (its handshake, when it connected). Once per session; later calls add
  // nothing.
  virtual void SessionStarted(const TSessionInfo& Info) { (void)Info; }
  // Its end, after its last entry: how each side ended; for a session that never connected, its
  // failed attempt. Once per session.
  virtual void SessionEnded(const TSessionInfo& Info) { (void)Info; }
  // Entry E titled Title; Body is its bytes, or null when the record did not keep them.
  virtual void Entry(const TRecordEntry& E, std::string_view Title, const std::string* Body) = 0;
  // Hands everything written so far to the system: a program killed after this leaves complete
  // files up to here.
  virtual bool Flush() = 0;
  // Flushes and closes every file. Staged writers leave their work under temporary names until
  // Commit; Discard removes it instead.
  virtual bool Close() = 0;
  virtual bool Commit() { return !Failed(); }
  virtual void Discard() {}

  bool Failed() const noexcept { return !FError.empty(); }
  // What failed first, as "PATH: reason".
  const std::string& Error() const noexcept { return FError; }

protected:
  void Fail(const std::string& Message) {
    if (FError.empty()) FError = Message;
  }

private:
  std::string FError;
};

// A writer of Format at Path. Staged: written under temporary names in the same folder and put in
// place by Commit, so that a failure or a cancel leaves nothing under the chosen names; otherwise
// written in place as it goes (the headless mode). Check Failed() after making it: the file or the
// folder may not be creatable.
std::unique_ptr<TTrafficWriter> MakeTrafficWriter(TSaveFormat Format, const std::string& Path, bool Staged);

// The name of a raw stream file:
//   "000012 127.0.0.1_51234 to 10.0.0.5_80 from-local.bin"
// the session number (six digits at least, so that names sort by start), the local client's
// address and port, the remote address and port (the host as typed when no address was reached),
// the direction. An IPv6 address is written in brackets with "-" for ":" ("[--1]_8080"); any other
// character than letters, digits and ".-_%" becomes "_", so that the name is safe on any file system.
std::string StreamFileName(const TSessionInfo& Info, TEntryDirection Direction);

// Progress of a save, shared with the thread that shows it.
struct TSaveProgress {
  std::atomic<std::uint64_t> Done{0};
  std::atomic<std::uint64_t> Total{0};
  std::atomic<bool> Cancel{false};
};

// Saves the whole record to Path as Format. Only reads the record (any thread may run it while
// the loop thread adds entries: it saves those there were when it started). Writes under temporary
// names and puts them in place at the end; on a failure or a cancel (Progress->Cancel) nothing is
// left under Path. Returns true when saved; otherwise Error says why.
bool SaveRecord(const TTrafficRecord& Record, const std::string& Path, TSaveFormat Format, std::string& Error,
                TSaveProgress* Progress = nullptr);

// An entry sink that writes every entry and session change to Writer as it comes, flushed after
// each, then passes it on to Next (if any): the headless mode's --save. A write failure is reported
// once through OnFailure; the relay goes on, and saving stops.
class TSavingSink : public TEntrySink {
public:
  TSavingSink(TTrafficWriter& Writer, TEntryMode Mode, TEntrySink* Next);

  void SetEntryColor(TColor Value) override;
  void SetEntryTitle(const std::string& Value) override;
  void AddEntry(const std::string& Body) override;
  void AddEntry(const std::string& Body, const TEntrySource& Source) override;
  void SessionChanged(const TSessionInfo& Info) override;

  std::function<void(const std::string& Message)> OnFailure;

private:
  void Check();

  TTrafficWriter& FWriter;
  TEntryMode FMode;
  TEntrySink* FNext;
  TColor FColor = clBlack;
  std::string FTitle;
  std::uint64_t FSequence = 0;
  bool FReported = false;
};
