// The benchmark's peers: a client and a server on loopback that drive a relay from outside it,
// with plain blocking or poll-driven POSIX sockets, and a relay started as a child process.
//
// The peers never share the relay's loop: they run on a thread or process of their own, so that
// what is timed is the relay's work and not the peers' turns on its loop. Every wait has a deadline.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#undef htons
#undef ntohs

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "tests/net/SocketTestSupport.h"

extern char** environ;

namespace bench {

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point Start) {
  return std::chrono::duration<double>(Clock::now() - Start).count();
}

inline int MsUntil(Clock::time_point Deadline) {
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<long long>(ms, 0, 1000));
}

// A thread's CPU time, by its clock (pthread_getcpuclockid): another thread may read it.
inline double CpuSeconds(clockid_t Clock) {
  timespec ts{};
  ::clock_gettime(Clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Deterministic bytes of every value, zero and CR LF included: the tests' own pattern.
using testsupport::Pattern;

// Printable ASCII lines of 20 to 200 characters ending in CR LF, as a text protocol sends them.
inline std::string TextLines(std::size_t n, std::uint32_t Seed = 1) {
  std::string s;
  s.reserve(n + 256);
  std::uint32_t x = Seed;
  while (s.size() < n) {
    x = x * 1664525u + 1013904223u;
    std::size_t len = 20 + (x >> 16) % 180;
    for (std::size_t i = 0; i < len; ++i) s += static_cast<char>(' ' + (i * 7 + (x >> 8)) % 95);
    s += "\r\n";
  }
  s.resize(n);
  return s;
}

// An owned descriptor.
class TFd {
public:
  TFd() = default;
  explicit TFd(int Fd) : FFd(Fd) {}
  TFd(TFd&& Other) noexcept : FFd(Other.Release()) {}
  TFd& operator=(TFd&& Other) noexcept {
    if (this != &Other) Reset(Other.Release());
    return *this;
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  ~TFd() { Reset(); }
  int Get() const { return FFd; }
  bool Valid() const { return FFd >= 0; }
  int Release() {
    int fd = FFd;
    FFd = -1;
    return fd;
  }
  void Reset(int Fd = -1) {
    if (FFd >= 0) ::close(FFd);
    FFd = Fd;
  }

private:
  int FFd = -1;
};

inline sockaddr_in Loopback(std::uint16_t Port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(Port);
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  return a;
}

// The descriptor of a listening socket on 127.0.0.1 at a port the system chose, for a peer that
// owns it; its port goes to Port.
inline int ListenLoopback(std::uint16_t& Port, int Backlog = 16) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(0);
  ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::listen(fd, Backlog);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  Port = ::ntohs(a.sin_port);
  return fd;
}

// A listening socket on 127.0.0.1 at a port the system chose.
struct TListener {
  TFd Fd;
  std::uint16_t Port = 0;
  TListener() { Fd.Reset(ListenLoopback(Port)); }
};

// A port that was free a moment ago, for a listener that another party must bind itself.
inline std::uint16_t FreePort() { return TListener().Port; }

inline void SetNoDelay(int Fd) {
  int on = 1;
  ::setsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

inline void SetNonBlocking(int Fd) { ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK); }

// Every blocking call on Fd gives up after this long instead of hanging the benchmark.
inline void SetIoTimeout(int Fd, int Seconds) {
  timeval tv{Seconds, 0};
  ::setsockopt(Fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(Fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Connects to 127.0.0.1:Port; while nothing listens there yet (a child still starting), tries again
// every few milliseconds until the deadline.
inline TFd ConnectLoopback(std::uint16_t Port, Clock::time_point Deadline) {
  for (int attempt = 0; attempt < 100000; ++attempt) {
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a = Loopback(Port);
    if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) return fd;
    if (errno != ECONNREFUSED || Clock::now() >= Deadline) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return TFd();
}

// A blocking client's descriptor connected to 127.0.0.1:Port with Nagle's algorithm off, or -1.
inline int ConnectNoDelay(std::uint16_t Port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a = Loopback(Port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  SetNoDelay(fd);
  return fd;
}

inline TFd AcceptBefore(int ListenFd, Clock::time_point Deadline) {
  while (Clock::now() < Deadline) {
    pollfd p{ListenFd, POLLIN, 0};
    if (::poll(&p, 1, std::max(1, MsUntil(Deadline))) > 0)
      return TFd(::accept4(ListenFd, nullptr, nullptr, SOCK_CLOEXEC));
  }
  return TFd();
}

// Reads until the other side ends its stream, or the deadline.
inline void AwaitEof(int Fd, Clock::time_point Deadline) {
  char buf[65536];
  while (Clock::now() < Deadline) {
    pollfd p{Fd, POLLIN, 0};
    if (::poll(&p, 1, std::max(1, MsUntil(Deadline))) <= 0) continue;
    ssize_t n = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return;
  }
}

struct TTransferResult {
  bool Ok = false;
  std::string Error;
  std::int64_t Received = 0;  // bytes that arrived, each checked against what was sent
  double Seconds = 0;         // from the second byte sent to the last byte at the server
  Clock::time_point Start, End;
  double LoopCpuSeconds = -1;  // CPU time of the relay's loop thread meanwhile, when it is ours
};

// A client connected to EntryPort sends Data (Repeat times over: many megabytes without holding
// them), then ends its stream; the relay in between passes it to the server behind Server, which
// checks every byte. Direct when EntryPort is Server's own port.
// The first byte goes alone and the rest only once it has reached the server: by then the relay has
// its far side connected, and what is timed is the relaying of the rest, not the set-up, nor how
// much the relay reads ahead while its far side is still connecting.
inline TTransferResult RunTransfer(std::uint16_t EntryPort, TListener& Server, const std::string& Data,
                                   int TimeoutSeconds, clockid_t LoopCpu = 0, std::size_t Repeat = 1) {
  TTransferResult r;
  const auto deadline = Clock::now() + std::chrono::seconds(TimeoutSeconds);
  const auto connectBy = std::min(deadline, Clock::now() + std::chrono::seconds(30));
  TFd client = ConnectLoopback(EntryPort, connectBy);
  TFd server = client.Valid() ? AcceptBefore(Server.Fd.Get(), connectBy) : TFd();
  if (!server.Valid()) {
    r.Error = "no connection";
    return r;
  }
  const std::size_t size = Data.size();
  const std::size_t total = size * Repeat;
  std::size_t sent = 0, received = 0;
  SetIoTimeout(server.Get(), 30);
  char first = 0;
  if (total == 0 || ::send(client.Get(), Data.data(), 1, MSG_NOSIGNAL) != 1 ||
      ::recv(server.Get(), &first, 1, 0) != 1 || first != Data[0]) {
    r.Error = "the first byte did not pass";
    return r;
  }
  sent = received = 1;
  SetNonBlocking(client.Get());
  SetNonBlocking(server.Get());
  const auto start = Clock::now();
  const double cpuStart = LoopCpu != 0 ? CpuSeconds(LoopCpu) : 0;
  bool clientEnded = false;
  std::string buf(1 << 20, '\0');
  while (received < total && Clock::now() < deadline) {
    pollfd fds[2] = {{client.Get(), static_cast<short>(sent < total ? POLLOUT : 0), 0}, {server.Get(), POLLIN, 0}};
    ::poll(fds, 2, MsUntil(deadline));
    if (fds[0].revents & POLLOUT) {
      const std::size_t at = sent % size;
      ssize_t n = ::send(client.Get(), Data.data() + at, std::min(total - sent, size - at), MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
    }
    if (sent == total && !clientEnded) {
      ::shutdown(client.Get(), SHUT_WR);
      clientEnded = true;
    }
    if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
      const std::size_t at = received % size;
      ssize_t n = ::recv(server.Get(), buf.data(), std::min({buf.size(), total - received, size - at}), 0);
      if (n == 0) {
        r.Error = "the server's side ended early";
        break;
      }
      if (n > 0) {
        if (std::memcmp(buf.data(), Data.data() + at, static_cast<std::size_t>(n)) != 0) {
          r.Error = "the bytes differ from what was sent";
          break;
        }
        received += static_cast<std::size_t>(n);
      }
    }
  }
  r.Start = start;
  r.End = Clock::now();
  if (LoopCpu != 0) r.LoopCpuSeconds = CpuSeconds(LoopCpu) - cpuStart;
  r.Seconds = std::chrono::duration<double>(r.End - start).count();
  r.Received = static_cast<std::int64_t>(received);
  if (r.Error.empty() && received < total) r.Error = "timed out";
  r.Ok = r.Error.empty();
  // The relay ends the session once both ends have closed; the client's end went out already.
  client.Reset();
  AwaitEof(server.Get(), Clock::now() + std::chrono::seconds(10));
  return r;
}

struct TPingPongResult {
  bool Ok = false;
  std::string Error;
  int RoundTrips = 0;  // timed round trips completed
  double Seconds = 0;
  double LoopCpuSeconds = -1;
};

// The client sends one byte, the server answers it with one byte, the client waits for the answer:
// RoundTrips times after Warmup untimed ones that also make sure the relay's far side is connected.
// The server answers from a thread of its own, so that even the direct path has a wake-up each way,
// as between two programs.
inline TPingPongResult RunPingPong(std::uint16_t EntryPort, TListener& Server, int RoundTrips, int Warmup,
                                   int TimeoutSeconds, clockid_t LoopCpu = 0) {
  TPingPongResult r;
  const auto deadline = Clock::now() + std::chrono::seconds(TimeoutSeconds);
  std::thread echo([&Server, deadline] {
    TFd server = AcceptBefore(Server.Fd.Get(), std::min(deadline, Clock::now() + std::chrono::seconds(30)));
    if (!server.Valid()) return;
    SetNoDelay(server.Get());
    SetIoTimeout(server.Get(), 10);
    // Answers byte for byte until the client's end of stream, an error or the deadline.
    for (long i = 0; i < 100000000L && Clock::now() < deadline; ++i) {
      char b = 0;
      if (::recv(server.Get(), &b, 1, 0) != 1 || ::send(server.Get(), &b, 1, MSG_NOSIGNAL) != 1) break;
    }
    ::shutdown(server.Get(), SHUT_WR);
  });
  TFd client = ConnectLoopback(EntryPort, deadline);
  if (!client.Valid()) {
    r.Error = "no connection";
  } else {
    SetNoDelay(client.Get());
    SetIoTimeout(client.Get(), 10);
    Clock::time_point start = Clock::now();
    double cpuStart = 0;
    for (int i = 0; i < Warmup + RoundTrips; ++i) {
      if (i == Warmup) {
        start = Clock::now();
        cpuStart = LoopCpu != 0 ? CpuSeconds(LoopCpu) : 0;
      }
      char b = static_cast<char>(i), got = 0;
      if (::send(client.Get(), &b, 1, MSG_NOSIGNAL) != 1 || ::recv(client.Get(), &got, 1, 0) != 1) {
        r.Error = "round trip " + std::to_string(i) + " failed: " + std::strerror(errno);
        break;
      }
      if (got != b) {
        r.Error = "round trip " + std::to_string(i) + " returned another byte";
        break;
      }
      if (i >= Warmup) ++r.RoundTrips;
      if (Clock::now() >= deadline) {
        r.Error = "timed out";
        break;
      }
    }
    r.Seconds = SecondsSince(start);
    if (LoopCpu != 0) r.LoopCpuSeconds = CpuSeconds(LoopCpu) - cpuStart;
    ::shutdown(client.Get(), SHUT_WR);
    AwaitEof(client.Get(), Clock::now() + std::chrono::seconds(10));
  }
  echo.join();
  r.Ok = r.Error.empty();
  return r;
}

struct TConnectResult {
  bool Ok = false;
  std::string Error;
  std::vector<double> Us;  // one figure for each connection, in microseconds, sorted
  double Quantile(double Q) const { return Us.empty() ? 0 : Us[static_cast<std::size_t>(Q * static_cast<double>(Us.size() - 1))]; }
};

// How soon a relay takes the connection it makes to the server: the client connects and sends one
// byte at once, which the relay holds until its own connection is up and forwards when it takes
// that connection's notification. The server takes the connection as soon as the kernel has
// completed it and waits for the byte. Measured: the time from the server's accept to the byte,
// for Rounds connections one after another (the first few untimed).
inline TConnectResult RunConnectLatency(std::uint16_t EntryPort, TListener& Server, int Rounds, int TimeoutSeconds) {
  TConnectResult r;
  const auto deadline = Clock::now() + std::chrono::seconds(TimeoutSeconds);
  constexpr int kUntimed = 5;
  for (int i = 0; i < kUntimed + Rounds && r.Error.empty(); ++i) {
    if (Clock::now() >= deadline) {
      r.Error = "timed out";
      break;
    }
    TFd client = ConnectLoopback(EntryPort, deadline);
    const char b = 'x';
    if (!client.Valid() || ::send(client.Get(), &b, 1, MSG_NOSIGNAL) != 1) {
      r.Error = "no connection to the relay";
      break;
    }
    TFd server = AcceptBefore(Server.Fd.Get(), std::min(deadline, Clock::now() + std::chrono::seconds(10)));
    const Clock::time_point accepted = Clock::now();
    if (!server.Valid()) {
      r.Error = "the relay never connected";
      break;
    }
    SetIoTimeout(server.Get(), 10);
    char got = 0;
    if (::recv(server.Get(), &got, 1, 0) != 1 || got != b) {
      r.Error = "connection " + std::to_string(i) + ": the byte never came";
      break;
    }
    if (i >= kUntimed) r.Us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - accepted).count());
    ::shutdown(client.Get(), SHUT_WR);
    ::shutdown(server.Get(), SHUT_WR);
    AwaitEof(client.Get(), std::min(deadline, Clock::now() + std::chrono::seconds(10)));
  }
  std::sort(r.Us.begin(), r.Us.end());
  r.Ok = r.Error.empty();
  return r;
}

// A child process, its standard error sent to a file (or left as it is for an empty path). One
// still running when this goes is ended.
class TChild {
public:
  TChild(const std::vector<std::string>& Args, const std::string& StderrPath, const std::string& StdoutPath = {}) {
    std::vector<char*> argv;
    for (const std::string& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!StderrPath.empty())
      posix_spawn_file_actions_addopen(&actions, 2, StderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!StdoutPath.empty())
      posix_spawn_file_actions_addopen(&actions, 1, StdoutPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawnp(&FPid, argv[0], &actions, nullptr, argv.data(), environ) != 0) FPid = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  TChild(const TChild&) = delete;
  TChild& operator=(const TChild&) = delete;
  ~TChild() {
    if (FPid > 0 && !WaitExit(0)) {
      ::kill(FPid, SIGTERM);
      if (!WaitExit(5000)) {
        ::kill(FPid, SIGKILL);
        WaitExit(5000);
      }
    }
  }
  bool Started() const { return FPid > 0; }
  pid_t Pid() const { return FPid; }
  void Signal(int Sig) {
    if (FPid > 0) ::kill(FPid, Sig);
  }
  // True once the child has ended (it is then reaped); waits up to TimeoutMs for it.
  bool WaitExit(int TimeoutMs) {
    if (FPid <= 0) return true;
    const auto deadline = Clock::now() + std::chrono::milliseconds(TimeoutMs);
    for (int i = 0; i < 100000; ++i) {
      if (::waitpid(FPid, nullptr, WNOHANG) == FPid) {
        FPid = -1;
        return true;
      }
      if (Clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }

private:
  pid_t FPid = -1;
};

}  // namespace bench
