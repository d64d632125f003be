// Real peers for the relay tests, driven from the test's pump loop: non-blocking POSIX sockets
// that send what they are given, keep what they receive and close as told.
#pragma once

#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>

#include <functional>
#include <random>
#include <memory>
#include <string>
#include <vector>

#include "AppTestSupport.h"

namespace apptest {

// One end of a TCP connection.
struct TPeer {
  int Fd = -1;
  std::string Received;
  std::string ToSend;
  std::size_t Sent = 0;
  std::size_t ReadChunk = 1 << 20;  // bytes a service round reads at most: small for a slow reader
  bool CloseWhenSent = false;       // close (orderly) once everything has gone out
  bool ShutdownWhenSent = false;    // end the stream (a half-close) once everything has gone out
  // Reset (linger 0) once everything has gone out and the other kernel has acknowledged it: TCP
  // promises the other side only the bytes acknowledged before a reset.
  bool ResetWhenAcknowledged = false;
  bool Eof = false;                 // the other side has ended its stream, or reset it
  bool Reset = false;               // the other side reset the connection
  bool WriteShut = false;           // this end has ended its stream
  bool Closed = false;

  explicit TPeer(int fd) : Fd(fd) { ::fcntl(Fd, F_SETFL, ::fcntl(Fd, F_GETFL) | O_NONBLOCK); }
  ~TPeer() {
    if (!Closed && Fd >= 0) ::close(Fd);
  }
  void Service() {
    if (Closed) return;
    while (Sent < ToSend.size()) {
      ssize_t n = ::send(Fd, ToSend.data() + Sent, ToSend.size() - Sent, MSG_NOSIGNAL);
      if (n <= 0) {
        // A send can be the call that learns of the reset; what came before it is still read below.
        if (n < 0 && errno == ECONNRESET) Reset = true;
        break;
      }
      Sent += static_cast<std::size_t>(n);
    }
    std::size_t budget = ReadChunk;
    char buf[65536];
    while (!Eof && budget > 0) {
      ssize_t n = ::recv(Fd, buf, std::min(sizeof buf, budget), 0);
      if (n > 0) {
        Received.append(buf, static_cast<std::size_t>(n));
        budget -= static_cast<std::size_t>(n);
      } else if (n == 0) {
        Eof = true;
      } else {
        if (errno == ECONNRESET) Reset = Eof = true;
        break;
      }
    }
    if (Sent < ToSend.size()) return;
    if (ShutdownWhenSent && !WriteShut) {
      ::shutdown(Fd, SHUT_WR);
      WriteShut = true;
    }
    if (ResetWhenAcknowledged && Unacknowledged() == 0) {
      RawReset(Fd);
      Closed = true;
    }
    if (CloseWhenSent) Close();
  }
  void Close() {
    if (Closed) return;
    ::close(Fd);
    Closed = true;
  }
  // Bytes sent that the other kernel has not acknowledged yet, and bytes received and not read.
  int Unacknowledged() const {
    int n = -1;
    return ::ioctl(Fd, SIOCOUTQ, &n) == 0 ? n : -1;
  }
  int Unread() const {
    int n = -1;
    return ::ioctl(Fd, SIOCINQ, &n) == 0 ? n : -1;
  }
  // The TCP state of this end (TCP_ESTABLISHED, TCP_FIN_WAIT2...), -1 when it cannot be read.
  int TcpState() const {
    tcp_info info{};
    socklen_t n = sizeof info;
    return ::getsockopt(Fd, IPPROTO_TCP, TCP_INFO, &info, &n) == 0 ? info.tcpi_state : -1;
  }
  // Shrinks the receive buffer, so that a sender to this end must wait for it.
  void SlowReader(std::size_t Chunk) {
    int size = 64 << 10;
    ::setsockopt(Fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    ReadChunk = Chunk;
  }
};

// The remote server: accepts every connection and answers each one as OnAccept sets it up.
struct TRemoteServer {
  TRemoteServer() = default;
  explicit TRemoteServer(int Backlog) : Listener(Backlog) {}

  RawListener Listener;
  std::vector<std::unique_ptr<TPeer>> Peers;
  std::function<void(TPeer&)> OnAccept;  // e.g. echo, or a fixed response
  bool Echo = false;

  void Service() {
    for (int i = 0; i < 64; ++i) {
      int c = ::accept4(Listener.Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c < 0) break;
      Peers.push_back(std::make_unique<TPeer>(c));
      if (OnAccept) OnAccept(*Peers.back());
    }
    for (auto& p : Peers) {
      p->Service();
      if (Echo && p->Received.size() > p->ToSend.size()) p->ToSend.append(p->Received, p->ToSend.size());
      if (Echo && p->Eof && p->Sent == p->ToSend.size()) p->Close();
    }
  }
};

// Pumps the program's loop and services the peers until Cond holds.
inline bool RunUntil(const std::function<bool()>& Cond, const std::function<void()>& Service,
                     int TimeoutMs = 30000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    Service();
    platform::WaitAndDispatch(1);
  }
  return true;
}

// The main window relaying to a real remote server on loopback, and the local clients that the
// test connects: the set-up of the end-to-end suites through the windows.
class TRelayWindowFixture : public AppFixture {
protected:
  void SetUp() override {
    AppFixture::SetUp();
    Main->RemoteAddr->setText("127.0.0.1");
    Main->RemotePort->setText(QString::number(Remote.Listener.Port));
    Port = StartListening();
  }
  void TearDown() override {
    Locals.clear();
    Remote.Peers.clear();
    AppFixture::TearDown();
  }
  TPeer& NewLocal(int Host = 1) {
    Locals.push_back(std::make_unique<TPeer>(ConnectFrom(Host, Port)));
    return *Locals.back();
  }
  virtual void Service() {
    Remote.Service();
    for (auto& l : Locals) l->Service();
  }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 60000) {
    return RunUntil(Cond, [this] { Service(); }, TimeoutMs);
  }

  TRemoteServer Remote;
  std::vector<std::unique_ptr<TPeer>> Locals;
  std::uint16_t Port = 0;
};

}  // namespace apptest
