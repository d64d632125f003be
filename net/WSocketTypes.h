// Public. The socket components' enumerations, option sets, messages and every event type.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/Component.h"
#include "platform/Exception.h"
#include "platform/Messages.h"

enum TSocketState : std::uint8_t {
  wsInvalidState = 0,
  wsOpened = 1,
  wsBound = 2,
  wsConnecting = 3,
  wsConnected = 4,
  wsAccepting = 5,
  wsListening = 6,
  wsClosed = 7,
};

enum TSocketSendFlags { wsSendNormal, wsSendUrgent };

enum TSocketLingerOnOff { wsLingerOff = 0, wsLingerOn = 1, wsLingerNoSet = 2 };

// wsoNoReceiveLoop: one OnDataAvailable per read notification (see ReceiveLoop).
// wsoAllowHalfOpen: the peer's orderly end of stream raises OnPeerShutdown and leaves the socket
//   connected and able to send; the component closes itself once its own send side is shut too.
// wsoTcpNoDelay: TCP_NODELAY on the connection, set when Connect makes the socket or Dup adopts
//   an accepted one.
enum TWSocketOption : std::uint32_t { wsoNoReceiveLoop = 0, wsoAllowHalfOpen = 1, wsoTcpNoDelay = 2 };

// A set of TWSocketOption.
class TWSocketOptions {
public:
  constexpr TWSocketOptions() = default;
  constexpr TWSocketOptions(std::initializer_list<TWSocketOption> options) {
    for (TWSocketOption o : options) FBits |= Bit(o);
  }
  constexpr bool Contains(TWSocketOption o) const { return (FBits & Bit(o)) != 0; }
  constexpr TWSocketOptions With(TWSocketOption o) const { return FromBits(FBits | Bit(o)); }
  constexpr TWSocketOptions Without(TWSocketOption o) const { return FromBits(FBits & ~Bit(o)); }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr bool operator==(const TWSocketOptions&) const = default;

private:
  static constexpr std::uint32_t Bit(TWSocketOption o) { return 1u << static_cast<std::uint32_t>(o); }
  static constexpr TWSocketOptions FromBits(std::uint32_t bits) {
    TWSocketOptions s;
    s.FBits = bits;
    return s;
  }
  std::uint32_t FBits = 0;
};

enum TSocksAuthentication { socksNoAuthentication, socksAuthenticateUsercode };

enum TSocksAuthState { sasBegun = 0, sasAccepted = 1, sasFailed = 2, sasNotNeeded = 3 };

// The component messages: the platform's first user message number plus an offset.
constexpr platform::UINT MsgSocketEvent = platform::WM_USER + 1;     // 0x401
constexpr platform::UINT MsgHostByNameDone = platform::WM_USER + 2;  // 0x402
constexpr platform::UINT MsgHostByAddrDone = platform::WM_USER + 3;  // 0x403
constexpr platform::UINT MsgCloseLater = platform::WM_USER + 4;      // 0x404
constexpr platform::UINT MsgFreeLater = platform::WM_USER + 5;       // 0x405
constexpr platform::UINT MsgTestException = platform::WM_USER + 6;   // 0x406
constexpr platform::UINT MsgTlsClose = platform::WM_USER + 7;        // 0x407
constexpr platform::UINT MsgLineModeData = platform::WM_USER + 0x14; // 0x414
constexpr platform::UINT MsgClientClosed = platform::WM_USER + 0x1E; // 0x41E

// Events. Sender is the component that raises the event; Error is a 16-bit socket-library error
// code, 0 for success. An unassigned event is skipped.
using TNotifyEvent = std::function<void(TComponent* Sender)>;
using TDataAvailable = std::function<void(TComponent* Sender, std::uint16_t Error)>;
using TDataSent = std::function<void(TComponent* Sender, std::uint16_t Error)>;
using TSendData = std::function<void(TComponent* Sender, std::int32_t BytesSent)>;
using TSessionClosed = std::function<void(TComponent* Sender, std::uint16_t Error)>;
using TPeerShutdown = std::function<void(TComponent* Sender, std::uint16_t Error)>;
using TSessionAvailable = std::function<void(TComponent* Sender, std::uint16_t Error)>;
using TSessionConnected = std::function<void(TComponent* Sender, std::uint16_t Error)>;
using TDnsLookupDone = std::function<void(TComponent* Sender, std::uint16_t Error)>;
using TChangeState =
    std::function<void(TComponent* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TComponent* Sender, Exception& E, bool& CanClose)>;
using TLineLimitEvent =
    std::function<void(TComponent* Sender, std::int32_t RcvdLength, bool& ClearData)>;
using TSocksErrorEvent =
    std::function<void(TComponent* Sender, std::int32_t Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TComponent* Sender, TSocksAuthState AuthState)>;

// TLS on a connection (StartTls): the outcome of its handshake, 0 when complete, else one of the
// codes below; the reason is the component's TlsErrorText().
using TTlsHandshakeEvent = std::function<void(TComponent* Sender, std::uint16_t Error)>;
// The TLS layer's codes, in OnTlsHandshake and in the OnSessionClosed of the close that follows a
// failure: the handshake failed (our alert, or the peer's), or a fatal error came after it (a bad
// record, a fatal alert).
constexpr std::uint16_t TlsHandshakeFailed = 20101;
constexpr std::uint16_t TlsConnectionFailed = 20102;

// How the peer ended its side of a TLS stream: not yet, with close_notify, or with a transport
// end that no close_notify came before (a truncation: what it sent last may be missing).
enum TTlsPeerEnd : std::uint8_t { tpeOpen = 0, tpeCloseNotify = 1, tpeTruncated = 2 };
