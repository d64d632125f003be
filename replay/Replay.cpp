// A replay of several sessions: which are replayed, one after another, each compared once its
// replayer has ended; the verdict and its text; and the command line's RunReplay.
#include "replay/Replay.h"

#include <algorithm>

#include "platform/MessageLoop.h"

namespace {

constexpr platform::UINT MsgNext = platform::WM_USER + 1;
constexpr platform::UINT MsgCompared = platform::WM_USER + 2;
const char* const kWindowClass = "VantrelReplayRunWindow";

platform::LRESULT WindowProc(platform::HWND Wnd, platform::UINT Msg, platform::WPARAM, platform::LPARAM) {
  if (auto* r = reinterpret_cast<TReplay*>(platform::GetWindowLongPtr(Wnd))) r->HandleMessage(Msg);
  return 0;
}

std::string Name(const TRecordedSession& S) {
  if (S.Number != 0) return "session " + std::to_string(S.Number);
  return "the session from " + S.LocalAddr + " port " + std::to_string(S.LocalPort);
}

// Why a session cannot be replayed as it was recorded; empty when it can.
std::string Unreplayable(const TRecordedSession& S) {
  if (!S.Connected()) return "it never connected" + (S.Reason.empty() ? std::string() : " (" + S.Reason + ")");
  if (S.Missing[0] != 0)
    return std::to_string(S.Missing[0]) + " bytes that the local side sent are missing from the recording";
  if (S.Missing[1] != 0)
    return std::to_string(S.Missing[1]) + " bytes that the remote side sent are missing from the recording";
  return {};
}

std::string Numbers(const std::vector<TRecordedSession>& Sessions) {
  std::vector<std::uint64_t> n;
  for (const TRecordedSession& s : Sessions)
    if (s.Number != 0) n.push_back(s.Number);
  std::sort(n.begin(), n.end());
  if (n.empty()) return "it numbers none of its sessions";
  if (n.size() == 1) return "its one session is " + std::to_string(n[0]);
  std::string text = "its sessions are ";
  for (std::size_t i = 0; i < n.size() && i < 10; ++i) text += (i > 0 ? ", " : "") + std::to_string(n[i]);
  if (n.size() > 10) text += ", ... " + std::to_string(n.back());
  return text;
}

}  // namespace

// ---- the result ----

bool TReplayResult::Same() const {
  bool any = false;
  for (const TSessionOutcome& o : Sessions) {
    if (o.Verdict == rvSkipped) continue;
    if (o.Verdict != rvSame) return false;
    any = true;
  }
  return any;
}

const TSessionOutcome* TReplayResult::FirstDifference() const {
  for (const TSessionOutcome& o : Sessions)
    if (o.Verdict == rvDiffer || o.Verdict == rvFailed) return &o;
  return nullptr;
}

std::string TReplayResult::Text() const {
  std::string out;
  auto name = [](const TSessionOutcome& O) {
    return O.Number != 0 ? "session " + std::to_string(O.Number) : std::string("a session without a number");
  };
  if (Same()) {
    out = "same\n";
  } else if (const TSessionOutcome* d = FirstDifference()) {
    out = name(*d) + ": ";
    if (!d->Comparison.Same) {
      out += DescribeDifference(d->Comparison.First);
      if (!d->Note.empty()) out += "  and " + d->Note + "\n";
    } else {
      out += d->Note + "\n";
    }
  } else {
    out = "nothing was replayed\n";
  }
  for (const TSessionOutcome& o : Sessions) {
    out += "  " + name(o) + ": ";
    switch (o.Verdict) {
      case rvSame:
        out += "same, " + std::to_string(o.Comparison.ReplayedLength) + " bytes of answers";
        if (o.Comparison.IgnoredRanges > 0)
          out += ", " + std::to_string(o.Comparison.IgnoredRanges) + (o.Comparison.IgnoredRanges == 1 ? " range" : " ranges") +
                 " ignored";
        break;
      case rvDiffer:
        out += o.Comparison.Same ? "differs: " + o.Note : "differs at offset " + std::to_string(o.Comparison.First.RecordedOffset);
        break;
      case rvFailed:
        out += "failed: " + o.Note;
        break;
      case rvSkipped:
        out += "skipped: " + o.Note;
        break;
    }
    out += "\n";
  }
  return out;
}

// ---- the run ----

TReplay::TReplay(TEntrySink* Sink) : FSink(Sink) {
  if (!platform::IsWindowClassRegistered(kWindowClass)) platform::RegisterWindowClass(kWindowClass, WindowProc);
  FWindow = platform::CreateNotifyWindow(kWindowClass);
  platform::SetWindowLongPtr(FWindow, reinterpret_cast<std::intptr_t>(this));
}

TReplay::~TReplay() {
  FCurrent.reset();
  platform::DestroyNotifyWindow(FWindow);
}

bool TReplay::Start(std::vector<TRecordedSession> Sessions, const TReplayOptions& Options, std::string& Error) {
  if (FStarted) {
    Error = "the replay has already started";
    return false;
  }
  FOptions = Options;
  for (const std::string& pattern : Options.Ignore)
    if (!FRules.Add(pattern, Error)) return false;
  FSessions = std::move(Sessions);
  std::stable_sort(FSessions.begin(), FSessions.end(),
                   [](const TRecordedSession& A, const TRecordedSession& B) { return A.StartUs < B.StartUs; });
  FOrder.clear();
  if (Options.Session) {
    const std::uint64_t n = *Options.Session;
    auto it = std::find_if(FSessions.begin(), FSessions.end(), [n](const TRecordedSession& S) { return S.Number == n; });
    if (n == 0 || it == FSessions.end()) {
      Error = "the recording has no session " + std::to_string(n) + ": " + Numbers(FSessions);
      return false;
    }
    if (const std::string why = Unreplayable(*it); !why.empty()) {
      Error = "session " + std::to_string(n) + " cannot be replayed: " + why;
      return false;
    }
    FOrder.push_back(static_cast<std::size_t>(it - FSessions.begin()));
  } else {
    std::size_t replayable = 0;
    for (std::size_t i = 0; i < FSessions.size(); ++i) {
      FOrder.push_back(i);
      if (Unreplayable(FSessions[i]).empty()) ++replayable;
    }
    if (replayable == 0) {
      Error = FSessions.empty() ? "the recording holds no session"
                                : "no session of the recording can be replayed: " + Name(FSessions[0]) + ": " +
                                      Unreplayable(FSessions[0]);
      return false;
    }
  }
  FStarted = true;
  platform::PostMessage(FWindow, MsgNext, 0, 0);
  return true;
}

void TReplay::HandleMessage(platform::UINT Msg) {
  if (Msg == MsgNext) Next();
  if (Msg == MsgCompared) Compared();
}

// The next session that can be replayed starts; those that cannot are noted as skipped on the way.
void TReplay::Next() {
  while (FNext < FOrder.size()) {
    const TRecordedSession& s = FSessions[FOrder[FNext]];
    if (const std::string why = Unreplayable(s); !why.empty()) {
      TSessionOutcome o;
      o.Number = s.Number;
      o.Verdict = rvSkipped;
      o.Note = why;
      FResult.Sessions.push_back(std::move(o));
      ++FNext;
      if (OnSessionDone) OnSessionDone(*this, FResult.Sessions.back());
      continue;
    }
    const std::uint64_t id = FOptions.NewSessionId ? FOptions.NewSessionId() : ++FLastId;
    FCurrent = std::make_unique<TReplayer>(s, FOptions.Settings, FSink, id, FOptions.Color);
    FCurrent->OnDone = [this](TReplayer&) { platform::PostMessage(FWindow, MsgCompared, 0, 0); };
    FCurrent->Start();
    return;
  }
  FDone = true;
  if (OnDone) OnDone(*this);
}

void TReplay::Compared() {
  if (FCurrent == nullptr) return;
  const TRecordedSession& recorded = FSessions[FOrder[FNext]];
  TSessionOutcome o;
  o.Number = recorded.Number;
  o.Replayed = FCurrent->Result();
  FCurrent.reset();  // from the run's own message: no handler of the replayer is running
  ++FNext;
  const TReplayedSession& r = o.Replayed;
  if (!r.Connected) {
    o.Verdict = rvFailed;
    o.Note = r.Error;
  } else {
    o.Comparison = CompareStreams(recorded.Stream(edFromRemote), r.Stream(edFromRemote), FRules);
    const bool resetThen = recorded.RemoteEnd == seReset, resetNow = r.Info.RemoteEnd == seReset;
    if (!o.Comparison.Same) {
      o.Verdict = rvDiffer;
      o.Note = r.Error;
    } else if (!r.Error.empty()) {
      o.Verdict = rvFailed;
      o.Note = r.Error;
    } else if (resetThen != resetNow) {
      o.Verdict = rvDiffer;
      o.Note = resetNow ? "the remote side reset the connection, where the recording has it end in order"
                        : "the remote side did not reset the connection, where the recording has it reset";
    } else {
      o.Verdict = rvSame;
    }
  }
  FResult.Sessions.push_back(std::move(o));
  if (OnSessionDone) OnSessionDone(*this, FResult.Sessions.back());
  Next();
}

int RunReplay(const std::string& Path, const TReplayOptions& Options, TEntrySink* Sink, std::string& Report) {
  std::string error;
  TIgnoreRules rules;  // bad arguments before a file is read
  for (const std::string& pattern : Options.Ignore)
    if (!rules.Add(pattern, error)) {
      Report = error + "\n";
      return 2;
    }
  TCapture capture;
  if (!ReadCapture(Path, capture, error)) {
    Report = error + "\n";
    return 2;
  }
  TReplay replay(Sink);
  if (!replay.Start(std::move(capture.Sessions), Options, error)) {
    Report = Path + ": " + error + "\n";
    return 2;
  }
  while (!replay.Done()) platform::WaitAndDispatch(-1);
  Report = replay.Result().Text();
  return replay.Result().ExitCode();
}
