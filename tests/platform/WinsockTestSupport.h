// Internal to the platform tests: loopback sockets through the Windows Sockets calls, an endpoint
// that records the notifications it gets, and pumping until a condition holds (with a deadline).
// Everything is in namespace platform, so that socket(), recv() and the rest name the calls under
// test and not the POSIX functions of the same names.
#pragma once

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "FreePorts.h"
#include "platform/MessageLoop.h"
#include "platform/Winsock.h"
#include "platform/WinsockErrors.h"

namespace platform::wstest {

constexpr UINT kSocketMsg = WM_USER + 1;
constexpr int kDeadlineMs = 5000;

inline std::uint32_t Ip(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  const std::uint8_t bytes[4] = {a, b, c, d};
  std::uint32_t v;
  std::memcpy(&v, bytes, 4);
  return v;
}
inline std::uint32_t Loopback() { return Ip(127, 0, 0, 1); }

inline TSockAddrIn SockAddr(std::uint32_t AddrNet, std::uint16_t PortNet) {
  TSockAddrIn a;
  a.sin_family = WS_AF_INET;
  a.sin_port = PortNet;
  a.sin_addr = AddrNet;
  return a;
}

inline int Fd(SOCKET S) { return static_cast<int>(S); }

// The bound port of S, in network order.
inline std::uint16_t BoundPort(SOCKET S) {
  TSockAddrIn a;
  int len = sizeof a;
  EXPECT_EQ(getsockname(S, &a, &len), 0);
  return a.sin_port;
}

inline SOCKET NewSocket(int Type = WS_SOCK_STREAM) {
  SOCKET s = socket(WS_AF_INET, Type, Type == WS_SOCK_STREAM ? WS_IPPROTO_TCP : WS_IPPROTO_UDP);
  EXPECT_NE(s, INVALID_SOCKET);
  return s;
}

inline void BindLoopback(SOCKET S, std::uint16_t PortNet = 0) {
  TSockAddrIn a = SockAddr(Loopback(), PortNet);
  EXPECT_EQ(bind(S, &a, sizeof a), 0) << WSAGetLastError();
}

// A listener on 127.0.0.1 at a port the system chose.
inline SOCKET NewListener(std::uint16_t& PortNet) {
  SOCKET l = NewSocket();
  BindLoopback(l);
  EXPECT_EQ(listen(l, 5), 0);
  PortNet = BoundPort(l);
  return l;
}

// A listener on 127.0.0.1 at a port drawn below the ephemeral range, for a test that closes it and
// binds the same port again: a port the system chose could meanwhile go to another test's
// outgoing connection.
inline SOCKET NewListenerAtDrawnPort(std::uint16_t& PortNet) {
  SOCKET l = NewSocket();
  BindLoopback(l, htons(freeports::DrawPort()));
  EXPECT_EQ(listen(l, 5), 0);
  PortNet = BoundPort(l);
  return l;
}

// A port on 127.0.0.1 where nothing listens.
inline std::uint16_t FreePort() {
  SOCKET s = NewSocket();
  BindLoopback(s);
  std::uint16_t port = BoundPort(s);
  closesocket(s);
  return port;
}

// Blocking connect to 127.0.0.1:PortNet.
inline SOCKET ConnectTo(std::uint16_t PortNet) {
  SOCKET c = NewSocket();
  TSockAddrIn a = SockAddr(Loopback(), PortNet);
  EXPECT_EQ(connect(c, &a, sizeof a), 0) << WSAGetLastError();
  return c;
}

// A test that keeps the sockets it makes and closes them at the end.
class SocketsTest : public ::testing::Test {
protected:
  void TearDown() override {
    for (SOCKET s : sockets) closesocket(s);
    sockets.clear();
  }
  SOCKET Keep(SOCKET s) {
    sockets.push_back(s);
    return s;
  }
  void Close(SOCKET s) {
    std::erase(sockets, s);
    EXPECT_EQ(closesocket(s), 0);
  }
  // A connected pair: Client (blocking) and Server, the accepted side.
  void Pair(SOCKET& Client, SOCKET& Server) {
    std::uint16_t port;
    SOCKET l = NewListener(port);
    Client = Keep(ConnectTo(port));
    Server = Keep(accept(l, nullptr, nullptr));
    closesocket(l);
  }
  std::vector<SOCKET> sockets;
};

// A new socket with the number Wanted, free since a close: POSIX hands out the lowest free
// number, so the sockets created on the way are added to Others.
inline SOCKET NewSocketNumbered(SOCKET Wanted, std::vector<SOCKET>& Others) {
  for (int i = 0; i < 256; ++i) {
    SOCKET s = NewSocket();
    if (s == Wanted || s == INVALID_SOCKET || s > Wanted) return s;
    Others.push_back(s);
  }
  return INVALID_SOCKET;
}

inline bool FdReadable(int Fd, int TimeoutMs = 0) {
  pollfd p{Fd, POLLIN, 0};
  return ::poll(&p, 1, TimeoutMs) == 1 && (p.revents & POLLIN) != 0;
}

inline int Waiting(SOCKET S) {
  int n = 0;
  ::ioctl(Fd(S), FIONREAD, &n);
  return n;
}

// Waits (bounded) until the kernel has delivered at least Bytes to S.
inline bool WaitForBytes(SOCKET S, int Bytes) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kDeadlineMs);
  while (Waiting(S) < Bytes)
    if (std::chrono::steady_clock::now() > deadline || !FdReadable(Fd(S), kDeadlineMs)) return false;
  return true;
}

inline void SendAll(SOCKET S, const std::string& Data) {
  for (std::size_t off = 0; off < Data.size();) {
    int n = send(S, Data.data() + off, static_cast<int>(Data.size() - off), 0);
    ASSERT_GT(n, 0) << WSAGetLastError();
    off += static_cast<std::size_t>(n);
  }
}

struct Note {
  HWND wnd;
  UINT msg;
  WPARAM w;
  LPARAM l;
};

// Records what reaches the endpoints of its class.
class Recorder {
public:
  static Recorder& Instance() {
    static Recorder r;
    return r;
  }
  std::vector<Note> notes;
  std::function<void(const Note&)> hook;  // runs inside the window procedure, after recording

  HWND NewWindow() { return CreateNotifyWindow("WinsockTestClass"); }

  // The notifications of message Msg about S, as "CONNECT/10061 WRITE READ CLOSE": event names in
  // order of arrival, each with its error word when that is not 0.
  std::string Trace(SOCKET S, UINT Msg = kSocketMsg) const {
    static const char* names[] = {"READ", "WRITE", "OOB", "ACCEPT", "CONNECT", "CLOSE"};
    std::string out;
    for (const Note& n : notes) {
      if (n.msg != Msg || n.w != static_cast<WPARAM>(S)) continue;
      if (!out.empty()) out += ' ';
      for (int bit = 0; bit < 6; ++bit)
        if (LoWord(n.l) & (1 << bit)) out += names[bit];
      if (HiWord(n.l) != 0) out += '/' + std::to_string(HiWord(n.l));
    }
    return out;
  }

private:
  Recorder() {
    RegisterWindowClass("WinsockTestClass", [this](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
      notes.push_back({w, m, wp, lp});
      if (hook) hook(notes.back());
      return 0;
    });
  }
};

// Pumps until Cond holds or the deadline passes; true when it holds.
inline bool PumpUntil(const std::function<bool()>& Cond, int TimeoutMs = kDeadlineMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Cond()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    WaitAndDispatch(20);
  }
  return true;
}

// Dispatches everything that is due now, readiness included, without waiting.
inline void PumpIdle() {
  for (int i = 0; i < 1000 && WaitAndDispatch(0); ++i) {
  }
}

}  // namespace platform::wstest
