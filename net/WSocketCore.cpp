// TCustomWSocket: creation and destruction, the notification window, message dispatch, state
// changes, closing in its several ways (half-closes and the reset close included), error reporting
// and background exceptions.
//
// Ends of a connection, per session:
//
//   Shutdown(1|2) --chain holds bytes--> FShutdownWhenSent --chain drained (TryToSend)--+
//        |                                                                              v
//        +--chain empty-------------------------------------------------------> FSendShutDone
//   FD_CLOSE(0) with wsoAllowHalfOpen --> OnPeerShutdown --> FPeerEnded
//   FSendShutDone and FPeerEnded, in either order --> orderly close, OnSessionClosed(0)
//   CloseWithReset --> FResetWhenSent --chain drained, SIOCOUTQ 0 (timer)--> linger {1, 0} close
#include <string>

#include "net/WSocket.h"
#include "net/WSocketTls.h"
#include "net/WinsockBinding.h"
#include "platform/MessageLoop.h"
#include "platform/WinsockErrors.h"

using namespace platform;

namespace {

const char* const kSocketWindowClass = "XSocketWindowClass";

// CloseWithReset looks at the send queues this often.
constexpr UINT_PTR kResetTimer = 1;
constexpr UINT kResetCheckMs = 5;

LRESULT SocketWindowProc(HWND Wnd, UINT Msg, WPARAM WParam, LPARAM LParam) {
  auto* socket = reinterpret_cast<TCustomWSocket*>(GetWindowLongPtr(Wnd));
  if (socket == nullptr) return DefWindowProc(Wnd, Msg, WParam, LParam);
  TMessage message{Msg, WParam, LParam, 0};
  if (Msg == MsgFreeLater) {
    socket->HandleNotifyMessage(message);  // may destroy it: no scope may outlive it here
    return message.Result;
  }
  TCustomWSocket::THandlerScope running(*socket);
  socket->HandleNotifyMessage(message);
  return message.Result;
}

HWND CreateSocketWindow() {
  if (!IsWindowClassRegistered(kSocketWindowClass))
    RegisterWindowClass(kSocketWindowClass, SocketWindowProc);
  return CreateNotifyWindow(kSocketWindowClass);
}

}  // namespace

std::string FormatMessageArgs(const std::string& Fmt, const std::vector<std::string>& Args) {
  std::string out;
  std::size_t next = 0;
  for (std::size_t i = 0; i < Fmt.size(); ++i) {
    if (Fmt[i] == '%' && i + 1 < Fmt.size()) {
      char c = Fmt[i + 1];
      if (c == '%') {
        out += '%';
        ++i;
        continue;
      }
      if (c == 's' || c == 'd') {
        if (next < Args.size()) out += Args[next++];
        ++i;
        continue;
      }
    }
    out += Fmt[i];
  }
  return out;
}

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner) {
  // A window that cannot be created is not reported here: the first WSAAsyncSelect made for this
  // component fails and is reported by the operation that made it.
  FNotifyWindow = CreateSocketWindow();
  if (FNotifyWindow != 0) SetWindowLongPtr(FNotifyWindow, reinterpret_cast<std::intptr_t>(this));
  ResetDefaultsOfThisLevel();
  ++winsock::WinsockUsers;
}

TCustomWSocket::~TCustomWSocket() { BeforeDestruction(); }

void TCustomWSocket::BeforeDestruction() noexcept {
  if (FDestructionDone) return;
  FDestructionDone = true;
  Destroying();
  try {
    CancelDnsLookup();  // raises no OnDnsLookupDone: the component is being destroyed
  } catch (...) {
  }
  if (FState != wsClosed) {
    try {
      Close();  // OnChangeState only; OnSessionClosed is skipped while destroying
    } catch (...) {
    }
  }
  if (--winsock::WinsockUsers <= 0) {
    try {
      winsock::UnloadWinsock();
    } catch (...) {
    }
    winsock::WinsockUsers = 0;
  }
  DiscardSendBuffer();
  FDnsResultList.clear();
  if (FNotifyWindow != 0) {
    SetWindowLongPtr(FNotifyWindow, 0);
    DestroyNotifyWindow(FNotifyWindow);  // messages still queued for it are lost
    FNotifyWindow = 0;
  }
}

void TCustomWSocket::HandleNotifyMessage(TMessage& Msg) {
  try {
    switch (Msg.Msg) {
      case MsgSocketEvent:
        MsgSocketEventHandler(Msg);
        break;
      case MsgHostByNameDone:
        MsgHostByNameDoneHandler(Msg);
        break;
      case MsgHostByAddrDone:
        MsgHostByAddrDoneHandler(Msg);
        break;
      case MsgCloseLater:
        Close();
        break;
      case MsgTlsClose:
        TlsCloseFailed();
        break;
      case MsgFreeLater:
        if (HandlerRunning()) {
          // A handler of this component pumped the loop: it still runs, so the object must live.
          FFreeDeferred = true;
          return;
        }
        delete this;  // as the owner would; nothing of this object may be touched afterwards
        return;
      case WM_TIMER:
        if (Msg.WParam == kResetTimer) ResetIfAllDelivered();
        if (Msg.WParam == kTlsIdleTimer) TlsIdleCheck();
        break;
      case MsgTestException:
        throw ESocketException("Test exception in WSocket");
      default:
        Msg.Result = DefWindowProc(FNotifyWindow, Msg.Msg, Msg.WParam, Msg.LParam);
        break;
    }
  } catch (Exception& E) {
    OfferBackgroundException(E);
  }
}

void TCustomWSocket::MsgSocketEventHandler(TMessage& Msg) {
  // A notification about another handle (a socket closed or replaced since), or one queued before
  // Pause, has no effect.
  if (Msg.WParam != FSocketHandle || FPaused) return;
  std::uint16_t Event = LoWord(Msg.LParam);
  const std::uint16_t Error = HiWord(Msg.LParam);
  // Queued before PauseReceiving (the close of a drain in steps is posted by the component itself).
  if (FReceivingPaused) Event &= static_cast<std::uint16_t>(~(FD_READ | FD_CLOSE));

  if (Event & FD_CONNECT) {
    if (FState != wsConnected) {
      ChangeState(wsConnected);
      NotifySessionConnected(Error);
      if (Error != 0 && FState != wsClosed) Close();
    }
  }
  if (Event & FD_READ) {
    if (FState != wsConnected) {
      ChangeState(wsConnected);
      NotifySessionConnected(Error);
    }
    if (FTls != nullptr)
      TlsReceiveLoop(Error, FComponentOptions);
    else
      ReceiveLoop(Error, FComponentOptions);
  }
  if (Event & FD_WRITE) {
    TryToSend();
    if (FAllSent) NotifyDataSent(Error);
    CloseIfBothSidesEnded();  // the drain may have shut the send side
  }
  if (Event & FD_ACCEPT) NotifySessionAvailable(Error);
  // The read above may have paused receiving: the close then waits for ResumeReceiving.
  if ((Event & FD_CLOSE) && !FReceivingPaused && FState != wsConnecting) HandleCloseEvent(Error);
}

// Every byte still waiting is offered before the close is reported. A component that takes one
// read per notification (wsoNoReceiveLoop) gets them one notification at a time, with the close
// notification posted again behind each: a peer that sent megabytes and closed must not hold the
// loop, and the windows, until all of them are read. A half-open session takes the peer's orderly
// end as the end of its receiving side alone.
void TCustomWSocket::HandleCloseEvent(std::uint16_t Error) {
  if (FTls != nullptr) {
    if (!TlsDrainAtClose(Error)) return;
  } else if (FComponentOptions.Contains(wsoNoReceiveLoop)) {
    ReceiveLoop(0, FComponentOptions);
    if (FReceivingPaused) return;  // posted again when receiving resumes
    std::uint32_t waiting = 0;
    if (FSocketHandle != INVALID_SOCKET && !FPaused &&
        winsock::ioctlsocket(FSocketHandle, WS_FIONREAD, &waiting) == 0 && waiting > 0) {
      PostMessage(FNotifyWindow, MsgSocketEvent, FSocketHandle, MakeLong(FD_CLOSE, Error));
      return;
    }
  } else {
    ReceiveLoop(0, FComponentOptions.Without(wsoNoReceiveLoop));
  }
  if (Error == 0 && FComponentOptions.Contains(wsoAllowHalfOpen) && FState == wsConnected &&
      FSocketType == WS_SOCK_STREAM && CanStayHalfOpen()) {
    PeerEnded();  // a repeat of the end (a Resume selects anew) changes nothing
    return;
  }
  if (!FClosedEventRaised) {
    FClosedEventRaised = true;
    NotifySessionClosed(Error);
  }
  if (FState != wsClosed) Close();
}

void TCustomWSocket::ChangeState(TSocketState NewState) {
  TSocketState old = FState;
  FState = NewState;
  NotifyChangeState(old, NewState);
}

void TCustomWSocket::ResetDefaults() { ResetDefaultsOfThisLevel(); }

void TCustomWSocket::ResetDefaultsOfThisLevel() {
  FSockAddr = TSockAddrInet{};
  FSockAddr.ss_family = WS_AF_INET;
  FAddressFamily = WS_AF_INET;
  FAddrSet = false;
  FAddrReady = false;
  FPortSet = false;
  FPortReady = false;
  FProtoReady = false;
  FLocalPortReady = false;
  FProtoSet = true;
  FProtoNumber = WS_IPPROTO_TCP;
  FProto = "tcp";
  FSocketType = WS_SOCK_STREAM;
  FLocalPort = "0";
  FLocalAddr = "0.0.0.0";
  FLingerOnOff = wsLingerOn;
  FLingerTimeout = 0;
  FSocketHandle = INVALID_SOCKET;
  FState = wsClosed;
  FAllSent = true;
  FPaused = false;
  FReceivingPaused = false;
  FReadCount = 0;
  FClosedEventRaised = false;
  FFlushTimeout = 60;
  FSendShutRequested = false;
  FShutdownWhenSent = false;
  FSendShutDone = false;
  FPeerEnded = false;
  if (FResetWhenSent) KillTimer(FNotifyWindow, kResetTimer);
  FResetWhenSent = false;
  if (FTls != nullptr && FTls->IdleTimerSet) KillTimer(FNotifyWindow, kTlsIdleTimer);
  FTls.reset();
}

void TCustomWSocket::CloseAndNotify(bool Shut, std::uint16_t Error) {
  if (FSocketHandle == INVALID_SOCKET) {
    if (FState != wsClosed) {
      ChangeState(wsClosed);
      ResetDefaults();
    }
    return;
  }
  if (FState == wsClosed) return;
  // At once, not through Shutdown: a close does not wait for the send chain. What the chain still
  // holds stays there unsent, also while a lingering close below pumps FD_WRITE notifications.
  if (Shut) {
    if (FTls != nullptr) TlsCloseNotifyAtClose();
    winsock::shutdown(FSocketHandle, SD_SEND);
    FSendShutDone = true;
  }

  for (;;) {
    if (winsock::closesocket(FSocketHandle) == 0) break;
    int code = winsock::WSAGetLastError();
    FLastError = code;
    if (code == WSANOTINITIALISED) break;
    if (code != WSAEWOULDBLOCK) {
      FSocketHandle = INVALID_SOCKET;
      ReportSocketError("Disconnect (closesocket)");
      return;
    }
    PumpMessages();  // a lingering close: let the loop run, then try again
  }
  FSocketHandle = INVALID_SOCKET;

  ChangeState(wsClosed);
  if (!IsDestroying() && !FClosedEventRaised) {
    FClosedEventRaised = true;
    NotifySessionClosed(Error);
  }
  try {
    ResetDefaults();
  } catch (...) {
  }
}

void TCustomWSocket::Close() { CloseAndNotify(true, 0); }

void TCustomWSocket::CloseLater() { PostMessage(FNotifyWindow, MsgCloseLater, 0, 0); }

void TCustomWSocket::FreeLater() { PostMessage(FNotifyWindow, MsgFreeLater, 0, 0); }

void TCustomWSocket::Abort() {
  CancelDnsLookup();
  DiscardSendBuffer();
  if (FState == wsConnected && FProtoNumber == WS_IPPROTO_TCP) {
    FLingerOnOff = wsLingerOff;
    ApplyLinger();
  }
  CloseAndNotify(false, 0);
}

void TCustomWSocket::Shutdown(std::int32_t How) {
  if (FSocketHandle == INVALID_SOCKET) return;
  if (FState != wsConnected || (How != SD_SEND && How != SD_BOTH)) {
    winsock::shutdown(FSocketHandle, How);  // nothing here depends on the result
    return;
  }
  FSendShutRequested = true;
  if (FTls != nullptr) TlsAfterShutdown();  // close_notify behind the plaintext, or once it can go
  if (BufferedSendBytes() > 0 || (FTls != nullptr && !TlsMayEndSendSide())) {
    // The chain continues the kernel's send buffer: its bytes go before the end of stream, as the
    // kernel's own do. The receive side of Shutdown(2) needs no wait.
    if (How == SD_BOTH) winsock::shutdown(FSocketHandle, SD_RECEIVE);
    FShutdownWhenSent = true;
    if (FTls != nullptr) {
      TryToSend();  // the close_notify just queued
      CloseIfBothSidesEnded();
    }
    return;
  }
  FShutdownWhenSent = false;
  if (!EndsWithTheClose()) winsock::shutdown(FSocketHandle, How);
  FSendShutDone = true;
  CloseIfBothSidesEnded();
}

// The peer has ended its stream and nothing of it waits unread (no byte comes after an end), so
// the orderly close that follows a shutdown at once sends the same end of stream, after the same
// bytes, as the shutdown would: the shutdown can be left to it. With unread bytes the close would
// reset instead; under TLS the close_notify goes through the layer first.
bool TCustomWSocket::EndsWithTheClose() {
  if (!FPeerEnded || FTls != nullptr || FSocketType != WS_SOCK_STREAM) return false;
  std::uint32_t waiting = 0;
  return winsock::ioctlsocket(FSocketHandle, WS_FIONREAD, &waiting) == 0 && waiting == 0;
}

void TCustomWSocket::ShutdownSendSide() {
  if (FTls != nullptr && !TlsMayEndSendSide()) return;  // close_notify first, once the handshake is done
  FShutdownWhenSent = false;
  winsock::shutdown(FSocketHandle, SD_SEND);
  FSendShutDone = true;
  // After a TLS failure the alert has gone: the close follows from the loop.
  if (FTls != nullptr && FTls->CloseWhenShut) PostMessage(FNotifyWindow, MsgTlsClose, 0, 0);
}

void TCustomWSocket::PeerEnded() {
  if (FPeerEnded) return;
  FPeerEnded = true;
  NotifyPeerShutdown(0);
  CloseIfBothSidesEnded();
}

void TCustomWSocket::CloseIfBothSidesEnded() {
  if (!FPeerEnded || !FSendShutDone || FState != wsConnected || FSocketHandle == INVALID_SOCKET) return;
  // Both ends of stream have been sent: an orderly close, whatever the linger setting, so that
  // the kernel still delivers what it holds (a linger time of 0 would throw it away with a reset).
  TLinger graceful;
  winsock::setsockopt(FSocketHandle, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&graceful),
                      sizeof graceful);
  CloseAndNotify(false, 0);
}

void TCustomWSocket::CloseWithReset() {
  if (FState == wsClosed && FSocketHandle == INVALID_SOCKET) return;
  FSendShutRequested = true;  // nothing more may be queued
  FShutdownWhenSent = false;  // a reset, not an end of stream, follows the last byte
  FResetWhenSent = true;
  ResetIfAllDelivered();
}

void TCustomWSocket::ResetIfAllDelivered() {
  if (!FResetWhenSent) return;
  if (FState == wsConnected && FSocketType == WS_SOCK_STREAM && FSocketHandle != INVALID_SOCKET) {
    std::uint32_t unacknowledged = 0;
    if (BufferedSendBytes() > 0 ||
        (winsock::ioctlsocket(FSocketHandle, WS_SIOCOUTQ, &unacknowledged) == 0 && unacknowledged > 0)) {
      // The chain drains on FD_WRITE; the timer only looks.
      SetTimer(FNotifyWindow, kResetTimer, kResetCheckMs);
      return;
    }
  }
  KillTimer(FNotifyWindow, kResetTimer);
  FResetWhenSent = false;
  if (FSocketHandle != INVALID_SOCKET) {
    TLinger reset;
    reset.l_onoff = 1;
    reset.l_linger = 0;
    winsock::setsockopt(FSocketHandle, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&reset),
                        sizeof reset);
  }
  CloseAndNotify(false, 0);
}

void TCustomWSocket::ApplyTcpNoDelay() {
  if (!FComponentOptions.Contains(wsoTcpNoDelay) || FSocketType != WS_SOCK_STREAM) return;
  std::int32_t on = 1;
  if (winsock::setsockopt(FSocketHandle, WS_IPPROTO_TCP, WS_TCP_NODELAY, reinterpret_cast<const char*>(&on),
                          sizeof on) != 0)
    ReportSocketError("setsockopt(TCP_NODELAY)");
}

void TCustomWSocket::ApplyLinger() {
  if (FLingerOnOff == wsLingerNoSet) return;
  if (FSocketHandle == INVALID_SOCKET) {
    RaiseSocketException("Cannot set linger option at this time");
    return;
  }
  TLinger record;
  record.l_onoff = static_cast<std::uint16_t>(FLingerOnOff);
  record.l_linger = static_cast<std::uint16_t>(FLingerTimeout & 0xFFFF);
  if (winsock::setsockopt(FSocketHandle, WS_SOL_SOCKET, WS_SO_LINGER,
                          reinterpret_cast<const char*>(&record), sizeof record) != 0)
    ReportSocketError("setsockopt(SO_LINGER)");
}

void TCustomWSocket::Pause() {
  FPaused = true;
  winsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, 0, 0);
}

void TCustomWSocket::Resume() {
  FPaused = false;
  winsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent,
                          FReceivingPaused ? FEventMask & ~(FD_READ | FD_CLOSE) : FEventMask);
  if (FTls != nullptr && !FReceivingPaused) TlsResumed();
}

void TCustomWSocket::PauseReceiving() {
  if (FReceivingPaused || FSocketHandle == INVALID_SOCKET) return;
  FReceivingPaused = true;
  if (!FPaused)
    winsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, FEventMask & ~(FD_READ | FD_CLOSE));
}

void TCustomWSocket::ResumeReceiving() {
  if (!FReceivingPaused) return;
  FReceivingPaused = false;
  // Selecting anew posts what already holds: data waiting, the peer's end.
  if (!FPaused && FSocketHandle != INVALID_SOCKET) {
    winsock::WSAAsyncSelect(FSocketHandle, FNotifyWindow, MsgSocketEvent, FEventMask);
    if (FTls != nullptr) TlsResumed();  // plaintext the layer holds is no news to the kernel
  }
}

void TCustomWSocket::PumpMessages() {
  THandlerScope running(*this);  // the caller goes on with this object after the pump
  if (!FMultiThreaded) {
    ProcessMessages();
    return;
  }
  TMsg msg;
  while (PeekMessage(msg)) {
    if (msg.message == WM_QUIT) {
      FTerminated = true;  // taken out of the queue, not dispatched
      continue;
    }
    TranslateMessage(msg);
    DispatchMessage(msg);
  }
}

void TCustomWSocket::WaitUntilClosed() {
  while (FSocketHandle != INVALID_SOCKET && FState != wsClosed) {
    PumpMessages();
    std::uint32_t waiting = 0;
    if (winsock::ioctlsocket(FSocketHandle, WS_FIONREAD, &waiting) == SOCKET_ERROR) break;
    if (waiting > 0) NotifyDataAvailable(0);
    if (FSocketHandle == INVALID_SOCKET) break;
    char none = 0;
    if (NetRecv(&none, 0, 0) <= 0) {
      FLastError = winsock::WSAGetLastError();
      if (FLastError != WSAEWOULDBLOCK) break;
    }
    PumpMessages();
  }
}

void TCustomWSocket::RaiseSocketException(const std::string& Msg) {
  if (OnError) {
    NotifyError();
    return;
  }
  throw ESocketException(Msg);
}

void TCustomWSocket::RaiseSocketExceptionFmt(const std::string& Fmt,
                                             const std::vector<std::string>& Args) {
  RaiseSocketException(FormatMessageArgs(Fmt, Args));
}

void TCustomWSocket::OfferBackgroundException(Exception& E) {
  THandlerScope running(*this);
  bool CanClose = true;
  if (OnBgException) {
    try {
      OnBgException(this, E, CanClose);
    } catch (...) {
    }
  }
  if (CanClose) {
    try {
      Abort();
    } catch (...) {
    }
  }
}

void TCustomWSocket::ReportSocketError(const std::string& Context) {
  // Read first, so that the code is the failed call's.
  const int Code = winsock::WSAGetLastError();
  std::string Message =
      "Error " + std::to_string(Code) + " in function " + Context + "\r\n" + WinsockErrorText(Code);
  if (Code == WSAECONNRESET || Code == WSAENOTCONN) {
    winsock::closesocket(FSocketHandle);
    FSocketHandle = INVALID_SOCKET;
    ChangeState(wsClosed);
  }
  FLastError = Code;
  RaiseSocketException(Message);
}

TCustomWSocket::THandlerScope::~THandlerScope() {
  if (--FSocket.FHandlerDepth > 0 || !FSocket.FFreeDeferred) return;
  FSocket.FFreeDeferred = false;
  PostMessage(FSocket.FNotifyWindow, MsgFreeLater, 0, 0);
}

// ---- the notifications: each raises its event when assigned ----
// Events raised outside the component's own dispatch (inside Close, Send, Connect called by other
// code) count as running handlers too.

bool TCustomWSocket::NotifyDataAvailable(std::uint16_t Error) {
  if (!OnDataAvailable) return false;
  THandlerScope running(*this);
  OnDataAvailable(this, Error);
  return true;
}
void TCustomWSocket::NotifySessionAvailable(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnSessionAvailable) OnSessionAvailable(this, Error);
}
void TCustomWSocket::NotifySessionConnected(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnSessionConnected) OnSessionConnected(this, Error);
}
void TCustomWSocket::NotifySessionClosed(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnSessionClosed) OnSessionClosed(this, Error);
}
void TCustomWSocket::NotifyPeerShutdown(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnPeerShutdown) OnPeerShutdown(this, Error);
}
void TCustomWSocket::NotifyDataSent(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnDataSent) OnDataSent(this, Error);
}
void TCustomWSocket::NotifyChangeState(TSocketState OldState, TSocketState NewState) {
  THandlerScope running(*this);
  if (OnChangeState) OnChangeState(this, OldState, NewState);
}
void TCustomWSocket::NotifyDnsLookupDone(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnDnsLookupDone) OnDnsLookupDone(this, Error);
}
void TCustomWSocket::NotifyError() {
  THandlerScope running(*this);
  if (OnError) OnError(this);
}
void TCustomWSocket::NotifySendData(std::int32_t BytesSent) {
  THandlerScope running(*this);
  if (OnSendData) OnSendData(this, BytesSent);
}
