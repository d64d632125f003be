// Internal to relay/: one relay session's state, shared by the engine's files.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "relay/Relay.h"
#include "tls/TlsClientHello.h"

// A session's TLS: where its local client's hello stands and what each leg has done.
struct TSessionTls {
  // Looking for the local client's ClientHello: from the first byte (local TLS), or at the start
  // of every chunk (detection), until TLS is on.
  bool Watching = false;
  bool Collecting = false;  // the bytes in Hello may be a hello not yet whole
  bool HelloHeld = false;   // a whole hello waits in Hello for the remote leg
  std::string Hello;        // the client's ciphertext from its hello on, not yet given to TLS
  TClientHello Parsed;
  bool RemoteStarted = false;
  bool LocalStarted = false;
  bool Failed = false;       // a handshake failed: the session ends without a reset
  bool HelloNoted = false;   // a hello with only remote TLS on has been logged
};

// Both sockets of a session carry its number as their Tag; the engine finds the session from
// whichever socket raised an event.
struct TRelay::TSession {
  std::uint64_t Id = 0;
  TClient* Client = nullptr;  // the local side; null once it has gone
  TWSocket* Remote = nullptr;  // the remote side; null once it has gone
  // Once the client has gone: its colour, and local data still held for a Remote that connects.
  TColor Color = clBlack;
  std::string Pending;
  bool Draining = false;   // Remote is owned by the engine and delivers what the client left
  bool Cut = false;        // closed by Cancel: Remote goes with its client, whatever it still holds
  bool Connected = false;  // Remote's connection was made
  // What the local client did before Remote was connected, passed on once it is.
  TStreamEnd LocalEndToPass = seOpen;
  // The addresses of the remote host, tried in the resolver's order until one connects; why each
  // one tried so far failed.
  std::string RemotePort;
  std::vector<std::string> Addresses;
  std::size_t Attempt = 0;
  std::vector<std::string> Failures;
  bool NextAttemptPosted = false;
  std::uint16_t OutgoingPort = 0;  // Remote's own local address and port, once it connects
  std::string OutgoingAddr;
  std::uint64_t FromLocal = 0;  // bytes of each direction written to the log so far
  std::uint64_t FromRemote = 0;
  // Line mode: the lines of one read, each logged on its own, leave together once the last of them
  // has been read.
  std::string ToRemote, ToLocal;
  // Entries of the local side that wait for the local bytes held before them (see LocalEntry).
  std::vector<const char*> HeldLocalEntries;
  TSessionInfo Info;
  std::unique_ptr<TSessionTls> Tls;  // null while the relay has no TLS setting

  TColor LogColor() const { return Client != nullptr ? Client->LogColor : Color; }
};

