#include "relay/RelaySettings.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>

#include "net/SocketException.h"
#include "net/WSocketResolve.h"
#include "net/WinsockBinding.h"

std::uint16_t PortNumber(const std::string& Text) {
  try {
    const unsigned long n = std::stoul(Text);
    return n <= 0xFFFF ? static_cast<std::uint16_t>(n) : 0;
  } catch (...) {
    return 0;
  }
}

std::int64_t PortValue(const std::string& Text) {
  const std::string t = TrimBlanks(Text);
  const std::int64_t resolved = WSocketResolvePort(t, "tcp");
  if (std::isdigit(static_cast<unsigned char>(t[0]))) {
    std::size_t digits = 0;
    while (digits < t.size() && std::isdigit(static_cast<unsigned char>(t[digits]))) ++digits;
    if (digits > 5) return -1;
    const long value = std::stol(t.substr(0, digits));
    return value > 65535 ? -1 : value;
  }
  return resolved;
}

bool IsThisMachine(const std::string& Host) {
  std::string h = TrimBlanks(Host);
  if (h.size() > 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
  std::string lower(h);
  std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  if (lower == "localhost" || (lower.size() > 10 && lower.ends_with(".localhost"))) return true;
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) == 0 && lower == name) return true;
  in_addr v4{};
  in6_addr v6{};
  // Read as the remote's lookup reads an address (inet_addr), so that its short and numeric forms
  // count too: "127.1", "2130706433" and "127.0.0.01" all connect to 127.0.0.1.
  v4.s_addr = winsock::inet_addr(h.c_str());
  const bool isV4 = v4.s_addr != INADDR_NONE;
  const bool isV6 = !isV4 && ::inet_pton(AF_INET6, h.c_str(), &v6) == 1;
  if (!isV4 && !isV6) return false;
  if (isV4 && ((ntohl(v4.s_addr) >> 24) == 127 || v4.s_addr == INADDR_ANY)) return true;
  if (isV6 && (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6))) return true;
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return false;
  bool found = false;
  for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
    if (a->ifa_addr == nullptr) continue;
    if (isV4 && a->ifa_addr->sa_family == AF_INET)
      found = reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr == v4.s_addr;
    if (isV6 && a->ifa_addr->sa_family == AF_INET6)
      found = IN6_ARE_ADDR_EQUAL(&reinterpret_cast<sockaddr_in6*>(a->ifa_addr)->sin6_addr, &v6);
  }
  ::freeifaddrs(list);
  return found;
}

// What can be known wrong before anything listens: the window would otherwise listen happily and
// fail, or wrap a port, or relay into itself, only when the first client arrives.
void CheckRelaySettings(const TRelaySettings& Settings) {
  std::int64_t local = -2;
  try {
    local = PortValue(Settings.LocalPort);
  } catch (Exception&) {
  }
  if (local == -1)
    throw ESocketException("Local port '" + Settings.LocalPort + "' is out of range: a port is a number from 0 to 65535");
  if (TrimBlanks(Settings.RemotePort).empty()) throw ESocketException("Remote port: no port given");
  std::int64_t remote = 0;
  try {
    remote = PortValue(Settings.RemotePort);
  } catch (Exception& E) {
    throw ESocketException("Remote port: " + E.Message());
  }
  if (remote < 1)
    throw ESocketException("Remote port '" + Settings.RemotePort + "' is out of range: a port is a number from 1 to 65535");
  if (TrimBlanks(Settings.RemoteAddr).empty()) throw ESocketException("Remote address: no host name or address given");
  if (Settings.RemoteAddr.find('\0') != std::string::npos)
    throw ESocketException("Remote address: a host name or address cannot hold a zero byte");
  if (remote == local && IsThisMachine(Settings.RemoteAddr))
    throw ESocketException("Remote address '" + TrimBlanks(Settings.RemoteAddr) + "' port " + std::to_string(remote) +
                           " is this relay's own listening port: every client would be relayed back into the relay");
}
