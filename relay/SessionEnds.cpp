// Passing on the ends of a session and ending it. An end of stream from one side goes to the other
// once every byte before it has left, and the other direction goes on; a reset goes on as a reset
// after what came before it. What the local client does before Remote has connected waits in the
// session (PendingEnd) and follows its held bytes (see RemoteSessionConnected). The session ends
// when its TClient has gone and Remote either went with it or, delivering what the client left, has
// closed too (ClientGone, Notification, Forget); Cancel and a relay into itself cut it at once.
#include "relay/Relay.h"

#include "platform/MessageLoop.h"
#include "relay/RelayParts.h"

using namespace relay_parts;

// The local client has ended its stream: the remote side gets the end once every byte before it
// has left, and keeps sending to the local client.
// Behind stages, the end, or a reset, follows the bytes they still hold (PassLocalEnd and
// PassLocalReset, from FaultPath.cpp).
void TRelay::ClientPeerShutdown(TComponent* Sender, std::uint16_t) {
  TRelaySession* s = SessionOf(Sender);
  if (s == nullptr) return;
  TlsLocalEnded(*s);
  TlsPeerEnded(*s, true);
  if (s->Connected() && EndIntoStages(*s, fdRemote)) return;
  PassLocalEnd(*s);
}

void TRelay::PassLocalEnd(TRelaySession& S) {
  LocalEntry(S, "End of Stream from Local");
  S.Info.LocalEnd = seFinished;
  SessionChanged(S);
  if (S.Remote != nullptr && S.Remote->State() == wsConnected) {
    Flush(S.ToRemote, *S.Remote);
    S.Remote->Shutdown(1);
  } else if (!S.Connected()) {
    S.PendingEnd = seFinished;
  }
}

void TRelay::RemotePeerShutdown(TComponent* Sender, std::uint16_t) {
  TRelaySession* s = SessionOf(Sender);
  if (s == nullptr) return;
  TlsPeerEnded(*s, false);
  if (EndIntoStages(*s, fdLocal)) return;
  PassRemoteEnd(*s);
}

void TRelay::PassRemoteEnd(TRelaySession& S) {
  Entry(S, "End of Stream from Remote");
  S.Info.RemoteEnd = seFinished;
  SessionChanged(S);
  if (S.Client != nullptr && S.Client->State() == wsConnected) {
    Flush(S.ToLocal, *S.Client);
    S.Client->Shutdown(1);
  }
}

// The local connection has closed: in order once both directions have ended, or by a reset, which
// is passed on once what came before it has reached the remote side.
void TRelay::ClientSessionClosed(TComponent* Sender, std::uint16_t Error) {
  TRelaySession* s = SessionOf(Sender);
  if (s != nullptr && Error == TlsConnectionFailed && !s->Cut()) TlsBroken(*s, true);
  if (s == nullptr || Error == 0 || s->GivenUp() || s->FaultReset) return;
  if (s->Connected() && ResetIntoStages(*s, fdRemote)) return;
  PassLocalReset(*s);
}

void TRelay::PassLocalReset(TRelaySession& S) {
  LocalEntry(S, "Reset from Local");
  S.Info.LocalEnd = seReset;
  SessionChanged(S);
  if (S.Remote != nullptr && S.Remote->State() == wsConnected) {
    Flush(S.ToRemote, *S.Remote);
    S.Remote->CloseWithReset();
  } else if (!S.Connected()) {
    S.PendingEnd = seReset;
  }
}

void TRelay::RemoteSessionClosed(TComponent* Sender, std::uint16_t Error) {
  TRelaySession* s = SessionOf(Sender);
  if (s == nullptr) return;
  if (Error == TlsConnectionFailed && !s->Cut()) TlsBroken(*s, false);
  // A session that has given up (a failed TLS handshake, say) passes no reset on.
  if (Error != 0 && s->Connected() && !s->GivenUp() && s->Info.RemoteEnd != seReset && !s->FaultReset &&
      s->EndInStages[fdLocal] != seReset && !ResetIntoStages(*s, fdLocal))
    PassRemoteReset(*s);
  // A draining Remote goes once closed, unless that close was a failed attempt with another to
  // follow.
  if (s->Draining() && !s->Attempts.NextPosted) static_cast<TWSocket*>(Sender)->FreeLater();
}

void TRelay::PassRemoteReset(TRelaySession& S) {
  Entry(S, "Reset from Remote");
  S.Info.RemoteEnd = seReset;
  SessionChanged(S);
  if (S.Client != nullptr && S.Client->State() == wsConnected) {
    Flush(S.ToLocal, *S.Client);
    S.Client->CloseWithReset();
  }
}

// Ends a session at once, both sides.
void TRelay::CutSession(TRelaySession& S) {
  S.SetCut();
  if (S.Client != nullptr) S.Client->Close();
  if (S.Remote != nullptr) S.Remote->CloseLater();
}

// From the TClient's destructor: "Connection Closed", then Remote either goes with its client or,
// still delivering the local client's bytes or its end, is taken over until it has closed (true).
// Bytes it still holds for a Remote that is connecting are logged when they leave, and "Connection
// Closed" after them.
bool TRelay::ClientGone(TClient& Client) {
  TRelaySession* s = SessionOf(&Client);
  if (s == nullptr || s->Client != &Client) {
    // A client that never took over a connection (its accept failed, for want of descriptors
    // say) was never a session: the log says nothing of it.
    if (Client.FSession->Id == 0) return false;
    if (!platform::ApplicationTerminated() && FSink != nullptr) {
      FSink->SetEntryColor(Client.LogColor);
      FSink->SetEntryTitle("Connection Closed");
      FSink->AddEntry(std::string());
    }
    return false;
  }
  TWSocket* Remote = s->Remote;
  const bool deliver = Remote != nullptr && Remote->State() != wsClosed && !s->GivenUp() &&
                       (s->Connected() || !s->PendingLocal.empty() || s->PendingEnd != seOpen) && !IsDestroying();
  if (!deliver) {
    WriteHeldLocalEntries(*s);  // the bytes they waited for go with the session, unsent
    if (!platform::ApplicationTerminated()) Entry(*s, "Connection Closed");
    s->Client = nullptr;
    s->Remote = nullptr;  // the TClient's destructor deletes it
    Forget(*s);
    return false;
  }
  s->Client = nullptr;
  InsertComponent(Remote);  // out of the client's list, into the engine's
  ++FDrainingCount;
  // After the client's bytes, which wait for Remote to connect.
  if (!platform::ApplicationTerminated()) LocalEntry(*s, "Connection Closed");
  // Nobody waits for what it reads any more: it is logged and dropped, and its end must come.
  Remote->ResumeReceiving();
  return true;
}

void TRelay::Forget(TRelaySession& S) {
  WriteHeldLocalEntries(S);  // before the session's end
  platform::KillTimer(FWindow, S.Id);
  ResumeAccepting();  // its descriptors are free again
  ForgetOutgoing(S);
  if (S.Info.State < ssRelaying) S.Info.State = ssClosed;  // cut before it connected
  S.Info.EndUs = WallClockUs();
  SessionChanged(S);
  DropStages(S);
  FSessions.erase(S.Id);
}

void TRelay::Notification(TComponent* AComponent, TOperation Operation) {
  TComponent::Notification(AComponent, Operation);
  if (Operation != TOperation::opRemove || AComponent == FServer) return;
  // A draining Remote has gone.
  TRelaySession* s = SessionOf(AComponent);
  if (s == nullptr || s->Remote != AComponent) return;
  const bool draining = s->Draining();
  s->Remote = nullptr;
  if (draining) --FDrainingCount;
  if (s->Client == nullptr) Forget(*s);
}
