// The replay of one session: the new connection, the steps and when they go, and the record of
// what was sent and received (Replayer.h tells the life of a replay).
//
// Two timers of the replayer's own window pace it: the quiet timer, restarted by every step and
// every chunk received, fires once the remote side has been quiet for the settle time; the step
// timer (original timing only) fires when the next step is due. The end is posted, so that OnDone
// never runs inside a handler of the socket.
#include "replay/Replayer.h"

#include <algorithm>

#include "net/WSocket.h"
#include "net/WinsockBinding.h"
#include "platform/MessageLoop.h"
#include "record/TrafficRecord.h"

namespace {

constexpr platform::UINT_PTR kQuietTimer = 1;
constexpr platform::UINT_PTR kStepTimer = 2;
constexpr platform::UINT MsgNextAttempt = platform::WM_USER + 1;
constexpr platform::UINT MsgEnded = platform::WM_USER + 2;
const char* const kReplayWindowClass = "VantrelReplayWindow";
// What one read takes at most: one chunk of the new session.
constexpr std::int32_t kReadLimit = 128 << 10;

platform::LRESULT ReplayWindowProc(platform::HWND Wnd, platform::UINT Msg, platform::WPARAM WParam, platform::LPARAM) {
  if (auto* r = reinterpret_cast<TReplayer*>(platform::GetWindowLongPtr(Wnd))) r->HandleMessage(Msg, WParam);
  return 0;
}

// An IPv4 address mapped into IPv6 (as a capture writes one beside an IPv6 end) is connected to as
// the IPv4 address it is.
std::string Unmapped(const std::string& Addr) {
  constexpr std::string_view kMapped = "::ffff:";
  if (Addr.size() > kMapped.size() && Addr.compare(0, kMapped.size(), kMapped) == 0 &&
      Addr.find('.') != std::string::npos)
    return Addr.substr(kMapped.size());
  return Addr;
}

std::uint16_t PortNumber(const std::string& Text) {
  try {
    const unsigned long n = std::stoul(Text);
    return n <= 0xFFFF ? static_cast<std::uint16_t>(n) : 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace

std::string TReplayedSession::Stream(TEntryDirection Direction) const {
  std::string s;
  for (const TRecordedChunk& c : Chunks)
    if (c.Direction == Direction) s += c.Bytes;
  return s;
}

TReplayer::TReplayer(const TRecordedSession& Recorded, const TReplaySettings& Settings, TEntrySink* Sink,
                     std::uint64_t SessionId, TColor Color)
    : FRecorded(Recorded), FSettings(Settings), FSink(Sink) {
  if (!platform::IsWindowClassRegistered(kReplayWindowClass))
    platform::RegisterWindowClass(kReplayWindowClass, ReplayWindowProc);
  FWindow = platform::CreateNotifyWindow(kReplayWindowClass);
  platform::SetWindowLongPtr(FWindow, reinterpret_cast<std::intptr_t>(this));
  for (std::size_t i = 0; i < Recorded.Chunks.size(); ++i)
    if (Recorded.Chunks[i].Direction == edFromLocal) FSteps.push_back(i);
  FResult.StepsTotal = FSteps.size();
  FResult.Info.Id = SessionId;
  FResult.Info.Color = Color;
  FResult.Info.RemoteHost = FSettings.RemoteAddr.empty() ? Unmapped(Recorded.RemoteAddr) : FSettings.RemoteAddr;
  FPort = FSettings.RemotePort.empty() ? std::to_string(Recorded.RemotePort) : FSettings.RemotePort;
  FResult.Info.RemotePort = PortNumber(FPort);
}

TReplayer::~TReplayer() {
  if (FSocket != nullptr) {
    // Its close while destroyed reports to nobody.
    FSocket->OnDnsLookupDone = nullptr;
    FSocket->OnSessionConnected = nullptr;
    FSocket->OnDataAvailable = nullptr;
    FSocket->OnPeerShutdown = nullptr;
    FSocket->OnSessionClosed = nullptr;
    FSocket.reset();
  }
  platform::DestroyNotifyWindow(FWindow);  // its timers and queued messages go with it
}

void TReplayer::Start() {
  if (FStarted) return;
  FStarted = true;
  FResult.Info.StartUs = WallClockUs();
  FResult.Info.State = ssResolving;
  SessionChanged();
  FSocket = std::make_unique<TWSocket>(nullptr);
  TWSocket& s = *FSocket;
  s.OnDnsLookupDone = [this](TComponent*, std::uint16_t E) { LookupDone(E); };
  s.OnSessionConnected = [this](TComponent*, std::uint16_t E) { Connected(E); };
  s.OnDataAvailable = [this](TComponent*, std::uint16_t E) {
    if (E == 0) DataAvailable();
  };
  s.OnPeerShutdown = [this](TComponent*, std::uint16_t) { PeerShutdown(); };
  s.OnSessionClosed = [this](TComponent*, std::uint16_t E) { SessionClosed(E); };
  s.OnBgException = [](TComponent*, Exception&, bool& CanClose) { CanClose = true; };
  const std::string& host = FResult.Info.RemoteHost;
  if (host.empty() || host.find('\0') != std::string::npos || FResult.Info.RemotePort == 0) {
    Fail("Error: Lookup failed", host.empty() ? "no remote address" : FResult.Info.RemotePort == 0
                                                                          ? "remote port '" + FPort + "' is not a port"
                                                                          : "a host name cannot hold a zero byte");
    return;
  }
  try {
    s.DnsLookup(host);  // an address is answered inside this call
  } catch (Exception& E) {
    Fail("Error: Lookup failed", E.Message());
  }
}

void TReplayer::LookupDone(std::uint16_t Error) {
  if (FFinished) return;
  if (Error != 0) {
    Fail("Error: Lookup failed", WinsockErrorText(Error));
    return;
  }
  FAddresses = FSocket->DnsResultList();
  if (FAddresses.empty()) FAddresses.push_back(FSocket->DnsResult());
  FAttempt = 0;
  Attempt();
}

void TReplayer::Attempt() {
  TWSocket& s = *FSocket;
  const std::string& addr = FAddresses[FAttempt];
  // One read for each notification; the remote side's end of stream leaves the socket open for
  // the steps still to go; small chunks leave at once; a close is orderly.
  s.SetComponentOptions({wsoNoReceiveLoop, wsoAllowHalfOpen, wsoTcpNoDelay});
  s.SetLingerOnOff(wsLingerOff);
  FResult.Info.RemoteAddr = addr;
  FResult.Info.State = ssConnecting;
  SessionChanged();
  try {
    s.SetAddr(addr);
    s.SetPort(FPort);
    s.Connect();
  } catch (Exception& E) {
    if (s.State() != wsClosed) s.Abort();
    std::string why = E.Message();
    const std::size_t eol = why.find("\r\n");
    if (eol != std::string::npos) why = why.substr(eol + 2);  // the error's text, not where it came from
    AttemptFailed(why);
  }
}

// The next address is tried from the loop: the failed attempt's close is still under way.
void TReplayer::AttemptFailed(const std::string& Why) {
  FFailures.push_back(FAddresses[FAttempt] + ": " + Why);
  if (FAttempt + 1 < FAddresses.size()) {
    ++FAttempt;
    platform::PostMessage(FWindow, MsgNextAttempt, 0, 0);
    return;
  }
  std::string reason = Why;
  if (FFailures.size() > 1) {
    reason.clear();
    for (const std::string& f : FFailures) reason += (reason.empty() ? "" : "; ") + f;
  }
  Fail("Error: Connection failed", reason);
}

void TReplayer::Connected(std::uint16_t Error) {
  if (FFinished) return;
  if (Error != 0) {
    AttemptFailed(WinsockErrorText(Error));
    return;
  }
  FResult.Connected = true;
  FResult.Info.ConnectedUs = WallClockUs();
  FResult.Info.State = ssRelaying;
  FResult.Info.LocalAddr = FSocket->GetBoundAddr();
  FResult.Info.LocalPort = PortNumber(FSocket->GetBoundPort());
  SessionChanged();
  Entry("Connection Opened");
  FConnectedAt = std::chrono::steady_clock::now();
  if (FSettings.OriginalTiming)
    StepsDue();
  else
    RestartQuiet();
}

void TReplayer::RestartQuiet() {
  platform::SetTimer(FWindow, kQuietTimer, std::max<std::uint32_t>(FSettings.SettleMs, 1));
}

// When a step is due with the original timing: as long after the connection as the recorded step
// came after the recorded connection.
std::chrono::steady_clock::time_point TReplayer::StepTime(std::size_t Step) const {
  const std::int64_t connected = FRecorded.ConnectedUs != 0 ? FRecorded.ConnectedUs : FRecorded.StartUs;
  std::int64_t at = 0;
  if (Step < FSteps.size())
    at = FRecorded.Chunks[FSteps[Step]].TimeUs;
  else
    at = FRecorded.LocalEndUs != 0 ? FRecorded.LocalEndUs : FSteps.empty() ? connected : FRecorded.Chunks[FSteps.back()].TimeUs;
  return FConnectedAt + std::chrono::microseconds(std::max<std::int64_t>(at - connected, 0));
}

// Original timing: every step whose time has come goes; the timer is set for the next one, and
// after the last the quiet timer waits for the remote side.
void TReplayer::StepsDue() {
  while (!FFinished && StepsLeft() && StepTime(FNextStep) <= std::chrono::steady_clock::now()) TakeStep();
  if (FFinished) return;
  if (!StepsLeft()) {
    RestartQuiet();
    return;
  }
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(StepTime(FNextStep) - std::chrono::steady_clock::now());
  platform::SetTimer(FWindow, kStepTimer, static_cast<platform::UINT>(std::clamp<std::int64_t>(wait.count(), 1, 1 << 30)));
}

void TReplayer::TakeStep() {
  TWSocket& s = *FSocket;
  if (FNextStep < FSteps.size()) {
    const TRecordedChunk& recorded = FRecorded.Chunks[FSteps[FNextStep++]];
    if (FSettings.Injected) Entry("Sent to Remote", recorded.Bytes, edFromLocal, true);
    else Entry("From Local", recorded.Bytes, edFromLocal);
    // Queued in pieces that an int32 length holds, whatever the chunk's size.
    constexpr std::size_t kPiece = 1 << 20;
    for (std::size_t at = 0; s.State() == wsConnected && at < recorded.Bytes.size(); at += kPiece)
      s.Send(recorded.Bytes.data() + at, static_cast<std::int32_t>(std::min(kPiece, recorded.Bytes.size() - at)));
    FResult.Steps = FNextStep;
    return;
  }
  FEndTaken = true;
  if (FRecorded.LocalEnd == seFinished) {
    Entry("End of Stream from Local");
    FResult.Info.LocalEnd = seFinished;
    SessionChanged();
    if (s.State() == wsConnected) s.Shutdown(1);  // once every byte before it has left
  } else if (FRecorded.LocalEnd == seReset) {
    Entry("Reset from Local");
    FResult.Info.LocalEnd = seReset;
    SessionChanged();
    if (s.State() == wsConnected) s.CloseWithReset();  // after the last byte has been taken
  }
}

// Settle: the remote side has been quiet; the next step goes, or after the last the replay ends.
void TReplayer::Quiet() {
  if (FFinished) return;
  if (StepsLeft() && !FSettings.OriginalTiming) {
    TakeStep();
    if (!FFinished) RestartQuiet();
    return;
  }
  if (!StepsLeft()) Finish();
}

void TReplayer::DataAvailable() {
  if (FFinished) return;
  static std::vector<char> buffer(static_cast<std::size_t>(kReadLimit));
  const std::int32_t got = FSocket->Receive(buffer.data(), kReadLimit);
  if (got <= 0) return;
  Entry("From Remote", std::string(buffer.data(), static_cast<std::size_t>(got)), edFromRemote);
  // Quiet is counted from the last bytes; with the original timing only once the steps are done.
  if (!FSettings.OriginalTiming || !StepsLeft()) RestartQuiet();
}

void TReplayer::PeerShutdown() {
  if (FFinished) return;
  Entry("End of Stream from Remote");
  FResult.Info.RemoteEnd = seFinished;
  SessionChanged();
  // Once both sides have ended the socket closes itself (SessionClosed); a recording whose local
  // side did not end waits for nothing more.
  if (!StepsLeft() && FRecorded.LocalEnd != seFinished) Finish();
}

void TReplayer::SessionClosed(std::uint16_t Error) {
  if (FFinished || !FResult.Connected) return;  // a failed attempt: Connected has taken it
  if (Error != 0 && FResult.Info.LocalEnd != seReset && FResult.Info.RemoteEnd != seReset) {
    Entry("Reset from Remote");
    FResult.Info.RemoteEnd = seReset;
    FResult.Info.Reason = WinsockErrorText(Error);
    SessionChanged();
  }
  if (StepsLeft())
    FResult.Error = "the remote side " + std::string(Error != 0 ? "reset" : "closed") + " the connection after " +
                    std::to_string(FResult.Steps) + " of " + std::to_string(FResult.StepsTotal) + " chunks";
  Finish();
}

void TReplayer::HandleMessage(platform::UINT Msg, platform::WPARAM WParam) {
  if (Msg == platform::WM_TIMER) {
    platform::KillTimer(FWindow, WParam);
    if (WParam == kQuietTimer) Quiet();
    if (WParam == kStepTimer && !FFinished) StepsDue();
  } else if (Msg == MsgNextAttempt) {
    if (!FFinished && FSocket->State() == wsClosed) Attempt();
  } else if (Msg == MsgEnded && !FDone) {
    FDone = true;
    if (OnDone) OnDone(*this);
  }
}

void TReplayer::Entry(const char* Title, const std::string& Body, TEntryDirection Direction, bool Injected) {
  std::uint64_t* offset = Direction == edFromLocal ? &FOffset[0] : Direction == edFromRemote ? &FOffset[1] : nullptr;
  if (offset != nullptr) {
    FResult.Chunks.push_back({Direction, WallClockUs(), *offset, Body});
    (Direction == edFromLocal ? FResult.Info.BytesFromLocal : FResult.Info.BytesFromRemote) += Body.size();
  }
  if (FSink != nullptr) {
    FSink->SetEntryColor(FResult.Info.Color);
    FSink->SetEntryTitle(Title);
    FSink->AddEntry(Body, TEntrySource{FResult.Info.Id, Direction, offset != nullptr ? *offset : 0, Injected});
  }
  if (offset != nullptr) *offset += Body.size();
}

void TReplayer::SessionChanged() {
  TSessionInfo& i = FResult.Info;
  if (i.State != ssFailed && i.State >= ssRelaying) {
    if (i.LocalEnd == seReset || i.RemoteEnd == seReset)
      i.State = ssReset;
    else if (i.LocalEnd == seFinished && i.RemoteEnd == seFinished)
      i.State = ssClosed;
    else if (i.LocalEnd == seFinished)
      i.State = ssLocalEnded;
    else if (i.RemoteEnd == seFinished)
      i.State = ssRemoteEnded;
  }
  if (FSink != nullptr) FSink->SessionChanged(i);
}

void TReplayer::Fail(const char* Title, const std::string& Reason) {
  Entry(Title, Reason);
  FResult.Info.State = ssFailed;
  FResult.Info.Reason = Reason;
  FResult.Error = std::string(Title).find("Lookup") != std::string::npos
                      ? "the lookup of " + FResult.Info.RemoteHost + " failed: " + Reason
                      : "the connection to " + FResult.Info.RemoteHost + " port " + FPort + " failed: " + Reason;
  SessionChanged();
  Finish();
}

// The end: the timers stop, the connection closes (orderly: what is still queued is dropped, so a
// remote side that stopped reading is said to have), and OnDone follows from the loop.
void TReplayer::Finish() {
  if (FFinished) return;
  FFinished = true;
  platform::KillTimer(FWindow, kQuietTimer);
  platform::KillTimer(FWindow, kStepTimer);
  if (FSocket != nullptr && FSocket->State() != wsClosed) {
    const std::int64_t unsent = FSocket->BufferedSendBytes();
    if (unsent > 0 && FResult.Error.empty())
      FResult.Error = "the remote side took nothing for " + std::to_string(FSettings.SettleMs) + " ms and " +
                      std::to_string(unsent) + " bytes were left unsent";
    FSocket->Close();
  }
  if (FResult.Connected) Entry("Connection Closed");
  FResult.Info.EndUs = WallClockUs();
  if (FResult.Info.State < ssRelaying) FResult.Info.State = ssClosed;
  SessionChanged();
  platform::PostMessage(FWindow, MsgEnded, 0, 0);
}
