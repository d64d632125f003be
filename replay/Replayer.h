// Public. The replay of one recorded session: a new connection to the recorded remote side (or to
// another host and port), over which the recorded local side's chunks go again, in order, while
// everything sent and received is recorded as a session of its own.
//
// The life of a replay:
//
//   Start -> lookup -> connect (each address of the name in turn) -> connected ("Connection
//   Opened") -> the steps: each local chunk, then the local side's end as recorded (an end of
//   stream is a half-close, a reset a reset, none nothing) -> waiting for the remote side's end,
//   or for it to be quiet -> closed ("Connection Closed") -> OnDone, from the loop
//
// When a step goes:
//   settle (the default)  once the remote side has been quiet for SettleMs: nothing received for
//                         that long since the connection was made, the last step went or the last
//                         bytes came. A server that answers in parts is waited for.
//   original timing       at the recording's own times: each step as long after the connection
//                         as it came after the recorded one, whatever the remote side does.
// The replay ends once every step has gone and the remote side has ended its stream (or reset), or
// has been quiet for SettleMs after the last step. It ends early when the connection fails (every
// address refused it) or the remote side resets it; Error says so and Steps tells how far it got.
//
// Everything runs on the loop thread; nothing blocks; the timers are the loop's. The entries and
// facts of the new session go to a TEntrySink, when one is given, as the relay's do and with the
// relay's titles ("Connection Opened", "From Local", "From Remote", "End of Stream from Local",
// ...), so that the log, the headless output and the savers take it as they take any session.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "record/EntrySink.h"
#include "platform/Messages.h"
#include "replay/RecordedSession.h"

class TWSocket;
class TComponent;

struct TReplaySettings {
  std::string RemoteAddr;  // a host name or address; empty: the recorded remote address
  std::string RemotePort;  // empty: the recorded remote port
  std::uint32_t SettleMs = 200;
  bool OriginalTiming = false;
  // The local chunks are the user's own bytes (a Resend into a new session), not a recording of a
  // client: they are logged as "Sent to Remote" and flagged injected, as a send into a live session is.
  bool Injected = false;
};

// What a replay did.
struct TReplayedSession {
  // The new session's facts: Id and Color as given, the local address and port of the new
  // connection, the remote host as asked for and the address reached, its times and its ends.
  TSessionInfo Info;
  // Everything sent (edFromLocal) and received (edFromRemote), in the order it happened.
  std::vector<TRecordedChunk> Chunks;
  std::size_t Steps = 0;       // local chunks sent
  std::size_t StepsTotal = 0;  // local chunks recorded
  bool Connected = false;
  std::string Error;  // why it ended early; empty when it ran to its end

  std::string Stream(TEntryDirection Direction) const;
};

class TReplayer {
public:
  // Recorded must outlive the replayer. Sink (may be null) gets the new session's entries as
  // session SessionId, in Color.
  TReplayer(const TRecordedSession& Recorded, const TReplaySettings& Settings, TEntrySink* Sink = nullptr,
            std::uint64_t SessionId = 0, TColor Color = clBlack);
  ~TReplayer();
  TReplayer(const TReplayer&) = delete;
  TReplayer& operator=(const TReplayer&) = delete;

  // Starts the lookup. Once only.
  void Start();
  bool Done() const noexcept { return FDone; }
  const TReplayedSession& Result() const noexcept { return FResult; }

  // Raised once, from the loop, when the replay has ended; its handler must not destroy the
  // replayer (post that to the loop).
  std::function<void(TReplayer& Sender)> OnDone;

  // The replayer's own messages (its timers, the next connection attempt, the end).
  void HandleMessage(platform::UINT Msg, platform::WPARAM WParam);

private:
  void LookupDone(std::uint16_t Error);
  void Attempt();
  void AttemptFailed(const std::string& Why);
  void Connected(std::uint16_t Error);
  void DataAvailable();
  void PeerShutdown();
  void SessionClosed(std::uint16_t Error);
  void Quiet();
  void StepsDue();
  void TakeStep();
  bool StepsLeft() const noexcept { return FNextStep < FSteps.size() || !FEndTaken; }
  void RestartQuiet();
  std::chrono::steady_clock::time_point StepTime(std::size_t Step) const;
  void Entry(const char* Title, const std::string& Body = std::string(), TEntryDirection Direction = edNone,
             bool Injected = false);
  void SessionChanged();
  void Fail(const char* Title, const std::string& Reason);
  void Finish();

  const TRecordedSession& FRecorded;
  TReplaySettings FSettings;
  TEntrySink* FSink;
  TReplayedSession FResult;
  std::unique_ptr<TWSocket> FSocket;
  platform::HWND FWindow = 0;
  std::vector<std::size_t> FSteps;  // the recorded local chunks, by index
  std::size_t FNextStep = 0;
  bool FEndTaken = false;  // the local side's end has been replayed
  std::vector<std::string> FAddresses;
  std::size_t FAttempt = 0;
  std::vector<std::string> FFailures;
  std::string FPort;
  std::uint64_t FOffset[2] = {0, 0};  // bytes sent and received so far
  std::chrono::steady_clock::time_point FConnectedAt;
  bool FStarted = false;
  bool FFinished = false;  // Finish has run; OnDone is posted
  bool FDone = false;
};
