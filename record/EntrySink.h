// Public. What the relay writes to: entries (a title, a colour and a body, as the log window has
// always taken them) and the facts of each session. The log window implements it over the traffic
// record; the headless mode implements it over standard output. No toolkit here.
//
// A writer sets the colour and the title, then adds the entry; AddEntry changes neither, so a
// writer sets the title before each entry and the colour whenever it may differ from the last.
// Everything is called from the loop thread, one call at a time.
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
  std::string Reason;  // why a session failed or was cut; empty otherwise
  // Each side's TLS, as a list shows it: empty while it is plain TCP; "handshake" while one runs;
  // then the version and the application protocol ("TLSv1.3 h2"), or "failed".
  std::string LocalTls;
  std::string RemoteTls;
};

class TEntrySink {
public:
  virtual ~TEntrySink() = default;

  virtual void SetEntryColor(TColor Value) = 0;
  virtual void SetEntryTitle(const std::string& Value) = 0;
  // Appends one entry built from the title, the colour and Body (any bytes; may be empty).
  virtual void AddEntry(const std::string& Body) = 0;
  // The same, for an entry of a session: which session, which way, where in the stream.
  virtual void AddEntry(const std::string& Body, const TEntrySource& Source) = 0;
  // A session's facts changed: it began, its state moved, its remote address became known.
  virtual void SessionChanged(const TSessionInfo& Info) { (void)Info; }
};
