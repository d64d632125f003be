// The socket calls over POSIX on real loopback sockets: start-up counting, the errno rows that
// real calls produce, EPIPE and SIGPIPE on sends, re-listening on a port whose old connections sit
// in TIME_WAIT, a second listener on a live port, and the translation of options and commands.
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#undef htons
#undef ntohs

#include "WinsockTestSupport.h"

namespace platform::wstest {
namespace {

::testing::AssertionResult FailsWith(int Result, int Code) {
  int err = WSAGetLastError();
  if (Result == SOCKET_ERROR && err == Code) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "result " << Result << ", last error " << err << ", expected " << Code;
}
#define EXPECT_WSA_FAIL(call, Code) EXPECT_TRUE(FailsWith((WSASetLastError(0), (call)), (Code))) << #call

::testing::AssertionResult NoSocket(SOCKET Result, int Code) {
  return FailsWith(Result == INVALID_SOCKET ? SOCKET_ERROR : 0, Code);
}

using WinsockCallsTest = SocketsTest;

TEST_F(WinsockCallsTest, StartupFillsVersionOneOneAndCountsEveryCall) {
  int starts = StartupCount(), cleans = CleanupCount();
  TWSAData data;
  EXPECT_EQ(WSAStartup(0x0101, &data), 0);
  EXPECT_EQ(data.wVersion, 0x0101);
  EXPECT_EQ(data.wHighVersion, 0x0101);
  EXPECT_EQ(WSACleanup(), 0);
  EXPECT_EQ(WSAStartup(0x0000, &data), WSAVERNOTSUPPORTED);
  EXPECT_EQ(StartupCount(), starts + 2);
  EXPECT_EQ(CleanupCount(), cleans + 1);
}

TEST_F(WinsockCallsTest, PortInUseIs10048ForASecondListenerButReListenWorksBesideTimeWait) {
  std::uint16_t port;
  SOCKET l = NewListenerAtDrawnPort(port);
  SOCKET c = ConnectTo(port);
  SOCKET s = accept(l, nullptr, nullptr);
  TSockAddrIn same = SockAddr(Loopback(), port), all = SockAddr(WS_INADDR_ANY, port);
  SOCKET b = Keep(NewSocket());
  EXPECT_WSA_FAIL(bind(b, &same, sizeof same), WSAEADDRINUSE);
  EXPECT_WSA_FAIL(bind(b, &all, sizeof all), WSAEADDRINUSE) << "all addresses overlap 127.0.0.1";

  // The server side closes first, so its end (local port = the listening port) goes to TIME_WAIT.
  ASSERT_EQ(shutdown(s, SD_SEND), 0);
  char ch;
  ASSERT_EQ(recv(c, &ch, 1, 0), 0);
  ASSERT_EQ(closesocket(c), 0);
  ASSERT_EQ(recv(s, &ch, 1, 0), 0);
  ASSERT_EQ(closesocket(s), 0);
  ASSERT_EQ(closesocket(l), 0);  // "Cancel"
  sockaddr_in raw{};
  raw.sin_family = AF_INET;
  raw.sin_port = port;
  raw.sin_addr.s_addr = Loopback();
  int plain = ::socket(AF_INET, SOCK_STREAM, 0);
  EXPECT_NE(::bind(plain, reinterpret_cast<sockaddr*>(&raw), sizeof raw), 0)
      << "precondition: Linux refuses a plain bind while the port has a TIME_WAIT connection";
  ::close(plain);

  SOCKET again = Keep(NewSocket());  // "Listen" again
  ASSERT_EQ(bind(again, &same, sizeof same), 0) << WSAGetLastError();
  ASSERT_EQ(listen(again, 5), 0);
  Keep(ConnectTo(port));
  EXPECT_NE(Keep(accept(again, nullptr, nullptr)), INVALID_SOCKET);
  SOCKET third = Keep(NewSocket());
  EXPECT_WSA_FAIL(bind(third, &same, sizeof same), WSAEADDRINUSE) << "the port is really in use again";
}

TEST_F(WinsockCallsTest, ResetPeerIs10054OnRecvAndOnEverySendAfter) {
  SOCKET c, s;
  Pair(c, s);
  TLinger hard{1, 0};
  ASSERT_EQ(setsockopt(c, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard), 0);
  Close(c);
  char buf[8];
  EXPECT_WSA_FAIL(recv(s, buf, sizeof buf, 0), WSAECONNRESET);
  EXPECT_WSA_FAIL(send(s, "x", 1, 0), WSAECONNRESET) << "EPIPE after a reset is the reset";
}

int gSigpipes = 0;

TEST_F(WinsockCallsTest, WritingToAClosedPeerNeverRaisesSigpipe) {
  struct sigaction counting {}, old{};
  counting.sa_handler = [](int) { ++gSigpipes; };
  ASSERT_EQ(::sigaction(SIGPIPE, &counting, &old), 0);
  gSigpipes = 0;
  SOCKET c, s;
  Pair(c, s);
  Close(c);  // orderly: our next send makes the peer's system answer with a reset
  int error = 0;
  for (int i = 0; i < 100 && error == 0; ++i) {
    if (send(s, "data", 4, 0) == SOCKET_ERROR) {
      error = WSAGetLastError();
    } else {
      pollfd p{Fd(s), 0, 0};
      ::poll(&p, 1, kDeadlineMs);  // until the reset is in (POLLERR/POLLHUP)
    }
  }
  EXPECT_EQ(error, WSAECONNRESET);
  for (int i = 0; i < 3; ++i) EXPECT_WSA_FAIL(send(s, "data", 4, 0), WSAECONNRESET);
  ::sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(gSigpipes, 0);
}

TEST_F(WinsockCallsTest, SendAfterOwnShutdownIs10058AndNeverConnectedIs10057) {
  SOCKET c, s, c2, s2;
  Pair(c, s);
  Pair(c2, s2);
  ASSERT_EQ(shutdown(c, SD_SEND), 0);
  EXPECT_WSA_FAIL(send(c, "x", 1, 0), WSAESHUTDOWN);
  ASSERT_EQ(shutdown(c2, SD_BOTH), 0);
  EXPECT_WSA_FAIL(send(c2, "x", 1, 0), WSAESHUTDOWN);

  SOCKET fresh = Keep(NewSocket());
  char b;
  TSockAddrIn a;
  int len = sizeof a;
  EXPECT_WSA_FAIL(send(fresh, "x", 1, 0), WSAENOTCONN) << "Linux says EPIPE for a never connected stream";
  EXPECT_WSA_FAIL(recv(fresh, &b, 1, 0), WSAENOTCONN);
  EXPECT_WSA_FAIL(getpeername(fresh, &a, &len), WSAENOTCONN);
}

TEST_F(WinsockCallsTest, MisuseRows) {
  SOCKET s = Keep(NewSocket()), unbound = Keep(NewSocket());
  BindLoopback(s);
  TSockAddrIn a = SockAddr(Loopback(), 0);
  TSockAddrIn name;
  int len = sizeof name;
  std::uint32_t arg = 0;
  EXPECT_WSA_FAIL(bind(s, &a, sizeof a), WSAEINVAL) << "bound twice";
  EXPECT_TRUE(NoSocket(accept(s, nullptr, nullptr), WSAEINVAL)) << "not listening";
  EXPECT_WSA_FAIL(listen(unbound, 5), WSAEINVAL) << "Windows refuses to listen unbound";
  EXPECT_WSA_FAIL(getsockname(unbound, &name, &len), WSAEINVAL);
  EXPECT_WSA_FAIL(shutdown(s, 7), WSAEINVAL);
  EXPECT_WSA_FAIL(ioctlsocket(s, 0x12345678, &arg), WSAEINVAL);
  EXPECT_WSA_FAIL(bind(s, &a, 8), WSAEFAULT) << "a record shorter than 16 bytes";
  EXPECT_WSA_FAIL(ioctlsocket(s, WS_FIONREAD, nullptr), WSAEFAULT);
  a.sin_family = 99;
  EXPECT_WSA_FAIL(bind(unbound, &a, sizeof a), WSAEAFNOSUPPORT);
  TSockAddrIn foreign = SockAddr(Ip(198, 51, 100, 7), 0);  // no address of this machine
  EXPECT_WSA_FAIL(bind(unbound, &foreign, sizeof foreign), WSAEADDRNOTAVAIL);
  TSockAddrIn refused = SockAddr(Loopback(), FreePort());
  EXPECT_WSA_FAIL(connect(unbound, &refused, sizeof refused), WSAECONNREFUSED);

  EXPECT_TRUE(NoSocket(socket(WS_AF_INET, WS_SOCK_STREAM, WS_IPPROTO_UDP), WSAEPROTONOSUPPORT));
  EXPECT_TRUE(NoSocket(socket(WS_AF_INET, 5 /* SOCK_SEQPACKET */, 0), WSAESOCKTNOSUPPORT));
  EXPECT_TRUE(NoSocket(socket(6 /* AF_IPX */, WS_SOCK_STREAM, 0), WSAEAFNOSUPPORT));

  SOCKET u = Keep(NewSocket(WS_SOCK_DGRAM));
  std::string big(70000, 'x');
  TSockAddrIn discard = SockAddr(Loopback(), 9);
  TSockAddrIn bcast = SockAddr(Ip(127, 255, 255, 255), 9);  // loopback range, refused before sending
  EXPECT_WSA_FAIL(sendto(u, big.data(), 70000, 0, &discard, sizeof discard), WSAEMSGSIZE);
  EXPECT_WSA_FAIL(send(u, "x", 1, 0), WSAEDESTADDRREQ);
  EXPECT_WSA_FAIL(listen(u, 5), WSAEOPNOTSUPP);
  EXPECT_WSA_FAIL(sendto(u, "x", 1, 0, &bcast, sizeof bcast), WSAEACCES) << "broadcast without SO_BROADCAST";

  SOCKET c, p;
  Pair(c, p);
  len = sizeof name;
  ASSERT_EQ(getpeername(c, &name, &len), 0);
  EXPECT_WSA_FAIL(connect(c, &name, sizeof name), WSAEISCONN);
  std::uint32_t on = 1;
  ASSERT_EQ(ioctlsocket(p, WS_FIONBIO, &on), 0);
  char b;
  EXPECT_WSA_FAIL(recv(p, &b, 1, 0), WSAEWOULDBLOCK);
}

TEST_F(WinsockCallsTest, NotASocketIs10038AndClosesocketLeavesOtherDescriptorsAlone) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  char b;
  EXPECT_WSA_FAIL(recv(static_cast<SOCKET>(fds[0]), &b, 1, 0), WSAENOTSOCK);
  EXPECT_WSA_FAIL(closesocket(static_cast<SOCKET>(fds[1])), WSAENOTSOCK);
  EXPECT_EQ(::write(fds[1], "k", 1), 1) << "the pipe is still open";
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_WSA_FAIL(closesocket(static_cast<SOCKET>(fds[0])), WSAENOTSOCK) << "a closed number";
  EXPECT_WSA_FAIL(send(INVALID_SOCKET, "x", 1, 0), WSAENOTSOCK);
}

TEST_F(WinsockCallsTest, TooManyOpenFilesIs10024ForSocketAndAccept) {
  std::uint16_t port;
  SOCKET l = Keep(NewListener(port));
  Keep(ConnectTo(port));  // pending on l
  int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  ASSERT_GE(devnull, 0);
  rlimit old{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &old), 0);
  rlimit low = old;
  low.rlim_cur = static_cast<rlim_t>(devnull) + 4;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  std::vector<int> fillers;  // every free number below the limit
  for (int i = 0, d; i < 64 && (d = ::fcntl(devnull, F_DUPFD_CLOEXEC, 0)) >= 0; ++i) fillers.push_back(d);
  SOCKET s = socket(WS_AF_INET, WS_SOCK_STREAM, WS_IPPROTO_TCP);
  int socketError = WSAGetLastError();
  SOCKET a = accept(l, nullptr, nullptr);
  int acceptError = WSAGetLastError();
  for (int d : fillers) ::close(d);
  ::setrlimit(RLIMIT_NOFILE, &old);
  ::close(devnull);
  EXPECT_EQ(s, INVALID_SOCKET);
  EXPECT_EQ(socketError, WSAEMFILE);
  EXPECT_EQ(a, INVALID_SOCKET);
  EXPECT_EQ(acceptError, WSAEMFILE);
  EXPECT_NE(Keep(accept(l, nullptr, nullptr)), INVALID_SOCKET) << "the connection waited";
}

TEST_F(WinsockCallsTest, OptionsReachThePosixSocketTranslated) {
  SOCKET s = Keep(NewSocket());
  TLinger l{1, 5};
  ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l), 0);
  linger got{};
  socklen_t len = sizeof got;
  ASSERT_EQ(::getsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &got, &len), 0);
  EXPECT_EQ(got.l_onoff, 1);
  EXPECT_EQ(got.l_linger, 5);
  std::int32_t allBits = -1;
  const char* on = reinterpret_cast<const char*>(&allBits);
  const int rows[][2] = {{WS_SO_REUSEADDR, SO_REUSEADDR}, {WS_SO_KEEPALIVE, SO_KEEPALIVE}, {WS_SO_BROADCAST, SO_BROADCAST}};
  for (const auto& row : rows) {
    ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, row[0], on, 4), 0) << row[0];
    int v = 0;
    len = sizeof v;
    ASSERT_EQ(::getsockopt(Fd(s), SOL_SOCKET, row[1], &v, &len), 0);
    EXPECT_EQ(v, 1) << row[0];
  }
  EXPECT_WSA_FAIL(setsockopt(s, WS_SOL_SOCKET, 0x7777, on, 4), WSAENOPROTOOPT);
  EXPECT_WSA_FAIL(setsockopt(s, 0x1234, WS_SO_KEEPALIVE, on, 4), WSAEINVAL);
  EXPECT_WSA_FAIL(setsockopt(s, WS_SOL_SOCKET, WS_SO_KEEPALIVE, on, 2), WSAEFAULT);

  SOCKET u = Keep(NewSocket(WS_SOCK_DGRAM));
  BindLoopback(u);
  ASSERT_EQ(setsockopt(u, WS_SOL_SOCKET, WS_SO_BROADCAST, on, 4), 0);
  TSockAddrIn bcast = SockAddr(Ip(127, 255, 255, 255), BoundPort(u));  // loopback only
  EXPECT_EQ(sendto(u, "b", 1, 0, &bcast, sizeof bcast), 1);
}

TEST_F(WinsockCallsTest, CountsAddressesAndZeroByteReads) {
  SOCKET c, s;
  Pair(c, s);
  char b[4];
  SendAll(c, "twelve bytes");
  ASSERT_TRUE(WaitForBytes(s, 12));
  std::uint32_t n = 0;
  ASSERT_EQ(ioctlsocket(s, WS_FIONREAD, &n), 0);
  EXPECT_EQ(n, 12u);
  EXPECT_EQ(recv(s, b, 0, 0), 0) << "a 0-byte read: a read could proceed";
  TSockAddrIn mine, theirs;
  int l1 = 16, l2 = 16;
  ASSERT_EQ(getsockname(c, &mine, &l1), 0);
  ASSERT_EQ(getpeername(s, &theirs, &l2), 0);
  EXPECT_EQ(l1, 16);
  EXPECT_EQ(mine.sin_family, WS_AF_INET);
  EXPECT_EQ(mine.sin_addr, Loopback());
  EXPECT_EQ(mine.sin_port, theirs.sin_port);
}

TEST_F(WinsockCallsTest, DatagramLongerThanTheBufferIs10040AndIsDropped) {
  SOCKET u = Keep(NewSocket(WS_SOCK_DGRAM)), v = Keep(NewSocket(WS_SOCK_DGRAM));
  BindLoopback(u);
  TSockAddrIn to = SockAddr(Loopback(), BoundPort(u));
  ASSERT_EQ(sendto(v, "0123456789", 10, 0, &to, sizeof to), 10);
  ASSERT_EQ(sendto(v, "next", 4, 0, &to, sizeof to), 4);
  ASSERT_TRUE(FdReadable(Fd(u), kDeadlineMs));
  char buf[16] = {};
  TSockAddrIn from;
  int len = sizeof from;
  EXPECT_WSA_FAIL(recvfrom(u, buf, 4, 0, &from, &len), WSAEMSGSIZE);
  EXPECT_EQ(std::string(buf, 4), "0123");
  EXPECT_EQ(recv(u, buf, sizeof buf, 0), 4) << "the rest of the long one is gone";
  EXPECT_EQ(std::string(buf, 4), "next");
}

// A linger time on a non-blocking socket must not block the thread in closesocket: Windows
// answers would-block until the data has left, and then the close goes through.
TEST_F(WinsockCallsTest, LingeringCloseOfANonBlockingSocketWouldBlockInsteadOfBlocking) {
  SOCKET client, server;
  Pair(client, server);
  std::uint32_t on = 1;
  ASSERT_EQ(ioctlsocket(client, WS_FIONBIO, &on), 0);
  std::string chunk(65536, 'x');
  std::size_t queued = 0;
  for (int i = 0; i < 10000; ++i) {  // fill both buffers until the send would block
    int n = send(client, chunk.data(), static_cast<int>(chunk.size()), 0);
    if (n == SOCKET_ERROR) break;
    queued += static_cast<std::size_t>(n);
  }
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  TLinger l{1, 30};
  ASSERT_EQ(setsockopt(client, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l), 0);
  // A close that blocked would return 0 after the linger time, not would-block.
  EXPECT_WSA_FAIL(closesocket(client), WSAEWOULDBLOCK);

  // The peer reads everything; the close then goes through, and nothing was lost.
  std::size_t got = 0;
  std::string buf(65536, '\0');
  bool closed = false;
  for (int i = 0; i < 100000 && !closed; ++i) {
    int n = ::recv(Fd(server), buf.data(), buf.size(), MSG_DONTWAIT);
    if (n > 0) got += static_cast<std::size_t>(n);
    if (closesocket(client) == 0) closed = true;
  }
  ASSERT_TRUE(closed);
  std::erase(sockets, client);
  for (int i = 0; i < 100000; ++i) {
    int n = ::recv(Fd(server), buf.data(), buf.size(), 0);
    if (n <= 0) {
      EXPECT_EQ(n, 0) << "an orderly end, not a reset";
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(got, queued);
}

// The close reads the linger setting from the socket itself: one made with the POSIX call, behind
// the calls' back, still turns a close that would block the thread into would-block; and linger
// set back off behind their back lets the same close go through at once, orderly.
TEST_F(WinsockCallsTest, LingerSetBehindTheCallsBackDecidesTheClose) {
  SOCKET client, server;
  Pair(client, server);
  std::uint32_t on = 1;
  ASSERT_EQ(ioctlsocket(client, WS_FIONBIO, &on), 0);
  std::string chunk(65536, 'y');
  std::size_t queued = 0;
  for (int i = 0; i < 10000; ++i) {
    int n = send(client, chunk.data(), static_cast<int>(chunk.size()), 0);
    if (n == SOCKET_ERROR) break;
    queued += static_cast<std::size_t>(n);
  }
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  linger raw{1, 30};
  ASSERT_EQ(::setsockopt(Fd(client), SOL_SOCKET, SO_LINGER, &raw, sizeof raw), 0);
  EXPECT_WSA_FAIL(closesocket(client), WSAEWOULDBLOCK);
  EXPECT_WSA_FAIL(closesocket(client), WSAEWOULDBLOCK) << "asked again, the data is still there";

  raw = {0, 0};
  ASSERT_EQ(::setsockopt(Fd(client), SOL_SOCKET, SO_LINGER, &raw, sizeof raw), 0);
  ASSERT_EQ(closesocket(client), 0) << "linger off: nothing to wait for";
  std::erase(sockets, client);
  std::size_t got = 0;
  std::string buf(65536, '\0');
  for (int i = 0; i < 100000; ++i) {
    int n = ::recv(Fd(server), buf.data(), buf.size(), 0);
    if (n <= 0) {
      EXPECT_EQ(n, 0) << "an orderly end, not a reset";
      break;
    }
    got += static_cast<std::size_t>(n);
  }
  EXPECT_EQ(got, queued) << "the kernel still delivers what it held";
}

// A lingering close's deadline belongs to its socket. One that would block, then had its linger
// turned off and closed, leaves none behind: the next socket of the same number, once the first
// one's time has passed, still waits its own linger time instead of resetting at once.
TEST_F(WinsockCallsTest, ALingeringClosesDeadlineGoesWithItsSocket) {
  std::uint16_t port;
  SOCKET l = Keep(NewListener(port));
  std::string chunk(65536, 'z');
  auto fillAndLinger = [&](SOCKET c, std::uint16_t Seconds) {
    std::uint32_t on = 1;
    ASSERT_EQ(ioctlsocket(c, WS_FIONBIO, &on), 0);
    for (int i = 0; i < 10000 && send(c, chunk.data(), static_cast<int>(chunk.size()), 0) != SOCKET_ERROR; ++i) {
    }
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    TLinger lg{1, Seconds};
    ASSERT_EQ(setsockopt(c, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg), 0);
  };
  const TLinger off{0, 0};
  SOCKET first = ConnectTo(port);
  Keep(accept(l, nullptr, nullptr));
  fillAndLinger(first, 1);
  EXPECT_WSA_FAIL(closesocket(first), WSAEWOULDBLOCK);
  ASSERT_EQ(setsockopt(first, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off), 0);
  ASSERT_EQ(closesocket(first), 0);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));  // the first one's deadline passes

  std::vector<SOCKET> others;
  SOCKET second = NewSocketNumbered(first, others);
  for (SOCKET o : others) Keep(o);
  ASSERT_EQ(second, first) << "the number is handed out again";
  TSockAddrIn a = SockAddr(Loopback(), port);
  ASSERT_EQ(connect(second, &a, sizeof a), 0) << WSAGetLastError();
  Keep(accept(l, nullptr, nullptr));
  fillAndLinger(second, 30);
  EXPECT_WSA_FAIL(closesocket(second), WSAEWOULDBLOCK) << "its own 30 seconds, not the old deadline";
  ASSERT_EQ(setsockopt(second, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&off), sizeof off), 0);
  EXPECT_EQ(closesocket(second), 0);
}

// Linger set through the calls is what the socket has, whatever was set before and however (a
// call that skipped a setting it believed in place would get this wrong); and the count of bytes
// waiting, which the calls answer themselves once a stream has ended, agrees with the socket.
TEST_F(WinsockCallsTest, LingerSetAgainAndTheCountAfterTheEndAgreeWithTheSocket) {
  SOCKET s = Keep(NewSocket());
  const TLinger settings[] = {{1, 5}, {1, 5}, {0, 0}, {0, 0}, {1, 0}, {1, 5}, {0, 5}, {1, 5}};
  for (const TLinger& l : settings) {
    ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l), 0);
    linger got{};
    socklen_t len = sizeof got;
    ASSERT_EQ(::getsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &got, &len), 0);
    EXPECT_EQ(got.l_onoff != 0, l.l_onoff != 0) << l.l_onoff << "/" << l.l_linger;
    if (l.l_onoff != 0) {
      EXPECT_EQ(got.l_linger, l.l_linger);
    }
  }
  // Changed behind the calls' back, set again through them: it is set.
  linger raw{0, 0};
  ASSERT_EQ(::setsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &raw, sizeof raw), 0);
  const TLinger again{1, 5};
  ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&again), sizeof again), 0);
  linger got{};
  socklen_t len = sizeof got;
  ASSERT_EQ(::getsockopt(Fd(s), SOL_SOCKET, SO_LINGER, &got, &len), 0);
  EXPECT_EQ(got.l_onoff, 1) << "a value the socket no longer has is set again";

  SOCKET client, server;
  Pair(client, server);
  ASSERT_EQ(::send(Fd(server), "abc", 3, 0), 3);
  ::shutdown(Fd(server), SHUT_WR);
  std::uint32_t waiting = 0;
  for (int i = 0; i < 1000 && waiting < 3; ++i) ASSERT_EQ(ioctlsocket(client, WS_FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 3u);
  char buf[8];
  EXPECT_EQ(recv(client, buf, 2, 0), 2);
  ASSERT_EQ(ioctlsocket(client, WS_FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 1u) << "a partial read is no end";
  EXPECT_EQ(recv(client, buf, 8, 0), 1);
  EXPECT_EQ(recv(client, buf, 0, 0), 0) << "a read of nothing is no end either";
  EXPECT_EQ(recv(client, buf, 8, 0), 0);
  ASSERT_EQ(ioctlsocket(client, WS_FIONREAD, &waiting), 0);
  EXPECT_EQ(waiting, 0u);
}

}  // namespace
}  // namespace platform::wstest
