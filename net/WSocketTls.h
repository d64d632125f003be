// Internal to net/: the TLS state of one session of a TCustomWSocket (see WSocketTls.cpp).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "net/WSocketTypes.h"
#include "tls/TlsEngine.h"

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
};
