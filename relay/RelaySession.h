// Public. One relay session: everything the engine knows of one accepted connection, in one object.
//
// The session is made with its TClient (the local side) and outlives it while Remote still delivers
// the local client's last bytes. It owns what is in flight: the local bytes held until Remote has
// connected, the lines of one read on their way to each side, the local entries that wait behind held
// bytes, and what the local client did before Remote was connected. The engine (TRelay) drives it;
// the session itself does no input or output.
//
// Its state, one of:
//
//   rsResolving --lookup done--> rsConnecting --connected--> rsRelaying
//        |                          |     ^ next address        |
//        +--------------------------+-----+---------------------+--> rsCut    (Cancel, a relay into
//        |                          |                                          itself)
//        +--lookup failed-----------+--no address left, or a relay into itself--> rsFailed --> rsCut
//
// rsFailed and rsCut are the states in which the session has given up: its local client is refused or
// closed, and nothing is passed on any more. Once rsCut, the session stays rsCut. How each side's
// stream has ended (Info.LocalEnd, Info.RemoteEnd) and whether Remote has connected are the other
// facts that the handlers ask; what a list of sessions shows (Info.State) follows from them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "record/EntrySink.h"
#include "relay/SessionTls.h"
#include "record/SessionFacts.h"
#include "stream/Stage.h"

class TClient;
class TWSocket;

enum TRelayState : std::uint8_t {
  rsResolving = 0,   // the remote host is being looked up; local data is held
  rsConnecting = 1,  // an attempt to one of its addresses is under way; local data is held
  rsRelaying = 2,    // Remote has connected: each chunk goes on as it comes
  rsFailed = 3,      // the lookup, every attempt, or a relay into itself failed
  rsCut = 4,         // both sides close at once, whatever they still hold
};

// The connection attempts of a session: the remote host's addresses, tried in the resolver's order
// until one connects, and why each one tried so far failed (see ConnectAttempts.cpp).
struct TConnectAttempts {
  std::string RemotePort;  // as typed in the settings the session was set up with
  std::vector<std::string> Addresses;
  std::size_t Current = 0;  // the address tried now
  std::vector<std::string> Failures;
  bool NextPosted = false;  // the next address waits for its turn on the loop
  // Remote's own local address and port, once its attempt has one: a client accepted from there is
  // the relay itself.
  std::uint16_t OutgoingPort = 0;
  std::string OutgoingAddr;
};

class TRelaySession {
public:
  // Both sockets of a session carry Id as their Tag; the engine finds the session from whichever
  // socket raised an event. 0 until the session is set up.
  std::uint64_t Id = 0;
  TClient* Client = nullptr;   // the local side; null once it has gone
  TWSocket* Remote = nullptr;  // owned by Client, or by the engine once it drains; null once gone
  TColor Color = clBlack;      // of the session's entries; black until it is set up

  TRelayState State() const noexcept { return FState; }
  // The session moves on from looking up to connecting to relaying; a session that has given up
  // stays where it is.
  void Advance(TRelayState To) noexcept {
    if (!GivenUp()) FState = To;
  }
  // The lookup or the connection has failed; a session already cut stays cut.
  void SetFailed() noexcept {
    if (FState != rsCut) FState = rsFailed;
  }
  void SetCut() noexcept { FState = rsCut; }
  bool Cut() const noexcept { return FState == rsCut; }
  bool GivenUp() const noexcept { return FState == rsFailed || FState == rsCut; }
  // Remote's connection was made (also when the session has been cut since).
  bool Connected() const noexcept { return Info.ConnectedUs != 0; }
  // The local client has gone and Remote, owned by the engine, delivers what it left.
  bool Draining() const noexcept { return Client == nullptr && Remote != nullptr; }

  // Local data not yet forwarded to the remote side (TClient's PendingLocal).
  std::string PendingLocal;
  // What the local client did before Remote was connected, passed on once it is.
  TStreamEnd PendingEnd = seOpen;
  // Line mode: the lines of one read, each logged on its own, leave together once the last of them
  // has been read.
  std::string ToRemote, ToLocal;
  // Entries of the local side that wait for the local bytes held before them.
  std::vector<const char*> HeldLocalEntries;
  // Bytes of each direction written to the log so far: the offset of the next entry's body.
  std::uint64_t FromLocal = 0;
  std::uint64_t FromRemote = 0;

  TConnectAttempts Attempts;
  TSessionInfo Info;  // what the session reports; see UpdateShownState
  std::unique_ptr<TSessionTls> Tls;  // null while the relay has no TLS setting

  // The stages of each direction, indexed by TFaultDirection (toward Remote, toward Local); null
  // while the listener has no fault for it (FaultPath.cpp). FaultReset: a fault has reset the
  // session, and the resets that follow are the relay's own.
  std::unique_ptr<TStageChain> Stages[2];
  bool FaultReset = false;
  // A side's end written into the chain toward the other side (seFinished, or seReset when that
  // side reset while the chain held its bytes): the chain passes it on once those bytes have left.
  // seOpen while no end is on its way.
  TStreamEnd EndInStages[2] = {seOpen, seOpen};
  // Where, in what each direction's chain passes on, the bytes sent in place of held chunks lie,
  // so that they are logged as edits (InterceptPath.cpp). Out: bytes the chain has passed since
  // the marks were made; Base: where the intercept stage's first byte lies; Edits: [from, to)
  // ranges not yet passed. Made with the direction's intercept stage: a session that never
  // intercepts pays a null pointer for them.
  struct TEditMarks {
    std::uint64_t Out = 0;
    std::uint64_t Base = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> Edits;
  };
  std::unique_ptr<TEditMarks> Marks[2];

  // Info.State after a side's end: from relaying on, the state follows from how each side has
  // ended. Resolving, connecting and failed are set where they happen.
  void UpdateShownState() noexcept;

private:
  TRelayState FState = rsResolving;
};
