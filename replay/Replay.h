// Public. Replaying recorded sessions and comparing their answers: the whole of a replay, from a
// capture file or from sessions taken out of the log, to the verdict that a script checks.
//
// The parts, each with its own header:
//   RecordedSession.h  TRecordedSession, what a replay starts from; SessionFromRecord takes one
//                      out of the traffic record
//   CaptureReader.h    ReadCapture: the TCP sessions of a pcapng file
//   Replayer.h         TReplayer: one session replayed over a new connection
//   Compare.h          CompareStreams and the ignore rules: the new answers against the recorded
//   Replay.h (this)    TReplay: the sessions chosen, replayed one after another in the order they
//                      began, each compared, one result for them all; RunReplay for the command line
//
// ---- The command line ----
//
//   vantrel --replay FILE.pcapng [--session N] [--remote-addr H --remote-port P]
//           [--settle MS] [--original-timing] [--ignore REGEX]...
//
// parses its options into a TReplayOptions (Session, Settings.RemoteAddr, Settings.RemotePort,
// Settings.SettleMs, Settings.OriginalTiming, Ignore; either remote option alone takes the other
// from the recording) and calls
//
//   std::string report;
//   const int status = RunReplay(path, options, sink, report);
//   std::fputs(report.c_str(), status == 2 ? stderr : stdout);
//   return status;
//
// A parse error of the options themselves (a session number that is no number, a settle time out
// of range) is the command line's own status 2, before RunReplay.
//
// RunReplay reads the capture, starts a TReplay and runs the program's message loop until it is
// done. Its status: 0 when every session replayed answered as recorded ("same"); 1 when one
// differs or could not be replayed (the connection failed, the remote side reset it early): the
// report then starts with the first difference, with the session's number; 2 for bad arguments
// (an ignore rule that does not compile, a session number the capture does not hold, a session
// that never connected) or a capture that cannot be read (not a capture, truncated, no TCP
// session). Sink, when not null, takes the new sessions' entries (the headless output, and the
// TSavingSink of --save), so that a replay's own traffic can be saved as any other.
//
// ---- The window ("Replay" in the sessions list) ----
//
// The sessions list takes the chosen sessions out of the record with SessionFromRecord (on a
// worker thread, as saving does, since it reads the whole record), then on the loop thread:
//
//   auto replay = std::make_unique<TReplay>(&logSink);     // the log window's entry sink
//   TReplayOptions options;                                 // remote, settle, timing, rules
//   options.NewSessionId = [] { return NextSessionNumber(); };  // the relay's numbering
//   options.Color = ...;
//   std::string error;
//   if (!replay->Start(std::move(sessions), options, error)) show(error);
//   replay->OnDone = [&](TReplay& R) { show(R.Result().Text()); /* post the replay's disposal */ };
//
// NextSessionNumber stands for what the relay engine has to offer for that: its session numbers
// are its own (Relay.cpp), and a replayed session must not take one that a relayed session has.
// The new sessions appear in the log and the sessions list as they run, like relayed ones; the
// loop never blocks. TReplay must not be destroyed inside its own OnDone: post that to the loop.
// Destroying it earlier cuts the replay under way (its connection closes) and raises nothing.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "replay/CaptureReader.h"
#include "replay/Compare.h"
#include "replay/Replayer.h"

struct TReplayOptions {
  TReplaySettings Settings;
  std::optional<std::uint64_t> Session;  // only the session with this number; else every one
  std::vector<std::string> Ignore;       // ignore rules (Compare.h)
  TColor Color = clBlack;                // of the new sessions' entries
  // The number each new session gets in the log; unset: 1, 2, 3, ... in the order they start.
  std::function<std::uint64_t()> NewSessionId;
};

enum TReplayVerdict : std::uint8_t {
  rvSame = 0,     // answered as recorded
  rvDiffer = 1,   // the answers differ, or the remote side ended otherwise (a reset for an end)
  rvFailed = 2,   // it could not be replayed to its end: no connection, a reset before the last chunk
  rvSkipped = 3,  // not replayed: it never connected in the recording, or bytes of it are missing
};

struct TSessionOutcome {
  std::uint64_t Number = 0;  // the recorded session's
  TReplayVerdict Verdict = rvSkipped;
  std::string Note;          // why it was skipped, failed or ended otherwise
  TReplayedSession Replayed;
  TComparison Comparison;
};

struct TReplayResult {
  std::vector<TSessionOutcome> Sessions;  // in the order they were replayed
  // Every session replayed answered as recorded (skipped ones count for nothing) and at least one
  // was replayed.
  bool Same() const;
  // The first session that was replayed and is not the same; null when none.
  const TSessionOutcome* FirstDifference() const;
  // For a reader: "same", or the first difference with its session's number; then a line for each
  // session.
  std::string Text() const;
  // 0 same, 1 otherwise.
  int ExitCode() const { return Same() ? 0 : 1; }
};

class TReplay {
public:
  explicit TReplay(TEntrySink* Sink = nullptr);
  ~TReplay();
  TReplay(const TReplay&) = delete;
  TReplay& operator=(const TReplay&) = delete;

  // Chooses the sessions to replay (Options.Session, or all of them in the order they began),
  // compiles the ignore rules and starts the first replay from the loop. False (and Error, one
  // line) for what a command line answers with status 2: a rule that does not compile, a session
  // number not in the list, a chosen session that never connected or has bytes missing, or no
  // session at all that can be replayed. Once only.
  bool Start(std::vector<TRecordedSession> Sessions, const TReplayOptions& Options, std::string& Error);

  bool Done() const noexcept { return FDone; }
  const TReplayResult& Result() const noexcept { return FResult; }

  // Raised once, from the loop, when the last session has been replayed and compared.
  std::function<void(TReplay& Sender)> OnDone;
  // Raised from the loop as each session's replay has been compared.
  std::function<void(TReplay& Sender, const TSessionOutcome& Outcome)> OnSessionDone;

  void HandleMessage(platform::UINT Msg);

private:
  void Next();
  void Compared();

  TEntrySink* FSink;
  TReplayOptions FOptions;
  TIgnoreRules FRules;
  std::vector<TRecordedSession> FSessions;
  std::vector<std::size_t> FOrder;  // the sessions to replay, by index
  std::size_t FNext = 0;
  std::unique_ptr<TReplayer> FCurrent;
  std::uint64_t FLastId = 0;
  platform::HWND FWindow = 0;
  TReplayResult FResult;
  bool FStarted = false;
  bool FDone = false;
};

// The command line's replay: reads the capture at Path, replays what Options choose on the
// program's message loop until done, and compares. Returns the exit status (0 same, 1 differ, 2
// bad arguments or an unreadable capture) and in Report what to print: the result, or for 2 the
// one-line reason.
int RunReplay(const std::string& Path, const TReplayOptions& Options, TEntrySink* Sink, std::string& Report);
