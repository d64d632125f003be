// TCustomWSocket: TLS on the connection. The layer sits between the socket and the component's
// own reads and writes; the send chain, the notifications and the flow control stay as they are:
//
//   kernel --TlsPull (64 KiB at a time)--> engine --TlsRecv--> NetRecv --> Receive, line mode
//   Send --TlsQueuePlaintext--> engine --TlsMoveCiphertext--> send chain --TryToSend--> kernel
//
// Reading is pulled by the plaintext: the read loop takes ciphertext from the kernel only while
// the engine holds no plaintext, so a handler that stops reading (PauseReceiving) leaves the
// bytes in the kernel and the peer's window closes, as without TLS. Plaintext left in the engine
// gets a read notification posted to ourselves, since the kernel, which does not hold it,
// will not give one: after a read from outside the loop, after one notification with
// wsoNoReceiveLoop, when receiving resumes.
//
// Writing: plaintext sent before the handshake completes waits in PendingPlain (counted in
// BufferedSendBytes, and OnDataSent waits for it too) and is encrypted once the handshake is
// done; the records go onto the send chain behind whatever plaintext was queued before the
// switch, 64 KiB of plaintext at a time.
//
// Memory: OpenSSL gives its record buffers back between records (SSL_MODE_RELEASE_BUFFERS); the
// engine's memory buffers go once the connection has been a second without traffic
// (kTlsIdleTimer): freed at every pause, a busy connection would allocate and fault them in
// again at every read. The chain keeps no block once drained.
//
// The ends:
//   Shutdown(1|2) --> close_notify behind the plaintext (after the handshake, when it is not
//     done yet) --> the chain drains --> TCP end of stream
//   the peer's close_notify, all before it read --> OnPeerShutdown (half-open), else
//     OnSessionClosed(0) and Close, as at a TCP end
//   TCP end without close_notify --> TlsPeerEnd() tpeTruncated, then as a TCP end
//   a failure --> OnTlsHandshake(code) when in the handshake --> our alert drains --> close,
//     OnSessionClosed(code); what the peer sent beyond it is dropped, so the close is no reset
//   a TCP end or reset during the handshake --> OnTlsHandshake(TlsHandshakeFailed), then the
//     close: OnSessionClosed(TlsHandshakeFailed), or the reset's 10054
//   Close --> close_notify straight to the socket when nothing is queued before it
#include "net/WSocketTls.h"

#include <algorithm>
#include <memory>
#include <string>

#include "net/WSocket.h"
#include "net/WinsockBinding.h"
#include "platform/MessageLoop.h"
#include "platform/WinsockErrors.h"

using namespace platform;

namespace {

constexpr std::int32_t kTlsPullSize = 64 * 1024;   // ciphertext taken from the kernel at a time
constexpr std::int32_t kTlsBlockSize = 32 * 1024;  // the least block of the chain that takes records
constexpr int kTlsRounds = 64;                      // pulls of one notification before the loop's turn
constexpr int kTlsDiscardRounds = 64;
// Plaintext is encrypted this much at a time, so that the engine's output buffer stays this size
// however much is sent at once.
constexpr std::int32_t kTlsWriteSlice = 64 * 1024;

// One buffer for the pulls of every TLS socket of the thread, made at the first pull.
char* PullBuffer() {
  thread_local std::unique_ptr<char[]> buffer;
  if (!buffer) buffer = std::make_unique_for_overwrite<char[]>(kTlsPullSize);
  return buffer.get();
}

}  // namespace

// ---- switching on, and the facts ----

std::string TCustomWSocket::TlsStartRefusal() const {
  if (FTls != nullptr) return "TLS is on already";
  if (FSocketType != WS_SOCK_STREAM || FState != wsConnected || FSocketHandle == INVALID_SOCKET)
    return "TLS needs a connected stream socket";
  if (FSendShutRequested) return "TLS cannot start once the send side is shut";
  if (!ReadyForTls()) return "TLS cannot start while the SOCKS negotiation runs";
  return {};
}

void TCustomWSocket::StartTls(std::unique_ptr<TTlsEngine> Engine, std::string_view Initial) {
  const std::string refusal = Engine ? TlsStartRefusal() : "StartTls needs an engine";
  if (!refusal.empty()) {
    RaiseSocketException(refusal);
    return;
  }
  FTls = std::make_unique<TSocketTls>();
  FTls->Engine = std::move(Engine);
  ++FTlsSession;
  FTls->Engine->PutCiphertext(Initial.data(), Initial.size());
  TlsAdvance();  // a client's hello leaves at once; a server answers a hello it was given
  if (FTls != nullptr) TlsPostRead();  // what the kernel holds already
}

bool TCustomWSocket::TlsHandshakeDone() const { return FTls != nullptr && FTls->Engine->HandshakeDone(); }
TTlsInfo TCustomWSocket::TlsInfo() const { return FTls != nullptr ? FTls->Engine->Info() : TTlsInfo{}; }
std::string TCustomWSocket::TlsErrorText() const { return FTls != nullptr ? FTls->Engine->ErrorText() : std::string(); }
TTlsPeerEnd TCustomWSocket::TlsPeerEnd() const { return FTls != nullptr ? FTls->PeerEnd : tpeOpen; }
const TTlsEngine* TCustomWSocket::TlsEngine() const { return FTls != nullptr ? FTls->Engine.get() : nullptr; }

void TCustomWSocket::NotifyTlsHandshake(std::uint16_t Error) {
  THandlerScope running(*this);
  if (OnTlsHandshake) OnTlsHandshake(this, Error);
}

// ---- the engine's progress and its output ----

// Moves what the engine has produced onto the send chain, into blocks of at least kTlsBlockSize.
bool TCustomWSocket::TlsMoveCiphertext() {
  TTlsEngine& engine = *FTls->Engine;
  bool moved = false;
  while (engine.CiphertextPending() > 0) {
    TBuffer* block = FSendChain.empty() ? nullptr : FSendChain.back().get();
    std::int32_t room = 0;
    char* at = block != nullptr ? block->Room(room) : nullptr;
    if (room == 0) {
      FSendChain.push_back(std::make_unique<TBuffer>(std::max(FSendBlockSize, kTlsBlockSize)));
      block = FSendChain.back().get();
      at = block->Room(room);
    }
    const std::size_t n = engine.ReadCiphertext(at, static_cast<std::size_t>(room));
    if (n == 0) break;
    block->Commit(static_cast<std::int32_t>(n));
    moved = true;
  }
  if (moved) {
    FChainUsed = true;
    FAllSent = false;
    TlsNoteActivity();
  }
  return moved;
}

// Encrypts Data a slice at a time, each slice's records onto the chain: how many bytes were
// taken, -1 when the engine failed.
std::int32_t TCustomWSocket::TlsWrite(const char* Data, std::int32_t Len) {
  std::int32_t done = 0;
  while (done < Len) {
    const std::int32_t n = FTls->Engine->WritePlaintext(Data + done, std::min(Len - done, kTlsWriteSlice));
    if (n < 0) return done > 0 ? done : -1;
    TlsMoveCiphertext();
    if (n == 0) break;
    done += n;
  }
  return done;
}

void TCustomWSocket::TlsNoteActivity() {
  ++FTls->Activity;
  if (FTls->IdleTimerSet) return;
  FTls->IdleTimerSet = true;
  FTls->ActivitySeen = FTls->Activity;
  SetTimer(FNotifyWindow, kTlsIdleTimer, kTlsIdleMs);
}

void TCustomWSocket::TlsIdleCheck() {
  if (FTls == nullptr) {
    KillTimer(FNotifyWindow, kTlsIdleTimer);
    return;
  }
  if (FTls->Activity != FTls->ActivitySeen) {
    FTls->ActivitySeen = FTls->Activity;
    return;
  }
  KillTimer(FNotifyWindow, kTlsIdleTimer);
  FTls->IdleTimerSet = false;
  FTls->Engine->ReleaseIdleBuffers();
}

void TCustomWSocket::TlsFlush() {
  TlsMoveCiphertext();
  if (FSendChain.empty()) return;  // records moved earlier (TlsWrite) go out here too
  TryToSend();
  CloseIfBothSidesEnded();  // the drain may have ended the send side of a half-open session
}

void TCustomWSocket::TlsAdvance() {
  const std::uint32_t session = FTlsSession;
  TSocketTls& tls = *FTls;
  TTlsEngine& engine = *tls.Engine;
  const bool wasDone = engine.HandshakeDone();
  bool wrotePending = false;
  if (!engine.Failed() && (wasDone || engine.Advance())) {
    // What was sent before the handshake completed (or while a renegotiation held it) goes now,
    // then a close_notify asked for meanwhile.
    if (!tls.PendingPlain.empty()) {
      const std::int32_t n = TlsWrite(tls.PendingPlain.data(), static_cast<std::int32_t>(tls.PendingPlain.size()));
      if (n > 0) tls.PendingPlain.erase(0, static_cast<std::size_t>(n));
      wrotePending = true;
    }
    if (tls.CloseNotifyWanted && tls.PendingPlain.empty() && FTlsCloseNotify) {
      engine.SendCloseNotify();
      tls.CloseNotifyWanted = false;
    }
  }
  TlsFlush();  // OnSendData may run, and a failed send closes
  if (FTls == nullptr || FTlsSession != session) return;
  if (FTls->Engine->Failed()) {
    TlsFailed();
    return;
  }
  if (wrotePending && FAllSent) PostMessage(FNotifyWindow, MsgSocketEvent, FSocketHandle, MakeLong(FD_WRITE, 0));
  if (!wasDone && FTls->Engine->HandshakeDone() && !FTls->HandshakeReported) {
    FTls->HandshakeReported = true;
    NotifyTlsHandshake(0);
  }
}

// A fatal error: the handshake's outcome is told, our alert goes after what is queued, and the
// connection closes once it has gone (see ShutdownSendSide and MsgTlsClose).
void TCustomWSocket::TlsFailed() {
  const std::uint32_t session = FTlsSession;
  TlsDiscardInput();
  if (FTls->FailCode != 0) return;
  FTls->FailCode = FTls->HandshakeReported ? TlsConnectionFailed : TlsHandshakeFailed;
  if (!FTls->HandshakeReported) {
    FTls->HandshakeReported = true;
    NotifyTlsHandshake(FTls->FailCode);
    if (FTls == nullptr || FTlsSession != session || FSocketHandle == INVALID_SOCKET) return;
  }
  FSendShutRequested = true;
  FTls->CloseWhenShut = true;
  if (FSendShutDone || BufferedSendBytes() == 0) {
    TlsCloseFailed();
    return;
  }
  FShutdownWhenSent = true;
}

void TCustomWSocket::TlsCloseFailed() {
  if (FTls == nullptr || !FTls->CloseWhenShut) return;
  CloseAndNotify(!FSendShutDone, FTls->FailCode);
}

// What the peer sends beyond a failure can never be read; read and dropped, so that closing a
// socket with unread bytes does not send a reset ahead of our alert.
void TCustomWSocket::TlsDiscardInput() {
  for (int i = 0; i < kTlsDiscardRounds && FSocketHandle != INVALID_SOCKET; ++i)
    if (winsock::recv(FSocketHandle, PullBuffer(), kTlsPullSize, 0) <= 0) break;
}

// ---- reading ----

bool TCustomWSocket::TlsPull() {
  char* buffer = PullBuffer();
  const int n = winsock::recv(FSocketHandle, buffer, kTlsPullSize, 0);
  if (n > 0) {
    FTls->Engine->PutCiphertext(buffer, static_cast<std::size_t>(n));
    TlsNoteActivity();
    return true;
  }
  if (n < 0) {
    const int code = winsock::WSAGetLastError();
    if (code != WSAEWOULDBLOCK) FLastError = code;
  }
  return false;
}

void TCustomWSocket::TlsPostRead() {
  if (FTls->ReadPosted || FSocketHandle == INVALID_SOCKET) return;
  FTls->ReadPosted = true;
  PostMessage(FNotifyWindow, MsgSocketEvent, FSocketHandle, MakeLong(FD_READ, 0));
}

// Receiving resumed (a notification posted meanwhile was dropped): what the layer holds is
// notified anew.
void TCustomWSocket::TlsResumed() {
  FTls->ReadPosted = false;
  TlsPostRead();
}

TCustomWSocket::TTlsReceiveOutcome TCustomWSocket::TlsReceiveLoop(std::uint16_t Error, TWSocketOptions Options) {
  const std::uint32_t session = FTlsSession;
  auto gone = [&] { return FTls == nullptr || FTlsSession != session || FSocketHandle == INVALID_SOCKET; };
  FTls->ReadPosted = false;
  if (FTls->FailCode != 0) {
    TlsDiscardInput();
    return troEnded;
  }
  try {
    for (int round = 0; round < kTlsRounds; ++round) {
      TTlsEngine* engine = FTls->Engine.get();
      bool pulled = false;
      if (!engine->PeerClosed() && (!engine->HandshakeDone() || engine->PlaintextReady() == 0)) pulled = TlsPull();
      TlsAdvance();  // the handshake's progress and its event; what the engine made leaves
      if (gone() || FTls->FailCode != 0) return troEnded;
      engine = FTls->Engine.get();
      if (!engine->HandshakeDone()) {
        if (pulled) continue;
        return troDrained;
      }
      const std::int32_t ready = engine->PlaintextReady();
      if (engine->Failed()) {
        TlsFailed();
        return troEnded;
      }
      if (ready > 0) {
        const std::uint64_t before = FTls->PlainRead;
        FLastError = 0;
        FTls->InLoop = true;
        bool taken = NotifyDataAvailable(Error);
        if (gone()) return troEnded;
        FTls->InLoop = false;
        if (!taken) {
          // Nobody reads: what waits is read and thrown away.
          char scratch[4096];
          while (TlsRecv(scratch, sizeof scratch) > 0) {
          }
        }
        TlsFlush();  // a read may answer the peer (a key update)
        if (gone()) return troEnded;
        if (FTls->Engine->Failed()) {
          TlsFailed();
          return troEnded;
        }
        if (FReceivingPaused || FPaused) return troWaiting;
        if (Options.Contains(wsoNoReceiveLoop)) {
          // A close_notify read behind the plaintext is the end of the stream; a peer that waits
          // for ours sends nothing more that would notify it.
          if (FTls->Engine->PlaintextReady() > 0 || FTls->Engine->CiphertextInBuffered() > 0 ||
              FTls->Engine->PeerClosed())
            TlsPostRead();
          return troWaiting;
        }
        if (taken && FTls->PlainRead == before) return troStalled;  // its next read notifies the rest
        continue;
      }
      if (engine->PeerClosed()) {
        TlsPeerClosed();
        return troEnded;
      }
      if (!pulled) return troDrained;
    }
  } catch (...) {
    // An exception from the handler ends the loop and is not reported anywhere.
    if (!gone()) FTls->InLoop = false;
    return troStalled;
  }
  TlsPostRead();  // the rest on the loop's next turn
  return troWaiting;
}

// The peer's TCP end (or reset) has come: everything it sent before is offered first.
bool TCustomWSocket::TlsDrainAtClose(std::uint16_t Error) {
  switch (TlsReceiveLoop(0, FComponentOptions)) {
    case troEnded:
      return false;
    case troWaiting:
      // Paused: selecting anew on resuming posts the end again. Otherwise the end is looked at
      // again behind the notifications that offer the rest.
      if (!FReceivingPaused && !FPaused && FSocketHandle != INVALID_SOCKET)
        PostMessage(FNotifyWindow, MsgSocketEvent, FSocketHandle, MakeLong(FD_CLOSE, Error));
      return false;
    case troStalled:  // the handler stopped reading: what is left is not offered again
    case troDrained:
      break;
  }
  if (FTls == nullptr || FSocketHandle == INVALID_SOCKET) return false;
  if (Error == 0 && FTls->PeerEnd == tpeOpen) FTls->PeerEnd = tpeTruncated;
  if (!FTls->Engine->HandshakeDone()) {
    // Ended before the handshake: a failed handshake, then the close, a reset's code kept.
    const std::uint32_t session = FTlsSession;
    FTls->Engine->Abandon(Error == 0 ? "the connection ended during the handshake"
                                     : "the connection was reset during the handshake");
    FTls->FailCode = TlsHandshakeFailed;
    FTls->HandshakeReported = true;
    NotifyTlsHandshake(TlsHandshakeFailed);
    if (FTls == nullptr || FTlsSession != session || FSocketHandle == INVALID_SOCKET) return false;
    CloseAndNotify(false, Error != 0 ? Error : TlsHandshakeFailed);
    return false;
  }
  return true;
}

// The peer's close_notify, read behind every byte it sent: its end of stream.
void TCustomWSocket::TlsPeerClosed() {
  if (FTls->PeerEnd != tpeOpen) return;
  FTls->PeerEnd = tpeCloseNotify;
  if (FComponentOptions.Contains(wsoAllowHalfOpen) && FState == wsConnected && CanStayHalfOpen()) {
    PeerEnded();
    return;
  }
  if (!FClosedEventRaised) {
    FClosedEventRaised = true;
    NotifySessionClosed(0);
  }
  if (FState != wsClosed) Close();
}

std::int32_t TCustomWSocket::TlsRecv(char* Buffer, std::int32_t BufferSize) {
  if (BufferSize <= 0) return 0;
  const std::int32_t n = FTls->Engine->ReadPlaintext(Buffer, BufferSize);
  if (!FTls->InLoop) TlsPostRead();  // the rest, and what the kernel holds, by notification
  if (n > 0) {
    FTls->PlainRead += static_cast<std::uint64_t>(n);
    return n;
  }
  if (FTls->Engine->PeerClosed()) return 0;  // the end of the stream, as a read gives it
  winsock::WSASetLastError(WSAEWOULDBLOCK);
  return SOCKET_ERROR;
}

std::int32_t TCustomWSocket::TlsRcvdCount() { return FTls->Engine->PlaintextReady(); }

// ---- writing and the ends ----

void TCustomWSocket::TlsQueuePlaintext(const char* Data, std::int32_t Len) {
  TSocketTls& tls = *FTls;
  if (!tls.Engine->HandshakeDone() || !tls.PendingPlain.empty()) {
    tls.PendingPlain.append(Data, static_cast<std::size_t>(Len));
    return;
  }
  const std::int32_t n = TlsWrite(Data, Len);
  if (n < 0) {
    TlsPostRead();  // the failure is handled from the loop
    return;
  }
  if (n < Len) tls.PendingPlain.append(Data + n, static_cast<std::size_t>(Len - n));
}

bool TCustomWSocket::TlsHoldsPlaintext() const { return !FTls->PendingPlain.empty(); }

std::int64_t TCustomWSocket::TlsPendingBytes() const { return static_cast<std::int64_t>(FTls->PendingPlain.size()); }

bool TCustomWSocket::TlsMayEndSendSide() {
  if (!FTlsCloseNotify || FTls->CloseWhenShut || FTls->Engine->Failed()) return true;
  return FTls->Engine->CloseNotifySent();
}

void TCustomWSocket::TlsAfterShutdown() {
  if (!FTlsCloseNotify || FTls->Engine->Failed()) return;
  if (FTls->Engine->HandshakeDone() && FTls->PendingPlain.empty()) {
    FTls->Engine->SendCloseNotify();
    TlsMoveCiphertext();
  } else {
    FTls->CloseNotifyWanted = true;
  }
}

void TCustomWSocket::TlsCloseNotifyAtClose() {
  TTlsEngine& engine = *FTls->Engine;
  if (!FTlsCloseNotify || FSendShutDone || BufferedSendBytes() > 0 || !engine.HandshakeDone() || engine.Failed() ||
      engine.CloseNotifySent())
    return;
  engine.SendCloseNotify();
  char record[512];
  const std::size_t n = engine.ReadCiphertext(record, sizeof record);
  if (n > 0) winsock::send(FSocketHandle, record, static_cast<int>(n), 0);
}
