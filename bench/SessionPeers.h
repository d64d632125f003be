// The sessions benchmarks' peers: an epoll echo server on a thread of its own, and clients that
// each connect, send 100 bytes, read them back (checked byte for byte) and then close or stay open.
// Both run off the proxy's loop, so that they cost the same for every proxy measured.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "BenchPeers.h"

namespace bench {

constexpr std::size_t kMessage = 100;  // bytes each client sends and reads back

// ---- the echo server ----

// Accepts every connection and sends back what it reads; closes once the peer has ended its stream.
class TEchoServer {
public:
  TEchoServer() {
    FListen.Reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    int on = 1;
    ::setsockopt(FListen.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a = Loopback(0);
    ::bind(FListen.Get(), reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(FListen.Get(), 4096);
    socklen_t len = sizeof a;
    ::getsockname(FListen.Get(), reinterpret_cast<sockaddr*>(&a), &len);
    Port = ::ntohs(a.sin_port);
    FStop.Reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    FThread = std::thread([this] { Run(); });
  }
  ~TEchoServer() {
    std::uint64_t one = 1;
    if (::write(FStop.Get(), &one, sizeof one) != sizeof one) std::perror("echo server: stop");
    FThread.join();
  }
  std::uint16_t Port = 0;
  // Connections accepted and not yet closed.
  int Open() const { return FOpen.load(); }

private:
  void Run() {
    TFd ep(::epoll_create1(EPOLL_CLOEXEC));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = FListen.Get();
    ::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, FListen.Get(), &ev);
    ev.data.fd = FStop.Get();
    ::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, FStop.Get(), &ev);
    std::vector<bool> open;
    std::vector<epoll_event> events(256);
    char buf[4096];
    for (;;) {
      const int n = ::epoll_wait(ep.Get(), events.data(), static_cast<int>(events.size()), 1000);
      for (int i = 0; i < n; ++i) {
        const int fd = events[static_cast<std::size_t>(i)].data.fd;
        if (fd == FStop.Get()) {
          for (std::size_t c = 0; c < open.size(); ++c)
            if (open[c]) ::close(static_cast<int>(c));
          return;
        }
        if (fd == FListen.Get()) {
          for (int k = 0; k < 1024; ++k) {
            const int c = ::accept4(FListen.Get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            if (c < 0) break;
            if (static_cast<std::size_t>(c) >= open.size()) open.resize(static_cast<std::size_t>(c) + 1024);
            open[static_cast<std::size_t>(c)] = true;
            ++FOpen;
            epoll_event cev{};
            cev.events = EPOLLIN;
            cev.data.fd = c;
            ::epoll_ctl(ep.Get(), EPOLL_CTL_ADD, c, &cev);
          }
          continue;
        }
        // A message is 100 bytes: the socket always takes the answer whole.
        const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
        if (got > 0 && ::send(fd, buf, static_cast<std::size_t>(got), MSG_NOSIGNAL) == got) continue;
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        ::epoll_ctl(ep.Get(), EPOLL_CTL_DEL, fd, nullptr);
        ::close(fd);
        open[static_cast<std::size_t>(fd)] = false;
        --FOpen;
      }
    }
  }

  TFd FListen, FStop;
  std::atomic<int> FOpen{0};
  std::thread FThread;
};

// ---- the clients ----

// Each client: connect, send 100 bytes, read them back, then close or stay open. Non-blocking, on
// one epoll, on the calling thread.
class TClients {
public:
  explicit TClients(std::uint16_t Port) : FPort(Port), FEp(::epoll_create1(EPOLL_CLOEXEC)) {}
  ~TClients() { CloseOpen(); }

  struct TOutcome {
    long Done = 0;
    long Failed = 0;
    double Seconds = 0;
    std::string FirstError;
  };

  // Short sessions, InFlight at a time, for Seconds (and those still under way when it ends).
  TOutcome Short(int InFlight, double Seconds) {
    return Run(InFlight, -1, Seconds, false);
  }
  // Count sessions that stay open, started InFlight at a time.
  TOutcome OpenAndKeep(int Count, int InFlight) { return Run(InFlight, Count, 120, true); }

  std::size_t Kept() const { return FKept.size(); }
  void CloseOpen() {
    for (int fd : FKept) ::close(fd);
    FKept.clear();
  }

private:
  struct TConn {
    int Fd = -1;
    std::size_t Sent = 0, Got = 0;
    unsigned char Seed = 0;
    bool Connected = false;
  };

  static char ByteOf(unsigned char Seed, std::size_t I) { return static_cast<char>((Seed + I * 7) & 0xFF); }

  bool Start(TConn& C, unsigned char Seed, std::string& Error) {
    C = TConn{};
    C.Seed = Seed;
    C.Fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (C.Fd < 0) {
      Error = std::string("socket: ") + std::strerror(errno);
      return false;
    }
    SetNoDelay(C.Fd);
    sockaddr_in a = Loopback(FPort);
    if (::connect(C.Fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno != EINPROGRESS) {
      Error = std::string("connect: ") + std::strerror(errno);
      ::close(C.Fd);
      C.Fd = -1;
      return false;
    }
    epoll_event ev{};
    ev.events = EPOLLOUT;
    ev.data.ptr = &C;
    ::epoll_ctl(FEp.Get(), EPOLL_CTL_ADD, C.Fd, &ev);
    return true;
  }

  // One step of a connection; 1 when its exchange is complete, -1 when it failed, 0 otherwise.
  int Step(TConn& C, std::uint32_t Events, std::string& Error) {
    if (Events & (EPOLLERR | EPOLLHUP)) {
      int err = 0;
      socklen_t len = sizeof err;
      ::getsockopt(C.Fd, SOL_SOCKET, SO_ERROR, &err, &len);
      Error = std::string("connection failed: ") + std::strerror(err != 0 ? err : ECONNRESET);
      return -1;
    }
    if (!C.Connected && (Events & EPOLLOUT)) {
      C.Connected = true;
      char msg[kMessage];
      for (std::size_t i = 0; i < kMessage; ++i) msg[i] = ByteOf(C.Seed, i);
      const ssize_t n = ::send(C.Fd, msg, kMessage, MSG_NOSIGNAL);
      if (n != static_cast<ssize_t>(kMessage)) {
        Error = "the message did not go out whole";
        return -1;
      }
      C.Sent = kMessage;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.ptr = &C;
      ::epoll_ctl(FEp.Get(), EPOLL_CTL_MOD, C.Fd, &ev);
      return 0;
    }
    if (Events & EPOLLIN) {
      char buf[kMessage];
      const ssize_t n = ::recv(C.Fd, buf, kMessage - C.Got, 0);
      if (n == 0) {
        Error = "the proxy ended the stream early";
        return -1;
      }
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return 0;
        Error = std::string("recv: ") + std::strerror(errno);
        return -1;
      }
      for (ssize_t i = 0; i < n; ++i)
        if (buf[i] != ByteOf(C.Seed, C.Got + static_cast<std::size_t>(i))) {
          Error = "the bytes that came back differ from those sent";
          return -1;
        }
      C.Got += static_cast<std::size_t>(n);
      if (C.Got == kMessage) return 1;
    }
    return 0;
  }

  TOutcome Run(int InFlight, int Count, double Seconds, bool Keep) {
    TOutcome out;
    std::vector<TConn> conns(static_cast<std::size_t>(InFlight));
    std::vector<std::size_t> idle;
    for (std::size_t i = conns.size(); i-- > 0;) idle.push_back(i);
    long started = 0;
    unsigned char seed = 1;
    const auto start = Clock::now();
    const auto stopStarting = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(Seconds));
    const auto deadline = stopStarting + std::chrono::seconds(30);  // for those under way
    std::vector<epoll_event> events(512);
    int active = 0;
    auto more = [&] { return Count < 0 ? Clock::now() < stopStarting : started < Count; };
    for (long rounds = 0; rounds < 100000000L; ++rounds) {
      while (!idle.empty() && more() && out.Failed < 100) {
        TConn& c = conns[idle.back()];
        std::string error;
        ++started;
        if (!Start(c, seed++, error)) {
          ++out.Failed;
          if (out.FirstError.empty()) out.FirstError = error;
          continue;
        }
        idle.pop_back();
        ++active;
      }
      if (active == 0 || Clock::now() > deadline) break;
      const int n = ::epoll_wait(FEp.Get(), events.data(), static_cast<int>(events.size()), 1000);
      for (int i = 0; i < n; ++i) {
        auto* c = static_cast<TConn*>(events[static_cast<std::size_t>(i)].data.ptr);
        std::string error;
        const int r = Step(*c, events[static_cast<std::size_t>(i)].events, error);
        if (r == 0) continue;
        if (r > 0) {
          ++out.Done;
        } else {
          ++out.Failed;
          if (out.FirstError.empty()) out.FirstError = error;
        }
        ::epoll_ctl(FEp.Get(), EPOLL_CTL_DEL, c->Fd, nullptr);
        if (r > 0 && Keep)
          FKept.push_back(c->Fd);
        else
          ::close(c->Fd);
        c->Fd = -1;
        idle.push_back(static_cast<std::size_t>(c - conns.data()));
        --active;
      }
    }
    out.Seconds = SecondsSince(start);
    for (TConn& c : conns)
      if (c.Fd >= 0) ::close(c.Fd);
    return out;
  }

  std::uint16_t FPort;
  TFd FEp;
  std::vector<int> FKept;
};

}  // namespace bench
