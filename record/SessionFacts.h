// Public. The facts that the relay, the record and the replay share about entries and sessions:
// which way an entry's bytes went, where they sit in their stream, what a session is doing and how
// each side ended. Plain values, no toolkit; the relay writes them, the record keeps them, the
// windows and the writers read them.
#pragma once

#include <cstdint>
#include <string>

#include "platform/Colors.h"

// Which way an entry's body went. Entries that carry no relayed bytes have edNone.
enum TEntryDirection : std::uint8_t {
  edNone = 0,
  edFromLocal = 1,   // from the local client, on its way to the remote side
  edFromRemote = 2,  // from the remote side, on its way to the local client
};

// Where an entry comes from, beyond its title, colour and body.
struct TEntrySource {
  std::uint64_t Session = 0;  // the session's number, unique for the program's run; 0: none
  TEntryDirection Direction = edNone;
  std::uint64_t Offset = 0;  // of the body's first byte in that direction's stream
  // The body went into the session from the user (sent, resent, or an intercepted chunk as edited),
  // not from the peer on the other side; it is part of that direction's stream all the same.
  bool Injected = false;
};

// What a session is doing, as a list of sessions shows it.
enum TSessionState : std::uint8_t {
  ssResolving = 0,   // looking the remote address up
  ssConnecting = 1,  // the outgoing connection is being made
  ssRelaying = 2,    // both directions open
  ssLocalEnded = 3,  // the local client has ended its stream; the remote side still sends
  ssRemoteEnded = 4, // the remote side has ended its stream; the local client still sends
  ssClosed = 5,      // both directions ended in order
  ssReset = 6,       // a side reset the connection
  ssFailed = 7,      // the lookup or the connection failed (Reason says why)
};

// How one side's stream ended.
enum TStreamEnd : std::uint8_t {
  seOpen = 0,   // not ended (yet)
  seFinished = 1,  // an orderly end of stream
  seReset = 2,  // a reset
};

// The facts of one session. Byte counts are kept by whoever records the entries; a writer of
// SessionChanged may leave them 0.
struct TSessionInfo {
  std::uint64_t Id = 0;
  TColor Color = clBlack;
  std::string LocalAddr;  // the local client's address and port
  std::uint16_t LocalPort = 0;
  std::string RemoteHost;  // the remote address as typed
  std::string RemoteAddr;  // the address connected to; empty until known
  std::uint16_t RemotePort = 0;
  std::int64_t StartUs = 0;      // wall clock, microseconds since the Unix epoch
  std::int64_t ConnectedUs = 0;  // 0 until the outgoing connection is up
  std::int64_t EndUs = 0;        // 0 while open
  TSessionState State = ssResolving;
  TStreamEnd LocalEnd = seOpen;   // how the local client ended its stream
  TStreamEnd RemoteEnd = seOpen;  // how the remote side ended its stream
  std::uint64_t BytesFromLocal = 0;
  std::uint64_t BytesFromRemote = 0;
  std::uint64_t Injected = 0;  // entries of bytes injected into either direction (kept by the recorder)
  std::string Reason;  // why a session failed or was cut; empty otherwise
  // Each side's TLS, as a list shows it: empty while it is plain TCP; "handshake" while one runs;
  // then the version and the application protocol ("TLSv1.3 h2"), or "failed".
  std::string LocalTls;
  std::string RemoteTls;
  // The fault that ended the session or its stream toward one side (the title of its entry, e.g.
  // "Fault: reset after 1000 bytes toward Remote"); empty while no fault has.
  std::string Fault;
};

// Whether a session is still open: not ended, neither closed nor reset nor failed.
inline bool SessionOpen(const TSessionInfo& Info) noexcept {
  return Info.EndUs == 0 && Info.State != ssClosed && Info.State != ssReset && Info.State != ssFailed;
}
