// Public. Unit WSocket: the socket components.
//
//   TComponent
//     TCustomWSocket        states, events, dispatch, closing; addressing, lookups, connect,
//                           listen, accept; the send chain; the receive primitives
//       TCustomSocksWSocket SOCKS client negotiation
//         TCustomLineWSocket line mode
//           TCustomSyncWSocket synchronous waits
//             TWSocket      the component the program uses
//
// One component wraps one IPv4 or IPv6 socket (TCP or UDP; the family follows Addr) in non-blocking
// mode, driven by the event loop of
// the one thread: the socket library posts readiness and lookup answers to the component's
// notification window and HandleNotifyMessage turns them into state changes and events. A
// component is never destroyed inside one of its own handlers: FreeLater and CloseLater post, and
// a MsgFreeLater that a pump delivers while a handler of the component runs (or while the
// component itself pumps) waits until that has returned.
//
// Ending the sending direction, and the connection:
// - Shutdown(1) and Shutdown(2) shut the send side only once the send chain has drained: every
//   queued byte reaches the peer before the end of stream. From the call on, Send fails with
//   10058 as the socket call would. Shutdown(0) acts at once.
// - With wsoAllowHalfOpen in ComponentOptions, the peer's orderly end of stream is not a close:
//   every byte still waiting is offered (the last unterminated line too, in line mode), then
//   OnPeerShutdown(Sender, 0) is raised and the socket stays wsConnected and can still send. Once
//   its own send side is shut as well (Shutdown after the drain), in either order, the component
//   closes itself: OnChangeState, OnSessionClosed(0), as Close; that close is orderly whatever
//   the linger setting, so the kernel still delivers what it holds. A reset by the peer, also
//   after its end of stream, ends the session: remaining data offered, then
//   OnSessionClosed(10054).
// - CloseWithReset ends the connection with a reset instead of an end of stream, but only once
//   every queued byte has been acknowledged by the peer's kernel (the chain drained, the kernel's
//   send queue empty, looked at every few milliseconds from a timer): the peer reads all of them,
//   then gets ECONNRESET. It raises what Close raises; Send fails with 10058 meanwhile.
// - Close and Abort act at once: bytes still in the chain are not sent.
//
// TLS (StartTls, WSocketTls.cpp): a connected stream socket can be switched to TLS, in either
// role, from its first byte or from any point of the stream. Its users go on calling the same
// operations and get the same events, about the plaintext: OnDataAvailable only when plaintext
// can be read; the send chain carries the records; Shutdown(1) sends close_notify behind the
// queued plaintext, then ends the TCP stream; the peer's close_notify is its end of stream
// (OnPeerShutdown on a half-open session); a TCP end without it is a truncation (TlsPeerEnd); a
// reset stays a reset. OnTlsHandshake tells of the handshake's outcome; a failed one sends its
// alert, then closes with OnSessionClosed(TlsHandshakeFailed). OnSendData counts the bytes
// that reach the network, records included; BufferedSendBytes counts the records queued and the
// plaintext that waits for the handshake. With TLS off, nothing of this runs: one pointer, FTls,
// is null.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "net/SocketException.h"
#include "net/WSockBuf.h"
#include "net/WSocketResolve.h"
#include "net/WSocketTypes.h"
#include "platform/Winsock.h"
#include "tls/TlsEngine.h"

using platform::SOCKET;
using platform::TConstSockAddrPtr;
using platform::TSockAddrIn;
using platform::TSockAddrIn6;
using platform::TSockAddrPtr;
using platform::TSockAddrStorage;
using platform::TSockAddrInet;

struct TSocketTls;  // the TLS state of one session (WSocketTls.h)

// A printf-like formatter for the components' messages: each %s or %d takes the next argument
// (given as text); %% is a percent sign. The format is never taken from user input.
std::string FormatMessageArgs(const std::string& Fmt, const std::vector<std::string>& Args);

class TCustomWSocket : public TComponent {
public:
  explicit TCustomWSocket(TComponent* AOwner);
  ~TCustomWSocket() override;

  // The dispatch of the notification window's messages, the per-session defaults, and the one
  // routine that closes the handle and ends a session.
  virtual void HandleNotifyMessage(platform::TMessage& Msg);
  virtual void ResetDefaults();
  virtual void CloseAndNotify(bool Shut, std::uint16_t Error);
  // Setters that subclasses refine, the count of bytes waiting, binding before connect, one
  // platform send.
  virtual void SetPort(const std::string& Value);
  virtual void SetProto(const std::string& Value);
  virtual std::int32_t RcvdCount();
  virtual void BindLocal();
  virtual std::int32_t NetSend(const char* Data, std::int32_t Len);
  // Reporting: misuse and failures to the caller (OnError or ESocketException), exceptions that
  // escaped a handler to OnBgException.
  virtual void RaiseSocketExceptionFmt(const std::string& Fmt, const std::vector<std::string>& Args);
  virtual void RaiseSocketException(const std::string& Msg);
  virtual void OfferBackgroundException(Exception& E);
  // The notifications: each raises its event when assigned and does nothing else; subclasses
  // override them and call the inherited one. NotifyDataAvailable tells whether a handler ran.
  virtual bool NotifyDataAvailable(std::uint16_t Error);
  virtual void NotifySessionAvailable(std::uint16_t Error);
  virtual void NotifySessionConnected(std::uint16_t Error);
  virtual void NotifySessionClosed(std::uint16_t Error);
  virtual void NotifyDataSent(std::uint16_t Error);
  virtual void NotifyChangeState(TSocketState OldState, TSocketState NewState);
  virtual void NotifyDnsLookupDone(std::uint16_t Error);
  virtual void NotifyError();
  // The platform receives.
  virtual std::int32_t NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags);
  virtual std::int32_t NetRecvFrom(SOCKET Handle, char* Buffer, std::int32_t BufferSize,
                                   std::int32_t Flags, TSockAddrPtr From, std::int32_t& FromLen);
  // Connecting out.
  virtual void Connect();
  // Ending a session: at once, from the loop, or with the component's destruction from the loop.
  virtual void Close();
  virtual void CloseLater();
  virtual void FreeLater();
  virtual void Abort();
  // Pumping waits: until the send chain has drained, until the socket has closed.
  virtual void Flush();
  virtual void WaitUntilClosed();
  // Listening, and taking a pending connection (Dup below adopts it).
  virtual void Listen();
  virtual SOCKET Accept();
  // Reading.
  virtual std::int32_t Receive(void* Buffer, std::int32_t BufferSize);
  virtual std::string ReceiveText();
  virtual std::int32_t ReceiveFrom(void* Buffer, std::int32_t BufferSize, TSockAddrPtr From,
                                   std::int32_t& FromLen);
  // Writing: queued on the send chain (Send, SendText) or one datagram past it (SendTo).
  virtual std::int32_t Send(const void* Data, std::int32_t Len);
  virtual std::int32_t SendTo(TConstSockAddrPtr Dest, std::int32_t DestLen, const void* Data,
                              std::int32_t Len);
  virtual std::int32_t SendText(const std::string& Str);
  // Asynchronous name lookups.
  virtual void DnsLookup(const std::string& HostName);
  virtual void ReverseDnsLookup(const std::string& HostAddr);
  virtual void CancelDnsLookup();
  // The peer's and the socket's own address, and adopting an accepted handle.
  virtual std::string PeerAddr();
  virtual std::string GetPeerPort();
  virtual std::int32_t GetPeerName(TSockAddrPtr Name, std::int32_t NameLen);
  virtual std::string GetBoundPort();
  virtual std::string GetBoundAddr();
  virtual std::int32_t GetSockName(TSockAddrPtr Name, std::int32_t& NameLen);
  virtual void Dup(SOCKET NewHandle);
  // Half-closing (see the header comment), pausing the notifications, pumping the loop.
  virtual void Shutdown(std::int32_t How);
  virtual void Pause();
  virtual void Resume();
  // Flow control: stops and restarts the read and close notifications only, so that the socket
  // goes on sending while its owner holds back what it reads. What arrived meanwhile, and a
  // peer's end behind it, is notified on resuming.
  void PauseReceiving();
  void ResumeReceiving();
  bool ReceivingPaused() const { return FReceivingPaused; }
  virtual void PumpMessages();

  // The ends of a connection that the header comment describes: the close with a reset after the
  // last byte, and the peer's end of stream on a half-open session, raised as OnPeerShutdown
  // unless CanStayHalfOpen says that this session cannot go on without the peer (a SOCKS
  // negotiation cannot).
  virtual void CloseWithReset();
  virtual void NotifyPeerShutdown(std::uint16_t Error);
  virtual bool CanStayHalfOpen() const { return true; }

  // TLS on this connection (see the header comment). StartTls hands the connection to Engine
  // (a client or server engine of the tls library); Initial is ciphertext already read from the
  // stream (a ClientHello that the caller has recognised), taken before anything further. Refused
  // (as a socket exception) unless the socket is a connected stream that can still send, through
  // any SOCKS negotiation, and not on TLS already. TLS stays on until the session ends.
  virtual void StartTls(std::unique_ptr<TTlsEngine> Engine, std::string_view Initial = {});
  virtual void NotifyTlsHandshake(std::uint16_t Error);
  bool TlsActive() const { return FTls != nullptr; }
  bool TlsHandshakeDone() const;
  TTlsInfo TlsInfo() const;          // the facts of the completed handshake
  std::string TlsErrorText() const;  // OpenSSL's reason for the failure; empty while none
  TTlsPeerEnd TlsPeerEnd() const;
  const TTlsEngine* TlsEngine() const;
  // Whether Shutdown(1|2) and Close send close_notify (on unless set off): off, the stream ends
  // as a truncation does, which a relay uses to pass a truncation on as it came.
  bool TlsCloseNotify() const { return FTlsCloseNotify; }
  void SetTlsCloseNotify(bool Value) { FTlsCloseNotify = Value; }

  // Code that runs handlers of this component, or pumps messages on its behalf, holds one of
  // these: while any is alive, MsgFreeLater waits (it is posted again once the outermost has
  // ended), and the server does not dispose of the component.
  class THandlerScope {
  public:
    explicit THandlerScope(TCustomWSocket& S) : FSocket(S) { ++FSocket.FHandlerDepth; }
    ~THandlerScope();
    THandlerScope(const THandlerScope&) = delete;
    THandlerScope& operator=(const THandlerScope&) = delete;

  private:
    TCustomWSocket& FSocket;
  };
  bool HandlerRunning() const { return FHandlerDepth > 0; }

  // The steps of destruction that need the whole object: cancel a pending lookup, close an open
  // socket (raising OnChangeState only), count the component out of the socket library, drop the
  // send chain, destroy the notification window. ~TCustomWSocket runs it; a subclass whose event
  // handlers may use its own members runs it at the end of its own destructor, so that those
  // members still exist while the close raises its events. Runs once.
  void BeforeDestruction() noexcept;

  // Not overridable.
  void NotifySendData(std::int32_t BytesSent);
  void ChangeState(TSocketState NewState);
  void ApplyLinger();
  void ReportSocketError(const std::string& Context);

  // ---- published properties ----
  const std::string& Addr() const { return FAddr; }
  void SetAddr(const std::string& Value);
  const std::string& Port() const { return FPort; }
  const std::string& Proto() const { return FProto; }
  const std::string& LocalAddr() const { return FLocalAddr; }
  void SetLocalAddr(const std::string& Value);
  const std::string& LocalPort() const { return FLocalPort; }
  void SetLocalPort(const std::string& Value);
  std::string PeerPort() { return GetPeerPort(); }
  const std::string& DnsResult() const { return FDnsResult; }
  const std::vector<std::string>& DnsResultList() const { return FDnsResultList; }
  TSocketState State() const { return FState; }
  std::int32_t ReadCount() const { return FReadCount; }
  std::int32_t LastError() const { return FLastError; }
  bool MultiThreaded() const { return FMultiThreaded; }
  void SetMultiThreaded(bool Value) { FMultiThreaded = Value; }
  TWSocketOptions ComponentOptions() const { return FComponentOptions; }
  void SetComponentOptions(TWSocketOptions Value) { FComponentOptions = Value; }
  std::int32_t FlushTimeout() const { return FFlushTimeout; }
  void SetFlushTimeout(std::int32_t Value) { FFlushTimeout = Value; }
  TSocketSendFlags SendFlags() const;
  void SetSendFlags(int Value);  // an int, so that a value outside the enumeration can be refused
  TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
  void SetLingerOnOff(TSocketLingerOnOff Value) { FLingerOnOff = Value; }
  std::int32_t LingerTimeout() const { return FLingerTimeout; }
  void SetLingerTimeout(std::int32_t Value) { FLingerTimeout = Value; }
  // The capacity of each new block of the send chain: 1460 unless set, kept across sessions.
  // Blocks already in the chain keep theirs. Larger blocks mean fewer platform sends for bulk data.
  std::int32_t SendBlockSize() const { return FSendBlockSize; }
  void SetSendBlockSize(std::int32_t Value) {
    if (Value > 0) FSendBlockSize = Value;
  }
  // The backlog that Listen gives to listen(); kept across sessions, read at the next Listen.
  std::int32_t ListenBacklog() const { return FListenBacklog; }
  void SetListenBacklog(std::int32_t Value) { FListenBacklog = Value; }

  // ---- read access to the internal state, for subclasses' owners and tests ----
  SOCKET SocketHandle() const { return FSocketHandle; }
  SOCKET AcceptedHandle() const { return FAcceptedHandle; }
  platform::HWND NotifyWindow() const { return FNotifyWindow; }
  std::uint32_t EventMask() const { return FEventMask; }
  // WS_AF_INET or WS_AF_INET6: the family of the socket that the last Connect or Listen opened.
  std::int32_t AddressFamily() const { return FAddressFamily; }
  bool Paused() const { return FPaused; }
  bool AllSent() const { return FAllSent; }
  bool Terminated() const { return FTerminated; }
  std::size_t SendChainBlocks() const { return FSendChain.size(); }
  std::int64_t BufferedSendBytes() const;

  // ---- events ----
  TDataAvailable OnDataAvailable;
  TDataSent OnDataSent;
  TSendData OnSendData;
  TSessionClosed OnSessionClosed;
  TPeerShutdown OnPeerShutdown;  // wsoAllowHalfOpen only; see the header comment
  TSessionAvailable OnSessionAvailable;
  TSessionConnected OnSessionConnected;
  TChangeState OnChangeState;
  TDnsLookupDone OnDnsLookupDone;
  TNotifyEvent OnError;
  TBgExceptionEvent OnBgException;
  TNotifyEvent OnLineTooLong;  // published, never raised
  TTlsHandshakeEvent OnTlsHandshake;

protected:
  // Resolution steps shared by Connect and Listen; each runs while its Ready flag is clear.
  void ResolveProto();
  void ResolvePort();
  void ResolveLocalPort();
  void ResolveAddr();

  // The send path (internal, not overridable).
  void QueueSendData(const char* Data, std::int32_t Len);
  void TryToSend();
  void DiscardSendBuffer();
  // The FD_READ handling and the drain at FD_CLOSE.
  void ReceiveLoop(std::uint16_t Error, TWSocketOptions Options);

  // Half-closing and the ends of a connection (WSocketCore.cpp).
  void ShutdownSendSide();          // the deferred Shutdown, once the chain has drained
  void PeerEnded();                 // the peer's orderly end on a half-open session
  void CloseIfBothSidesEnded();     // the close of a half-open session whose both sides ended
  bool EndsWithTheClose();          // a shutdown now can be left to the close that follows it
  void ResetIfAllDelivered();       // CloseWithReset's check, at the call and from its timer
  void ApplyTcpNoDelay();           // wsoTcpNoDelay on the open stream socket

  // TLS (WSocketTls.cpp). A subclass that reads through a negotiation of its own says whether it
  // has ended (TLS can start only then).
  virtual bool ReadyForTls() const { return true; }
  // The text that refuses StartTls now, or empty.
  std::string TlsStartRefusal() const;
  // The read notification and the drain at the peer's end; the latter is false when the end is
  // to wait (receiving paused, or noticed again later) or the session has already ended.
  enum TTlsReceiveOutcome : std::uint8_t { troDrained, troWaiting, troStalled, troEnded };
  TTlsReceiveOutcome TlsReceiveLoop(std::uint16_t Error, TWSocketOptions Options);
  bool TlsDrainAtClose(std::uint16_t Error);
  std::int32_t TlsRecv(char* Buffer, std::int32_t BufferSize);
  std::int32_t TlsRcvdCount();
  void TlsQueuePlaintext(const char* Data, std::int32_t Len);
  bool TlsHoldsPlaintext() const;
  std::int64_t TlsPendingBytes() const;
  bool TlsMayEndSendSide();          // close_notify, when it is to go, has been queued
  void TlsCloseNotifyAtClose();      // Close: close_notify straight to the socket, when it can go
  void TlsPostRead();                // a read notification to ourselves, once
  void TlsResumed();                 // receiving resumed: what the layer holds is notified
  bool TlsPull();
  bool TlsMoveCiphertext();
  void TlsFlush();
  void TlsAdvance();
  void TlsFailed();
  void TlsCloseFailed();
  void TlsDiscardInput();
  void TlsPeerClosed();
  void TlsAfterShutdown();
  std::int32_t TlsWrite(const char* Data, std::int32_t Len);
  void TlsNoteActivity();            // bytes moved: the idle timer runs, or starts
  void TlsIdleCheck();               // its tick: a second without activity frees the buffers

  void MsgSocketEventHandler(platform::TMessage& Msg);
  void MsgHostByNameDoneHandler(platform::TMessage& Msg);
  void MsgHostByAddrDoneHandler(platform::TMessage& Msg);

  std::string FAddr;
  std::string FPort;
  std::string FProto;
  std::string FLocalAddr;
  std::string FLocalPort;
  std::string FDnsResult;
  std::vector<std::string> FDnsResultList;
  TSocketState FState = wsClosed;
  std::int32_t FReadCount = 0;
  std::int32_t FLastError = 0;
  bool FMultiThreaded = false;
  TWSocketOptions FComponentOptions;
  std::int32_t FFlushTimeout = 60;
  std::int32_t FSendFlags = 0;
  TSocketLingerOnOff FLingerOnOff = wsLingerOn;
  std::int32_t FLingerTimeout = 0;

  SOCKET FSocketHandle = platform::INVALID_SOCKET;
  SOCKET FAcceptedHandle = 0;
  platform::HWND FNotifyWindow = 0;
  std::uint32_t FEventMask = 0;
  bool FPaused = false;
  bool FReceivingPaused = false;
  bool FClosedEventRaised = false;
  bool FTerminated = false;
  bool FAllSent = true;
  // The destination (or the address to listen on), either family; the peer after an Accept.
  TSockAddrInet FSockAddr;
  std::int32_t FAddressFamily = platform::WS_AF_INET;
  std::int32_t FSocketType = platform::WS_SOCK_STREAM;
  std::int32_t FProtoNumber = platform::WS_IPPROTO_TCP;
  std::uint16_t FPortNumber = 0;
  std::uint16_t FLocalPortNumber = 0;
  bool FAddrSet = false;
  bool FAddrReady = false;
  bool FPortSet = false;
  bool FPortReady = false;
  bool FProtoSet = true;
  bool FProtoReady = false;
  bool FLocalPortReady = false;
  platform::HANDLE FLookupHandle = 0;
  // Room for a host entry (reverse lookups) and for the address list of a name lookup: 24 bytes
  // an address, so as many addresses as the 1025 bytes of an IPv4 host entry held, and more. It
  // exists only while a lookup is under way (the platform writes the answer into it), not in
  // every socket for ever.
  struct TLookupBuffer {
    alignas(platform::THostEnt) std::array<char, 2048> Bytes{};
  };
  std::unique_ptr<TLookupBuffer> FLookupBuffer;
  char* LookupBuffer();         // made when a lookup starts
  void ReleaseLookupBuffer();   // once no lookup is under way
  platform::TMessage FEarlyAnswer;
  bool FEarlyAnswerSet = false;
  // The blocks hold only unsent bytes: a block goes as soon as its last byte has left, so an idle
  // socket holds none (a list, which takes no memory while empty). FChainUsed tells an empty chain
  // that has carried bytes, and so counts as drained, from one that never held any since the
  // socket was made or its chain discarded.
  std::list<std::unique_ptr<TBuffer>> FSendChain;
  bool FChainUsed = false;
  std::int32_t FSendBlockSize = 1460;
  std::int32_t FListenBacklog = 5;

  // Per session (reset):
  //   FSendShutRequested  Shutdown(1|2) or CloseWithReset was called: Send fails with 10058
  //   FShutdownWhenSent   the send side is shut once the chain has drained
  //   FSendShutDone       the send side has been shut: after the drain, or by a close, which
  //                       leaves the chain unsent; nothing of the chain leaves any more
  //   FPeerEnded          the peer's orderly end arrived on a half-open session
  //   FResetWhenSent      CloseWithReset waits for the chain and the kernel's send queue
  bool FSendShutRequested = false;
  bool FShutdownWhenSent = false;
  bool FSendShutDone = false;
  bool FPeerEnded = false;
  bool FResetWhenSent = false;

  // TLS: null while off. FTlsSession counts the sessions that started TLS, so that code that ran
  // a handler can tell that the layer it was working with has gone (closed, or replaced).
  std::unique_ptr<TSocketTls> FTls;
  std::uint32_t FTlsSession = 0;
  bool FTlsCloseNotify = true;

private:
  void ResetDefaultsOfThisLevel();
  bool AllowIPv4Peers();
  // Connect's and Listen's steps (WSocketAddr.cpp); each false once it has reported a failure.
  bool ConnectSettingsReady();
  bool SetConnectOptions();
  bool ListenSettingsReady();
  bool BindListening();
  // The FD_CLOSE notification (WSocketCore.cpp).
  void HandleCloseEvent(std::uint16_t Error);
  bool FDestructionDone = false;
  int FHandlerDepth = 0;
  bool FFreeDeferred = false;  // a MsgFreeLater arrived while a handler ran
};

// The SOCKS level. With SocksServer set, Connect opens the TCP connection to the SOCKS server,
// negotiates a connection to Addr and Port in SOCKS 4, 4A or 5, and only then raises
// OnSessionConnected; with SocksServer empty every operation is the level below's.
//
//   Connect --> spAwaitMethod --TCP up, SOCKS 4 or 4A: connect request--> spAwaitConnect
//                 |                                                          ^        |
//                 | TCP up, SOCKS 5: method request                          |        | granted:
//                 +--reply: method 0 ----------------------------------------+        | OnSessionConnected(0)
//                 +--reply: method 2 --> spAwaitAuth --accepted: request-----+        v
//                                                                                 spRelaying
//   A failure in any phase also ends in spRelaying: OnSocksError, OnSessionConnected(code),
//   then the close with that code.
enum TSocksPhase : std::uint8_t {
  spRelaying = 0,
  spAwaitMethod = 1,
  spAwaitAuth = 2,
  spAwaitConnect = 3,
};

class TCustomSocksWSocket : public TCustomWSocket {
public:
  explicit TCustomSocksWSocket(TComponent* AOwner);

  void ResetDefaults() override;
  std::int32_t RcvdCount() override;
  bool NotifyDataAvailable(std::uint16_t Error) override;
  void NotifySessionConnected(std::uint16_t Error) override;
  void NotifySessionClosed(std::uint16_t Error) override;
  std::int32_t NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags) override;
  void Connect() override;
  void Listen() override;

  bool CanStayHalfOpen() const override { return FSocksPhase == spRelaying; }
  // The surplus of a SOCKS 5 reply, when still unread, is the first ciphertext.
  void StartTls(std::unique_ptr<TTlsEngine> Engine, std::string_view Initial = {}) override;

  // The SOCKS events, and the setters of the SOCKS server's address.
  virtual void NotifySocksConnected(std::uint16_t Error);
  virtual void SetSocksPort(const std::string& Value);
  virtual void SetSocksServer(const std::string& Value);
  virtual void NotifySocksError(std::int32_t Error, const std::string& Msg);

  // ---- published properties ----
  const std::string& SocksLevel() const { return SocksState().Level; }
  void SetSocksLevel(const std::string& Value);
  const std::string& SocksServer() const { return SocksState().Server; }
  const std::string& SocksPort() const { return SocksState().Port; }
  const std::string& SocksUsercode() const { return SocksState().Usercode; }
  void SetSocksUsercode(const std::string& Value);
  const std::string& SocksPassword() const { return SocksState().Password; }
  void SetSocksPassword(const std::string& Value);
  TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
  void SetSocksAuthentication(TSocksAuthentication Value) { FSocksAuthentication = Value; }

  // ---- read access to the internal state, for subclasses' owners and tests ----
  bool UseSocks() const { return FUseSocks; }
  TSocksPhase SocksPhase() const { return FSocksPhase; }

  // The size of the request buffer and of ReplyBuffer; at most kSocksBufferSize - 1 reply bytes
  // are held.
  static constexpr std::int32_t kSocksBufferSize = 128;

  // ---- events ----
  TSessionConnected OnSocksConnected;
  TSocksErrorEvent OnSocksError;
  TSocksAuthStateEvent OnSocksAuthState;

protected:
  // The SOCKS texts and the reply buffer. Most sockets never use SOCKS, and these are a fifth of a
  // socket's size: they are made when a socket is first given a SOCKS setting other than the
  // default, or starts a negotiation, and stay with it from then on.
  struct TSocksState {
    std::string Level = "5";
    std::string Server;
    std::string Port;
    std::string Usercode;
    std::string Password;
    std::array<std::uint8_t, kSocksBufferSize> ReplyBuffer{};
  };
  // The settings as they read: the defaults while nothing was set.
  const TSocksState& SocksState() const;
  TSocksState& Socks();  // made on first use
  std::unique_ptr<TSocksState> FSocks;
  TSocksAuthentication FSocksAuthentication = socksNoAuthentication;

  bool FUseSocks = false;
  TSocksPhase FSocksPhase = spRelaying;
  std::uint8_t FOfferedAuthMethod = 0;
  std::int32_t FReplyCount = 0;
  // Bytes that came in behind a SOCKS 5 connect reply: they are ReplyBuffer[Position, Position +
  // Count) and are read before anything further from the network.
  struct TSocksSurplus {
    std::int32_t Count = 0;
    std::int32_t Position = 0;
  } FSocksSurplus;

protected:
  bool ReadyForTls() const override { return FSocksPhase == spRelaying; }

private:
  void ResetSocksDefaults();
  std::string OversizeRequestText(bool AuthRequest) const;
  bool SessionEnded(TSocksPhase Expected) const;
  void NotifySocksAuthState(TSocksAuthState AuthState);
  void SendMethodRequest();
  void SendAuthRequest();
  void SendConnectRequest();
  void SendRequest(const std::string& Request, bool AuthRequest);
  bool OfferToApplication(std::uint16_t Error);
  bool ReadReply(std::int32_t Limit);
  void ReceiveMethodReply();
  void ReceiveAuthReply();
  bool ReceiveSocks4Reply();
  bool ReceiveSocks5Reply();
  bool OfferAfterGrant();
  void SocksFailure(std::int32_t Code, const std::string& Text);
};

// The line level: line mode, echo, editing and the line limit.
class TCustomLineWSocket : public TCustomSocksWSocket {
public:
  explicit TCustomLineWSocket(TComponent* AOwner);
  ~TCustomLineWSocket() override;

  void HandleNotifyMessage(platform::TMessage& Msg) override;
  bool NotifyDataAvailable(std::uint16_t Error) override;
  void NotifySessionClosed(std::uint16_t Error) override;
  void NotifyPeerShutdown(std::uint16_t Error) override;
  std::int32_t NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags) override;
  std::int32_t RcvdCount() override;
  // Bytes of the line buffer behind the line on offer came after the switch: the first ciphertext.
  void StartTls(std::unique_ptr<TTlsEngine> Engine, std::string_view Initial = {}) override;

  virtual void NotifyLineLimitExceeded(std::int32_t RcvdLength, bool& ClearData);
  bool LineMode() const { return FLineMode; }
  virtual void SetLineMode(bool Value);
  virtual void ApplyLineEdit(std::int32_t& Count);

  std::int32_t LineLimit() const { return FLineLimit; }
  void SetLineLimit(std::int32_t Value) { FLineLimit = Value; }
  const std::string& LineEnd() const { return FLineEnd; }
  void SetLineEnd(const std::string& Value) { FLineEnd = Value; }
  bool LineEcho() const { return FLineEcho; }
  void SetLineEcho(bool Value) { FLineEcho = Value; }
  bool LineEdit() const { return FLineEdit; }
  void SetLineEdit(bool Value) { FLineEdit = Value; }
  std::int32_t LineBufferCount() const { return FLineBufferCount; }
  std::int32_t PendingLineLength() const { return FPendingLineLength; }
  // Whether the line buffer holds another complete line after the one on offer: a handler that
  // forwards lines can hand those of one read to the network together.
  bool MoreLinesBuffered() const;
  // Takes the bytes of the line not yet ended off the line buffer: for a handler of
  // OnLineLimitExceeded that passes an overlong line on in pieces instead of dropping it. A start
  // of LineEnd at their end stays, so that a line end split over two reads is still found. Takes
  // nothing while a line is offered.
  std::string TakePartialLine();

  TLineLimitEvent OnLineLimitExceeded;

protected:
  // The line buffer holds FLineBufferCount bytes from FLineBufferStart on, followed by a zero
  // byte; FLineBufferSize is its allocated size (0 while unallocated).
  std::unique_ptr<char[]> FLineBuffer;
  std::int32_t FLineBufferSize = 0;
  std::int32_t FLineBufferStart = 0;
  char* LineData() const { return FLineBuffer.get() + FLineBufferStart; }
  std::int32_t FLineBufferCount = 0;
  std::string FLineEnd = "\r\n";
  bool FLineMode = false;
  std::int32_t FPendingLineLength = 0;
  std::int32_t FLineLimit = 65536;
  bool FLimitClearFlag = false;
  bool FLineEcho = false;
  bool FLineEdit = false;
  // While a line is offered: its whole length. Its first FLineOfferLength - FPendingLineLength
  // bytes have been read; the unread rest follows them at the front of the buffer.
  std::int32_t FLineOfferLength = 0;

private:
  void GrowLineBuffer(std::int32_t Size);
  void CompactLineBuffer();
  void ReleaseLineBuffer();
  void RemoveFromLineBuffer(std::int32_t Count);
  void EndLineOffer();
  void OfferBufferedLines(std::int32_t SearchStart);
  void OfferPlainBufferedData();
  void OfferRestAtEnd();
  void MsgLineModeDataHandler();
};

// The synchronous level: waits that pump messages until a flag is set.
class TCustomSyncWSocket : public TCustomLineWSocket {
public:
  using TProcedure = std::function<void()>;
  using TCustomLineWSocket::TCustomLineWSocket;

  virtual std::int32_t RunAndWaitForFlag(const TProcedure& Proc, bool& Done);
  virtual std::int32_t WaitForFlag(bool& Done);

protected:
  std::int32_t FSyncTimeout = 0;
  std::int32_t FSyncDeadline = 0;
};

class TWSocket : public TCustomSyncWSocket {
public:
  using TCustomSyncWSocket::TCustomSyncWSocket;
};
