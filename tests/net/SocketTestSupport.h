// Helpers for the socket component tests: pumping the loop until a condition holds, recording a
// component's events as a trace, and plain POSIX peers on loopback.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#undef htons
#undef ntohs

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net/WSocket.h"
#include "../platform/FreePorts.h"
#include "platform/MessageLoop.h"

namespace testsupport {

// Pumps the loop until Cond holds or the deadline passes; true when it holds.
inline bool PumpUntil(const std::function<bool()>& Cond, int TimeoutMs = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    platform::WaitAndDispatch(10);
  }
  return true;
}

// A raw peer's reads until the end of the stream (or an error), Chunk bytes a read and at most
// ReadsPerRound reads between two pumps of the loop: 0 for an orderly end, the errno of a failed
// read, -1 when neither came within a minute.
inline int ReadToEnd(int Fd, std::string& Got, std::size_t Chunk, int ReadsPerRound = 1000) {
  int outcome = -1;
  std::string buf(Chunk, '\0');
  PumpUntil([&] {
    for (int i = 0; i < ReadsPerRound; ++i) {
      ssize_t n = ::recv(Fd, buf.data(), buf.size(), MSG_DONTWAIT);
      if (n > 0) {
        Got.append(buf.data(), static_cast<std::size_t>(n));
        continue;
      }
      if (n == 0) outcome = 0;
      else if (errno != EAGAIN && errno != EWOULDBLOCK) outcome = errno;
      break;
    }
    return outcome >= 0;
  }, 60000);
  return outcome;
}

// Pumps for a bounded number of idle passes, to let queued work settle.
inline void PumpIdle(int Passes = 5) {
  for (int i = 0; i < Passes; ++i) platform::WaitAndDispatch(1);
}

// Records every event of a component as text: "State 7>1", "Connected 0", "Closed 0", ...
struct Trace {
  std::vector<std::string> Events;
  std::function<void(TCustomWSocket*)> OnData;  // what the OnDataAvailable handler does

  void Attach(TCustomWSocket& S) {
    S.OnChangeState = [this](TComponent*, TSocketState o, TSocketState n) {
      Events.push_back("State " + std::to_string(o) + ">" + std::to_string(n));
    };
    S.OnSessionConnected = [this](TComponent*, std::uint16_t e) { Events.push_back("Connected " + std::to_string(e)); };
    S.OnSessionClosed = [this](TComponent*, std::uint16_t e) { Events.push_back("Closed " + std::to_string(e)); };
    S.OnSessionAvailable = [this](TComponent*, std::uint16_t e) { Events.push_back("Available " + std::to_string(e)); };
    S.OnDataSent = [this](TComponent*, std::uint16_t e) { Events.push_back("DataSent " + std::to_string(e)); };
    S.OnDnsLookupDone = [this](TComponent*, std::uint16_t e) { Events.push_back("Dns " + std::to_string(e)); };
    S.OnDataAvailable = [this](TComponent* s, std::uint16_t e) {
      Events.push_back("Data " + std::to_string(e));
      if (OnData) OnData(static_cast<TCustomWSocket*>(s));
    };
  }
  bool Has(const std::string& e) const {
    for (const auto& x : Events)
      if (x == e) return true;
    return false;
  }
  // The events without the "Data ..." entries, whose count depends on how reads are split.
  std::vector<std::string> WithoutData() const {
    std::vector<std::string> out;
    for (const auto& x : Events)
      if (x.rfind("Data ", 0) != 0) out.push_back(x);
    return out;
  }
};

// A plain POSIX listening socket on 127.0.0.1 with a system-chosen port.
struct RawListener {
  int Fd = -1;
  std::uint16_t Port = 0;
  explicit RawListener(int Backlog = 16) {
    Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(Fd, Backlog);
    socklen_t len = sizeof a;
    ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
    Port = ::ntohs(a.sin_port);
  }
  ~RawListener() {
    if (Fd >= 0) ::close(Fd);
  }
  // Accepts one connection while pumping the loop; -1 when none came in time.
  int AcceptPumping(int TimeoutMs = 5000) {
    int c = -1;
    PumpUntil([&] { return (c = ::accept4(Fd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0; }, TimeoutMs);
    return c;
  }
};

// A port on 127.0.0.1 that nothing listens on, for a listener a test starts later or for a
// refused connect; see FreePorts.h for why it is drawn and not chosen by the system.
inline std::uint16_t UnusedPort() {
  if (std::uint16_t p = freeports::DrawPort()) return p;
  RawListener l;  // every drawn port was taken: let the system choose
  return l.Port;
}

// A blocking POSIX client connected to 127.0.0.1:Port, from the local address 127.0.0.<FromHost>
// when FromHost is given.
inline int RawConnect(std::uint16_t Port, int FromHost = 0) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (FromHost > 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ::htonl(0x7F000000u | static_cast<std::uint32_t>(FromHost));
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(Port);
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Closes with a reset instead of an orderly close.
inline void RawReset(int Fd) {
  linger l{1, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(Fd);
}

inline std::string TracePrint(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += "[" + x + "] ";
  return s;
}

}  // namespace testsupport

namespace testsupport {

// FNV-1a over a byte string: with the length, what the data tests compare.
inline std::uint64_t Checksum(const std::string& s) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
  return h;
}

// Deterministic bytes of every value, zero and CR LF included.
inline std::string Pattern(std::size_t n, std::uint32_t seed = 1) {
  std::string s(n, '\0');
  std::uint32_t x = seed;
  for (auto& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// Two connected components over loopback: Client connected out, Server accepted with Dup.
struct ComponentPair {
  TWSocket Listener{nullptr};
  TWSocket Client{nullptr};
  TWSocket Server{nullptr};
  bool Open() {
    Listener.SetAddr("127.0.0.1");
    Listener.SetPort("0");
    Listener.Listen();
    Listener.OnSessionAvailable = [this](TComponent*, std::uint16_t) { Server.Dup(Listener.Accept()); };
    Client.SetAddr("127.0.0.1");
    Client.SetPort(Listener.GetBoundPort());
    Client.Connect();
    return PumpUntil([&] { return Client.State() == wsConnected && Server.State() == wsConnected; });
  }
};

// Sets the kernel's receive buffer small, so that a sender fills it quickly and must wait.
inline void SmallReceiveBuffer(int Fd) {
  int size = 4096;
  ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
}

}  // namespace testsupport
