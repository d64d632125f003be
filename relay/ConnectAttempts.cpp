// Reaching the remote side: the lookup of the remote host, then one attempt to connect after
// another, in the resolver's order, until one address answers. While others remain, an attempt
// that gets no answer within ConnectAttemptMs gives way to the next (a sequential take on the idea
// of Happy Eyeballs: an address that is dead or filtered costs a short delay, not the system's
// timeout); the last address waits for the system's own timeout. The next attempt starts from the
// loop, once the failed attempt's close is done. When none is left, the session fails with every
// address's reason and its local client is refused. The attempts' state is the session's
// TConnectAttempts.
#include "relay/Relay.h"

#include "net/WinsockBinding.h"
#include "platform/MessageLoop.h"
#include "platform/WinsockErrors.h"
#include "relay/RelayParts.h"

using namespace relay_parts;

void TRelay::RemoteDnsLookupDone(TComponent* Sender, std::uint16_t Error) {
  auto* Remote = static_cast<TWSocket*>(Sender);
  TRelaySession* s = SessionOf(Remote);
  if (s == nullptr) return;
  if (Error != 0) {
    WriteHeldLocalEntries(*s);  // the bytes they waited for are dropped
    Entry(*s, "Error: Lookup failed", WinsockErrorText(Error));
    Fail(*s, WinsockErrorText(Error));
    RefuseLocal(*s);
    return;
  }
  s->Attempts.Addresses = Remote->DnsResultList();
  if (s->Attempts.Addresses.empty()) s->Attempts.Addresses.push_back(Remote->DnsResult());
  s->Attempts.Current = 0;
  Attempt(*s);
}

// Connects Remote to the session's next address, with a timer while other addresses remain.
void TRelay::StartAttempt(TRelaySession& S) {
  TWSocket* Remote = S.Remote;
  TConnectAttempts& a = S.Attempts;
  const std::string& addr = a.Addresses[a.Current];
  RelaySocketOptions(*Remote);  // a failed attempt's close reset the linger setting
  Remote->SetAddr(addr);
  Remote->SetPort(a.RemotePort);
  S.Info.RemoteAddr = addr;
  S.Info.State = ssConnecting;
  S.Advance(rsConnecting);
  SessionChanged(S);
  if (a.Current + 1 < a.Addresses.size()) platform::SetTimer(FWindow, S.Id, static_cast<platform::UINT>(FConnectAttemptMs));
  Remote->Connect();
  RegisterOutgoing(S);
}

// Connect raises when the attempt cannot even start (no descriptor left, say): a failed attempt
// like any other, not an exception that would close Remote and leave the client waiting.
void TRelay::Attempt(TRelaySession& S) {
  try {
    StartAttempt(S);
  } catch (Exception& E) {
    platform::KillTimer(FWindow, S.Id);
    if (S.Remote != nullptr && S.Remote->State() != wsClosed) S.Remote->Abort();
    std::string why = E.Message();
    const std::size_t eol = why.find("\r\n");
    if (eol != std::string::npos) why = why.substr(eol + 2);  // the error's text, not where it came from
    AttemptFailed(S, why);
  }
}

// The current address failed: the next one is tried from the loop (the failed attempt's close is
// still under way), or the session fails once none is left.
void TRelay::AttemptFailed(TRelaySession& S, const std::string& Why) {
  TConnectAttempts& a = S.Attempts;
  platform::KillTimer(FWindow, S.Id);
  a.Failures.push_back(a.Addresses[a.Current] + ": " + Why);
  if (a.Current + 1 < a.Addresses.size()) {
    ++a.Current;
    a.NextPosted = true;
    platform::PostMessage(FWindow, MsgNextAttempt, S.Id, 0);
    return;
  }
  // One address: its error as it is; several: each with its own.
  std::string reason = Why;
  if (a.Failures.size() > 1) {
    reason.clear();
    for (const std::string& f : a.Failures) reason += (reason.empty() ? "" : "; ") + f;
  }
  WriteHeldLocalEntries(S);  // the bytes they waited for are dropped
  Entry(S, "Error: Connection failed", reason);
  Fail(S, reason);
  RefuseLocal(S);
}

void TRelay::HandleMessage(platform::UINT Msg, platform::WPARAM WParam) {
  auto it = FSessions.find(static_cast<std::uint64_t>(WParam));
  TRelaySession* s = it != FSessions.end() ? it->second.get() : nullptr;
  if (Msg == platform::WM_TIMER && WParam == kAcceptTimer) {
    ResumeAccepting();
    return;
  }
  if (Msg == platform::WM_TIMER) {
    platform::KillTimer(FWindow, WParam);
    if (s == nullptr || s->Remote == nullptr || s->Remote->State() != wsConnecting) return;
    s->Remote->Abort();  // its close is no failure of the session (RemoteSessionClosed)
    AttemptFailed(*s, "No answer");
    return;
  }
  if (Msg != MsgNextAttempt || s == nullptr || !s->Attempts.NextPosted) return;
  s->Attempts.NextPosted = false;
  if (s->Remote == nullptr || s->Cut() || s->Remote->State() != wsClosed) return;
  Attempt(*s);
}

// A lookup that cannot even be asked for fails as one that found nothing.
void TRelay::PostLookupFailure(TRelaySession& S, std::uint16_t Error) {
  WriteHeldLocalEntries(S);
  Entry(S, "Error: Lookup failed", WinsockErrorText(Error));
  Fail(S, WinsockErrorText(Error));
  RefuseLocal(S);
}

void TRelay::RemoteSessionConnected(TComponent* Sender, std::uint16_t Error) {
  TRelaySession* s = SessionOf(Sender);
  if (s == nullptr) return;
  if (Error != 0) {
    AttemptFailed(*s, WinsockErrorText(Error));
    return;
  }
  platform::KillTimer(FWindow, s->Id);
  // The addresses and why those before failed serve only the attempts: a session that stays open
  // keeps none of them.
  std::vector<std::string>().swap(s->Attempts.Addresses);
  std::vector<std::string>().swap(s->Attempts.Failures);
  s->Info.ConnectedUs = WallClockUs();
  s->Info.State = ssRelaying;
  s->Advance(rsRelaying);
  SessionChanged(*s);
  Entry(*s, "Connection Opened");
  TlsRemoteConnected(*s, true);
  ForwardLocal(*s);
  Flush(s->ToRemote, *s->Remote);  // no read is under way: nothing more joins them now
  // What the local client did after those bytes follows them (through the stages, if any).
  if (s->PendingEnd == seFinished) EndIntoStages(*s, fdRemote);
  else if (s->PendingEnd == seReset) ResetIntoStages(*s, fdRemote);
  if (!LocalEndInStages(*s)) WriteHeldLocalEntries(*s);
  TlsRemoteConnected(*s, false);
  // Reading stopped while the held bytes grew; it goes on once they have left.
  if (s->Client != nullptr && s->Client->ReceivingPaused() && s->Remote->BufferedSendBytes() < kHoldBack &&
      !StagesHold(*s, fdRemote))
    s->Client->ResumeReceiving();
  if (LocalEndInStages(*s)) return;
  if (s->PendingEnd == seFinished)
    s->Remote->Shutdown(1);
  else if (s->PendingEnd == seReset)
    s->Remote->CloseWithReset();
}

// The session cannot reach the remote side: the local client is reset, so that it sees a refusal
// rather than an empty answer, and what it sent is dropped.
void TRelay::RefuseLocal(TRelaySession& S) {
  if (S.Client != nullptr && S.Client->State() == wsConnected) S.Client->CloseWithReset();
}

void TRelay::Fail(TRelaySession& S, const std::string& Reason) {
  S.SetFailed();
  S.Info.State = ssFailed;
  S.Info.Reason = Reason;
  SessionChanged(S);
}
