// Internal to net/: the TLS state of one session of a TCustomWSocket (see WSocketTls.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/WSocketTypes.h"
#include "platform/Messages.h"
#include "tls/TlsEngine.h"

// The timer that gives an idle TLS connection's buffers back (the reset close's is 1).
constexpr platform::UINT_PTR kTlsIdleTimer = 2;
constexpr platform::UINT kTlsIdleMs = 1000;

struct TSocketTls {
  std::unique_ptr<TTlsEngine> Engine;
  std::string PendingPlain;        // plaintext sent before the handshake completed
  std::uint64_t PlainRead = 0;     // plaintext bytes the users have read
  bool InLoop = false;             // the read loop runs a handler
  bool ReadPosted = false;         // a read notification to ourselves is queued
  bool HandshakeReported = false;  // OnTlsHandshake has been raised
  bool CloseNotifyWanted = false;  // Shutdown came before the handshake completed
  bool CloseWhenShut = false;      // a failure: close once the alert has gone
  std::uint16_t FailCode = 0;
  TTlsPeerEnd PeerEnd = tpeOpen;
  // Bytes moved either way count as activity; a second of none gives the buffers back.
  std::uint64_t Activity = 0;
  std::uint64_t ActivitySeen = 0;
  bool IdleTimerSet = false;
};
