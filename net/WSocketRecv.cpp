// TCustomWSocket: the receive primitives and the receive loop. Receiving is pull-style: the loop
// raises OnDataAvailable and the handler reads; in plain mode the component holds no receive
// buffer, bytes go from the socket straight into the handler's buffer. With TLS on, the reads
// and the count are the TLS layer's plaintext (WSocketTls.cpp).
#include <string>

#include "net/WSocket.h"
#include "net/WinsockBinding.h"
#include "platform/WinsockErrors.h"

using namespace platform;

std::int32_t TCustomWSocket::RcvdCount() {
  if (FTls != nullptr) return TlsRcvdCount();
  std::uint32_t waiting = 0;
  if (winsock::ioctlsocket(FSocketHandle, WS_FIONREAD, &waiting) == SOCKET_ERROR) {
    ReportSocketError("ioctlSocket");
    return -1;
  }
  return static_cast<std::int32_t>(waiting);
}

std::int32_t TCustomWSocket::NetRecv(char* Buffer, std::int32_t BufferSize, std::int32_t Flags) {
  if (FTls != nullptr) return TlsRecv(Buffer, BufferSize);
  return winsock::recv(FSocketHandle, Buffer, BufferSize, Flags);
}

std::int32_t TCustomWSocket::NetRecvFrom(SOCKET Handle, char* Buffer, std::int32_t BufferSize,
                                         std::int32_t Flags, TSockAddrPtr From,
                                         std::int32_t& FromLen) {
  int len = FromLen;
  int result = winsock::recvfrom(Handle, Buffer, BufferSize, Flags, From, &len);
  FromLen = len;
  return result;
}

std::int32_t TCustomWSocket::Receive(void* Buffer, std::int32_t BufferSize) {
  std::int32_t n = NetRecv(static_cast<char*>(Buffer), BufferSize, 0);
  if (n < 0)
    FLastError = winsock::WSAGetLastError();
  else
    FReadCount += n;
  return n;
}

std::int32_t TCustomWSocket::ReceiveFrom(void* Buffer, std::int32_t BufferSize, TSockAddrPtr From,
                                         std::int32_t& FromLen) {
  std::int32_t n = NetRecvFrom(FSocketHandle, static_cast<char*>(Buffer), BufferSize, 0, From, FromLen);
  if (n < 0)
    FLastError = winsock::WSAGetLastError();
  else
    FReadCount += n;
  return n;
}

std::string TCustomWSocket::ReceiveText() {
  std::int32_t n = RcvdCount();
  if (n < 0) return std::string();
  if (n == 0) n = 255;
  std::string text(static_cast<std::size_t>(n), '\0');
  std::int32_t r = Receive(text.data(), n);
  if (r <= 0) return std::string();
  text.resize(static_cast<std::size_t>(r));
  return text;
}

void TCustomWSocket::ReceiveLoop(std::uint16_t Error, TWSocketOptions Options) {
  try {
    for (;;) {
      FLastError = 0;
      if (!NotifyDataAvailable(Error)) {
        // Nobody reads: what waits is read and thrown away.
        char scratch[1024];
        if (NetRecv(scratch, sizeof scratch, 0) == SOCKET_ERROR) {
          FLastError = winsock::WSAGetLastError();
          if (FLastError == WSAEWOULDBLOCK) {
            FLastError = 0;
            return;
          }
        }
      }
      if (Options.Contains(wsoNoReceiveLoop)) return;
      if (FLastError != 0) return;
      // The handler switched to TLS: what waits is ciphertext, for the TLS loop that StartTls
      // has set going.
      if (FTls != nullptr) return;
      // A handler may have closed the socket; the count then fails and ends the loop.
      std::uint32_t waiting = 0;
      if (winsock::ioctlsocket(FSocketHandle, WS_FIONREAD, &waiting) == SOCKET_ERROR) {
        FLastError = winsock::WSAGetLastError();
        return;
      }
      if (waiting == 0) return;
    }
  } catch (...) {
    // An exception from the handler ends the loop and is not reported anywhere.
  }
}
