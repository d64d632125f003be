// Ports for tests that bind a listener of their own after choosing its port, shared by the
// platform, socket and program tests. POSIX calls only.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <random>
#include <set>

namespace freeports {

// True when Port can be bound now on every local address of Family, without address reuse.
inline bool PortIsFree(int Family, std::uint16_t Port) {
  int fd = ::socket(Family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return Family == AF_INET6;  // a machine without IPv6 has nothing there to clash with
  int r;
  if (Family == AF_INET6) {
    int only = 1;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = ::htons(Port);
    a.sin6_addr = in6addr_any;
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(Port);
    a.sin_addr.s_addr = ::htonl(INADDR_ANY);
    r = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  ::close(fd);
  return r == 0;
}

// A port that nothing listens on, for a listener a test starts later (or for a refused connect),
// or 0 when none was found. It is drawn at random from below the system's ephemeral range: a
// port the system chose for a listener would be handed out again to the next outgoing connection
// of a test running beside this one, and the listener started later would find it taken. A port
// is handed out once per process.
inline std::uint16_t DrawPort() {
  unsigned low = 32768;
  if (FILE* f = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
    unsigned l = 0, h = 0;
    if (std::fscanf(f, "%u %u", &l, &h) == 2 && l > 11024) low = l;
    std::fclose(f);
  }
  static std::mt19937 pick(std::random_device{}() ^ static_cast<unsigned>(::getpid()));
  static std::set<std::uint16_t> given;
  std::uniform_int_distribution<unsigned> range(low - 10000, low - 1);
  for (int i = 0; i < 1000; ++i) {
    auto p = static_cast<std::uint16_t>(range(pick));
    if (given.count(p) || !PortIsFree(AF_INET, p) || !PortIsFree(AF_INET6, p)) continue;
    given.insert(p);
    return p;
  }
  return 0;
}

}  // namespace freeports
