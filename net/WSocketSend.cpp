// TCustomWSocket: the send buffer chain and sending. Send never waits for the network: it copies
// the bytes once into the chain's blocks and pushes out as much as the socket takes; the rest
// leaves on later FD_WRITE notifications, straight from block storage.
//
//   SendChain:  [ first block ][ full block ] ... [ last block ]
//                 ^ only one that can be       only one with
//                   partly consumed            free room
//
// A block is given back once its last byte has left, the last one too: a socket whose bytes have
// all gone holds no block, however many it once needed. (A connection that is idle most of the
// time, as most are, would otherwise keep a block of SendBlockSize for ever.)
#include <string>

#include "net/WSocket.h"
#include "net/WinsockBinding.h"
#include "platform/MessageLoop.h"
#include "platform/WinsockErrors.h"

using namespace platform;

void TCustomWSocket::QueueSendData(const char* Data, std::int32_t Len) {
  if (Len <= 0) return;
  FChainUsed = true;
  if (FSendChain.empty()) FSendChain.push_back(std::make_unique<TBuffer>(FSendBlockSize));
  TBuffer* block = FSendChain.back().get();
  for (;;) {
    std::int32_t n = block->Append(Data, Len);
    if (n >= Len) return;
    Len -= n;
    Data += n;
    FSendChain.push_back(std::make_unique<TBuffer>(FSendBlockSize));
    block = FSendChain.back().get();
  }
}

std::int32_t TCustomWSocket::Send(const void* Data, std::int32_t Len) {
  if (FState != wsConnected) {
    winsock::WSASetLastError(WSAENOTCONN);
    ReportSocketError("Send");
    return -1;
  }
  if (FSendShutRequested) {
    // The send side is shut, or will be once the chain has drained: bytes queued now could never
    // leave. Refused as the socket call refuses them; 10058 does not close the socket.
    winsock::WSASetLastError(WSAESHUTDOWN);
    ReportSocketError("Send");
    return -1;
  }
  FAllSent = false;
  std::int32_t result = 0;
  if (Len > 0) {
    if (FTls != nullptr)
      TlsQueuePlaintext(static_cast<const char*>(Data), Len);  // records onto the chain
    else
      QueueSendData(static_cast<const char*>(Data), Len);
    result = Len;
  }
  TryToSend();
  if (FAllSent) {
    // OnDataSent comes from the loop, never from inside Send. After a send that found the
    // connection gone, FSocketHandle is INVALID_SOCKET, which the closed component still accepts.
    PostMessage(FNotifyWindow, MsgSocketEvent, FSocketHandle, MakeLong(FD_WRITE, 0));
  }
  return result;
}

std::int32_t TCustomWSocket::SendText(const std::string& Str) {
  if (Str.empty()) return 0;
  return Send(Str.data(), static_cast<std::int32_t>(Str.size()));
}

void TCustomWSocket::TryToSend() {
  // Once the send side is shut, nothing of the chain can leave (it is shut only after the drain,
  // or by a close, which leaves the chain unsent).
  if (FSocketHandle == INVALID_SOCKET || !FChainUsed || FSendShutDone) return;
  for (;;) {
    if (FSendChain.empty()) {
      FAllSent = FTls == nullptr || !TlsHoldsPlaintext();  // plaintext may still wait for the handshake
      if (FShutdownWhenSent) ShutdownSendSide();  // the last queued byte has gone to the kernel
      return;
    }
    TBuffer* block = FSendChain.front().get();
    std::int32_t len = 0;
    const char* data = block->Peek(len);
    if (len == 0) {
      FSendChain.pop_front();
      continue;
    }
    std::int32_t count = NetSend(data, len);
    if (count == 0) return;
    if (count == SOCKET_ERROR) {
      int code = winsock::WSAGetLastError();
      if (code == WSAECONNRESET || code == WSAENOTSOCK || code == WSAENOTCONN ||
          code == WSAEINVAL || code == WSAECONNABORTED) {
        // The connection is gone; the queued bytes stay in the chain. What the peer sent before
        // its reset can still be read, and is offered first, as the close notification does:
        // closed at once, those bytes would be lost, and a relay could not pass them on before
        // the reset.
        std::uint32_t waiting = 0;
        if (winsock::ioctlsocket(FSocketHandle, WS_FIONREAD, &waiting) == 0 && waiting > 0) {
          ReceiveLoop(0, FComponentOptions.Without(wsoNoReceiveLoop));
          if (FSocketHandle == INVALID_SOCKET || FClosedEventRaised) return;  // a handler closed it
        }
        FClosedEventRaised = true;
        Close();
        NotifySessionClosed(static_cast<std::uint16_t>(code));
        return;
      }
      if (code == WSAEWOULDBLOCK) return;  // the rest leaves on the next FD_WRITE
      ReportSocketError("TryToSend failed");
      return;
    }
    if (count < 0) return;
    // OnSendData has already been raised by NetSend for these bytes.
    // An OnSendData handler may have closed the socket or discarded the chain under us.
    if (FSendChain.empty() || FSocketHandle == INVALID_SOCKET) return;
    FSendChain.front()->Remove(count);
    if (count < len) return;  // the network took only part
  }
}

std::int32_t TCustomWSocket::NetSend(const char* Data, std::int32_t Len) {
  int result;
  if (FSocketType == WS_SOCK_DGRAM)
    result = winsock::sendto(FSocketHandle, Data, Len, FSendFlags, &FSockAddr, SockAddrLength(FSockAddr));
  else
    result = winsock::send(FSocketHandle, Data, Len, FSendFlags);
  if (result > 0) NotifySendData(result);
  return result;
}

void TCustomWSocket::Flush() {
  // No time limit: FlushTimeout is stored but not consulted.
  while (FSocketHandle != INVALID_SOCKET && !FAllSent) {
    TryToSend();
    PumpMessages();
  }
  CloseIfBothSidesEnded();  // the drain may have shut the send side of a half-open session
}

std::int32_t TCustomWSocket::SendTo(TConstSockAddrPtr Dest, std::int32_t DestLen, const void* Data,
                                    std::int32_t Len) {
  int result = winsock::sendto(FSocketHandle, static_cast<const char*>(Data), Len, FSendFlags,
                               Dest, DestLen);
  if (result > 0) NotifySendData(result);
  return result;
}

void TCustomWSocket::DiscardSendBuffer() {
  FSendChain.clear();
  FChainUsed = false;
}

std::int64_t TCustomWSocket::BufferedSendBytes() const {
  std::int64_t total = FTls != nullptr ? TlsPendingBytes() : 0;
  for (const auto& block : FSendChain) total += block->Filled() - block->Consumed();
  return total;
}

TSocketSendFlags TCustomWSocket::SendFlags() const {
  return FSendFlags == WS_MSG_OOB ? wsSendUrgent : wsSendNormal;
}

void TCustomWSocket::SetSendFlags(int Value) {
  switch (Value) {
    case wsSendNormal:
      FSendFlags = 0;
      break;
    case wsSendUrgent:
      FSendFlags = WS_MSG_OOB;
      break;
    default:
      RaiseSocketException("Invalid SendFlags");
      break;
  }
}
