// Telling a relay into itself from a client. Settings whose remote side is this relay's own
// listening port are refused at Listen (RelaySettings.cpp), but a name that Listen does not look up
// can still lead there. Each session's Remote registers its own local port once its attempt has
// one; an accepted client that comes from such a port, to the port that Remote connects to, is the
// relay itself. Relayed again, it would make a session of its own, whose Remote would come back
// here too: a storm of sessions. Both ends of the loop are cut at once instead.
#include "relay/Relay.h"

#include "net/WSocketResolve.h"
#include "relay/RelayParts.h"

using namespace relay_parts;

// Both ends of the connection must match: the kernel gives one local port to connections to
// different destinations, so a client of ours may well come from the port of a Remote.
TRelaySession* TRelay::LoopOrigin(TClient& Client) {
  auto it = FOutgoing.find(PortNumber(Client.PeerPort()));
  if (it == FOutgoing.end()) return nullptr;
  auto s = FSessions.find(it->second);
  TRelaySession* origin = s != FSessions.end() ? s->second.get() : nullptr;
  if (origin == nullptr || origin->Remote == nullptr || origin->Attempts.OutgoingPort != it->first ||
      origin->Attempts.OutgoingAddr != Client.PeerAddr())
    return nullptr;
  std::string localAddr;
  std::uint16_t localPort = 0;
  if (!LocalName(Client, localAddr, localPort) || localPort != origin->Info.RemotePort) return nullptr;
  return origin;
}

// The client that came back becomes a session that fails at once; the session it came from fails
// and is cut.
void TRelay::CutLoop(TClient& Client, TRelaySession& Origin) {
  NewSession(Client);
  const std::string why = "the connection to " + TrimBlanks(FSettings.RemoteAddr) + " port " +
                          TrimBlanks(FSettings.RemotePort) + " came back to this relay's own listening port";
  Entry(*SessionOf(&Client), "Error: Relay into itself", why);
  WriteHeldLocalEntries(Origin);  // its local client's bytes are dropped
  Entry(Origin, "Error: Relay into itself", why);
  Fail(*SessionOf(&Client), why);
  Fail(Origin, why);
  Client.CloseWithReset();
  CutSession(Origin);
}

// The kernel has given the attempt its local port: an accepted client with this peer is the relay
// itself.
void TRelay::RegisterOutgoing(TRelaySession& S) {
  TConnectAttempts& a = S.Attempts;
  if (a.OutgoingPort != 0 && FOutgoing.count(a.OutgoingPort) != 0 && FOutgoing[a.OutgoingPort] == S.Id)
    FOutgoing.erase(a.OutgoingPort);
  if (LocalName(*S.Remote, a.OutgoingAddr, a.OutgoingPort)) FOutgoing[a.OutgoingPort] = S.Id;
}

void TRelay::ForgetOutgoing(TRelaySession& S) {
  if (S.Attempts.OutgoingPort == 0) return;
  auto it = FOutgoing.find(S.Attempts.OutgoingPort);
  if (it != FOutgoing.end() && it->second == S.Id) FOutgoing.erase(it);
}
