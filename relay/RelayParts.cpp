#include "relay/RelayParts.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <vector>

namespace relay_parts {

std::string ReceiveChunk(TWSocket& S) {
  if (S.LineMode()) return S.ReceiveText();
  static std::vector<char> buffer(static_cast<std::size_t>(kChunkLimit));
  const std::int32_t got = S.Receive(buffer.data(), kChunkLimit);
  return got > 0 ? std::string(buffer.data(), static_cast<std::size_t>(got)) : std::string();
}

void RelaySocketOptions(TWSocket& S) {
  S.SetComponentOptions({wsoNoReceiveLoop, wsoAllowHalfOpen, wsoTcpNoDelay});
  S.SetLingerOnOff(wsLingerOff);
  S.SetSendBlockSize(kRelaySendBlock);
}

bool LocalName(TWSocket& S, std::string& Addr, std::uint16_t& Port) {
  sockaddr_storage name{};
  socklen_t len = sizeof name;
  if (S.SocketHandle() == platform::INVALID_SOCKET ||
      ::getsockname(static_cast<int>(S.SocketHandle()), reinterpret_cast<sockaddr*>(&name), &len) != 0)
    return false;
  char text[INET6_ADDRSTRLEN] = {};
  if (name.ss_family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(&name);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    Port = ntohs(a->sin_port);
  } else if (name.ss_family == AF_INET6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&name);
    ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    Port = ntohs(a->sin6_port);
  } else {
    return false;
  }
  Addr = text;
  return Port != 0;
}

}  // namespace relay_parts
