// The data path, both ways, and its flow control. Each read is one chunk, logged as one entry and
// queued on the other side:
//
//   local client --read--> LocalData --(held until Remote has connected)--> ForwardFromLocal --> Remote
//   remote side  --read--> RemoteData ------------------------------------> ForwardFromRemote --> TClient
//
// ForwardFromLocal and ForwardFromRemote are the one place where a chunk read from one side is
// logged and queued to the other: what changes the bytes on their way (TLS), delays or spoils them
// (faults) or holds them for a person to look at (intercept) joins there, one stage each. A session
// with stages for a direction writes the chunk into them instead (FaultPath.cpp), and a side's
// reading stays paused while they hold too much.
//
// Flow control: a side whose send chain holds kHoldBack bytes or more stops the other side's reads
// until it has drained (HoldBack, then the DataSent handlers), so that a slow reader holds its sender
// back through TCP rather than through the relay's memory.
#include "relay/Relay.h"

#include "relay/RelayParts.h"

using namespace relay_parts;

void TRelay::ClientDataAvailable(TComponent* Sender, std::uint16_t Error) {
  if (Error != 0) return;
  auto* Client = static_cast<TClient*>(Sender);
  LocalData(*Client, ReceiveChunk(*Client));
}

// In line mode, a line longer than the line limit leaves as it stands, logged as a chunk of its
// own, and relaying goes on: the relay passes every byte, in line mode too. The rest of the line
// follows as the next chunk, or ends with its line end.
void TRelay::ClientLineLimitExceeded(TComponent* Sender, std::int32_t, bool& ClearData) {
  auto* Client = static_cast<TClient*>(Sender);
  ClearData = false;
  LocalData(*Client, Client->TakePartialLine());
}

void TRelay::RemoteLineLimitExceeded(TComponent* Sender, std::int32_t, bool& ClearData) {
  auto* Remote = static_cast<TWSocket*>(Sender);
  ClearData = false;
  RemoteData(*Remote, Remote->TakePartialLine());
}

// Local data read: held while Remote is not connected; forwarded at once after the remote side has
// ended its stream too, since the connection stays open for sending.
void TRelay::LocalData(TClient& Client, const std::string& Data) {
  TRelaySession* s = SessionOf(&Client);
  // Until the client's TLS is on, its hello (wherever it starts) is taken by the TLS part; a
  // partial hello that turned out to be none comes back whole.
  std::string plain;
  const std::string* data = &Data;
  if (s != nullptr && s->Tls != nullptr) {
    plain = Data;
    if (TlsLocalData(*s, plain)) return;
    data = &plain;
  }
  TWSocket* remote = Client.Remote;
  if (s != nullptr && remote != nullptr && remote->State() == wsConnected) {
    if (!Client.PendingLocal.empty()) {
      Client.PendingLocal += *data;
      ForwardLocal(*s);
    } else if (!data->empty()) {
      ForwardFromLocal(*s, *data);  // nothing held before it: the chunk goes as it is
    }
    HoldBack(Client, *remote);
  } else {
    Client.PendingLocal += *data;
    if (static_cast<std::int64_t>(Client.PendingLocal.size()) >= kHoldBack)
      Client.PauseReceiving();  // until the remote side has connected and taken them
  }
}

// The held local data leaves as one chunk.
void TRelay::ForwardLocal(TRelaySession& S) {
  if (S.PendingLocal.empty()) return;
  std::string chunk;
  chunk.swap(S.PendingLocal);
  ForwardFromLocal(S, chunk);
}

// Logs a chunk from the local client as one "From Local" entry and queues it on Remote; in line
// mode with more lines of the same read to come, it waits to leave with them.
void TRelay::ForwardFromLocal(TRelaySession& S, const std::string& Chunk) {
  if (S.Stages[fdRemote]) {
    S.Stages[fdRemote]->Write(Chunk);  // logged and sent as it leaves the stages (FaultPath.cpp)
    return;
  }
  Entry(S, "From Local", Chunk, edFromLocal);
  const bool now = S.Client == nullptr || !S.Client->MoreLinesBuffered();
  if (now && S.ToRemote.empty()) {
    if (S.Remote->State() == wsConnected) S.Remote->SendText(Chunk);
    return;
  }
  S.ToRemote += Chunk;
  if (now) Flush(S.ToRemote, *S.Remote);
}

void TRelay::RemoteDataAvailable(TComponent* Sender, std::uint16_t Error) {
  if (Error != 0) return;
  auto* Remote = static_cast<TWSocket*>(Sender);
  RemoteData(*Remote, ReceiveChunk(*Remote));
}

void TRelay::RemoteData(TWSocket& Remote, const std::string& Data) {
  TRelaySession* s = SessionOf(&Remote);
  if (Data.empty() || s == nullptr) return;
  if (ForwardFromRemote(*s, Remote, Data)) HoldBack(Remote, *s->Client);
}

// Logs a chunk from the remote side as one "From Remote" entry and queues it on the local client,
// the lines of one read together; false when the local connection has gone (reset, or closed by
// Cancel) and the chunk is logged and dropped.
bool TRelay::ForwardFromRemote(TRelaySession& S, TWSocket& From, const std::string& Chunk) {
  if (S.Stages[fdLocal] && S.Client != nullptr && S.Client->State() == wsConnected) {
    S.Stages[fdLocal]->Write(Chunk);  // logged and sent as it leaves the stages (FaultPath.cpp)
    return true;
  }
  Entry(S, "From Remote", Chunk, edFromRemote);
  if (S.Client == nullptr || S.Client->State() != wsConnected) {
    Entry(S, "Error: Local has closed");
    return false;
  }
  const bool now = !From.MoreLinesBuffered();
  if (now && S.ToLocal.empty()) {
    S.Client->SendText(Chunk);
    return true;
  }
  S.ToLocal += Chunk;
  if (now) Flush(S.ToLocal, *S.Client);
  return true;
}

void TRelay::Flush(std::string& Lines, TWSocket& To) {
  if (Lines.empty()) return;
  if (To.State() == wsConnected) To.SendText(Lines);
  Lines.clear();
}

// Stops reading From while To's send chain holds more than its share; To's OnDataSent resumes it.
void TRelay::HoldBack(TWSocket& From, TWSocket& To) {
  if (To.BufferedSendBytes() >= kHoldBack) From.PauseReceiving();
}

// Everything queued on one side has left: the other side may be read again.
void TRelay::ClientDataSent(TComponent* Sender, std::uint16_t) {
  TRelaySession* s = SessionOf(Sender);
  if (s != nullptr && s->Remote != nullptr && s->Remote->ReceivingPaused() && !StagesHold(*s, fdLocal))
    s->Remote->ResumeReceiving();
}

void TRelay::RemoteDataSent(TComponent* Sender, std::uint16_t) {
  TRelaySession* s = SessionOf(Sender);
  if (s != nullptr && s->Client != nullptr && s->Client->ReceivingPaused() && !StagesHold(*s, fdRemote))
    s->Client->ResumeReceiving();
}
