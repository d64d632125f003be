// WSAAsyncSelect over real loopback sockets: the repetition rules of each event, what a selection
// posts at once, mask 0, dropping queued notifications at closesocket and at a new selection (a
// reused descriptor number never gets what was meant for the socket closed before it), and no
// busy loop while nothing is armed.
#include <fcntl.h>

#include "WinsockTestSupport.h"

namespace platform::wstest {
namespace {

class WinsockSelectTest : public SocketsTest {
protected:
  void SetUp() override {
    PumpIdle();
    rec.notes.clear();
    rec.hook = nullptr;
    wnd = rec.NewWindow();
    ASSERT_NE(wnd, 0u);
  }
  void TearDown() override {
    rec.hook = nullptr;
    SocketsTest::TearDown();
    DestroyNotifyWindow(wnd);
    PumpIdle();
    EXPECT_EQ(PendingMessageCount(), 0u);
  }
  int Select(SOCKET s, long Mask, UINT Msg = kSocketMsg) { return WSAAsyncSelect(s, wnd, Msg, Mask); }
  bool PumpUntilTrace(SOCKET s, const std::string& Expected) {
    return PumpUntil([&] { return rec.Trace(s) == Expected; });
  }
  // Reads on the raw descriptor until Cond holds, pumping between rounds.
  bool DrainUntil(SOCKET s, long& Got, const std::function<bool()>& Cond) {
    char buf[65536];
    return PumpUntil([&] {
      for (long n; (n = ::recv(Fd(s), buf, sizeof buf, MSG_DONTWAIT)) > 0;) Got += n;
      return Cond();
    });
  }

  Recorder& rec = Recorder::Instance();
  HWND wnd = 0;
};

TEST_F(WinsockSelectTest, ReadIsPostedOnceAndAgainOnlyAfterAReadThatLeavesData) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(Select(s, FD_READ | FD_CLOSE), 0);
  SendAll(c, std::string(100, 'a'));
  ASSERT_TRUE(PumpUntilTrace(s, "READ"));
  SendAll(c, std::string(100, 'b'));
  ASSERT_TRUE(WaitForBytes(s, 200));
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "READ") << "not again until the program reads";

  char buf[1000];
  ASSERT_EQ(recv(s, buf, 50, 0), 50);
  EXPECT_EQ(rec.Trace(s), "READ") << "posted, never delivered inside recv";
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "READ READ") << "data remains after the read";
  ASSERT_EQ(recv(s, buf, 10, 2 /* MSG_PEEK */), 10);
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "READ READ READ") << "a peek leaves the data";
  ASSERT_EQ(recv(s, buf, 150, 0), 150);
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "READ READ READ") << "the read took exactly everything";

  SendAll(c, "x");
  EXPECT_TRUE(PumpUntilTrace(s, "READ READ READ READ"));
}

TEST_F(WinsockSelectTest, NoBusyLoopWhileReadAndWriteAreOutAndDataIsUnread) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(Select(s, FD_READ | FD_WRITE | FD_CLOSE), 0);
  SendAll(c, std::string(10, 'a'));
  ASSERT_TRUE(PumpUntilTrace(s, "WRITE READ"));
  PumpIdle();
  EXPECT_FALSE(FdReadable(LoopDescriptor())) << "the loop descriptor must not stay readable";
  EXPECT_FALSE(WaitAndDispatch(0));
  EXPECT_EQ(Waiting(s), 10);
}

TEST_F(WinsockSelectTest, ConnectPostsConnectThenWriteOnceAndDataAfterThem) {
  std::uint16_t port;
  SOCKET l = Keep(NewListener(port));
  SOCKET c = Keep(NewSocket());
  ASSERT_EQ(Select(c, 0x3B), 0);
  PumpIdle();
  EXPECT_EQ(rec.Trace(c), "") << "a fresh socket has nothing to report";
  TSockAddrIn a = SockAddr(Loopback(), port);
  if (connect(c, &a, sizeof a) != 0) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  }
  SOCKET s = Keep(accept(l, nullptr, nullptr));
  ASSERT_TRUE(PumpUntilTrace(c, "CONNECT WRITE"));
  EXPECT_EQ(send(c, "abc", 3, 0), 3);
  SendAll(s, "hi");
  ASSERT_TRUE(WaitForBytes(s, 3));
  EXPECT_TRUE(PumpUntilTrace(c, "CONNECT WRITE READ")) << "a send that went through re-enables nothing";
}

TEST_F(WinsockSelectTest, RefusedConnectPostsConnectWithTheErrorAndNothingElse) {
  SOCKET c = Keep(NewSocket());
  ASSERT_EQ(Select(c, 0x3B), 0);
  TSockAddrIn a = SockAddr(Loopback(), FreePort());
  ASSERT_EQ(connect(c, &a, sizeof a), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK) << "as on Windows, the outcome comes as FD_CONNECT";
  ASSERT_TRUE(PumpUntilTrace(c, "CONNECT/10061"));
  PumpIdle();
  EXPECT_EQ(rec.Trace(c), "CONNECT/10061") << "no FD_WRITE, no FD_CLOSE after a failed connect";
}

// The peer accepts, sends and resets before the loop has looked at the connecting socket: the
// connection was made, so FD_CONNECT reports no error, the bytes that came before the reset can be
// read, and the reset comes as FD_CLOSE.
TEST_F(WinsockSelectTest, ConnectionResetBeforeItsConnectIsTakenIsStillConnectedThenReadThenReset) {
  std::uint16_t port;
  SOCKET l = Keep(NewListener(port));
  SOCKET c = Keep(NewSocket());
  ASSERT_EQ(Select(c, 0x3B), 0);
  TSockAddrIn a = SockAddr(Loopback(), port);
  if (connect(c, &a, sizeof a) != 0) {
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  }
  SOCKET s = accept(l, nullptr, nullptr);
  ASSERT_NE(s, INVALID_SOCKET);
  SendAll(s, "hello");
  TLinger hard{1, 0};
  ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard), 0);
  Close(s);
  ASSERT_TRUE(PumpUntil([&] {
    const std::string t = rec.Trace(c);
    return t.find("CLOSE") != std::string::npos || t.find("CONNECT/") != std::string::npos;
  }));
  PumpIdle();
  const std::string trace = rec.Trace(c);
  EXPECT_EQ(trace.rfind("CONNECT ", 0), 0u) << trace;
  EXPECT_NE(trace.find("READ CLOSE/10054"), std::string::npos) << trace;
  char buf[16];
  EXPECT_EQ(recv(c, buf, sizeof buf, 0), 5);
  EXPECT_EQ(std::string(buf, 5), "hello");
}

TEST_F(WinsockSelectTest, ConnectThatLinuxFailsInsideTheCallStillReportsThroughFdConnect) {
  // Linux refuses a stream connect to a broadcast address inside connect(), before any packet.
  TSockAddrIn a = SockAddr(Ip(127, 255, 255, 255), FreePort());
  SOCKET c = Keep(NewSocket());
  ASSERT_EQ(Select(c, 0x3B), 0);
  ASSERT_EQ(connect(c, &a, sizeof a), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(rec.Trace(c), "") << "queued, not delivered inside connect";
  EXPECT_TRUE(PumpUntilTrace(c, "CONNECT/10051"));

  SOCKET b = Keep(NewSocket());  // not selected: the failure is the call's own
  EXPECT_EQ(connect(b, &a, sizeof a), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENETUNREACH);
}

TEST_F(WinsockSelectTest, WriteAgainOnlyAfterASendThatWouldBlockAndRoomCameBack) {
  SOCKET c, s;
  Pair(c, s);
  int small = 16384;
  ::setsockopt(Fd(c), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_EQ(Select(c, FD_READ | FD_WRITE | FD_CLOSE), 0);
  ASSERT_TRUE(PumpUntilTrace(c, "WRITE")) << "connected at select";
  std::string chunk(16384, 'z');
  long sent = 0;
  for (int i = 0, n; i < 10000 && (n = send(c, chunk.data(), 16384, 0)) != SOCKET_ERROR; ++i) sent += n;
  ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  PumpIdle();
  EXPECT_EQ(rec.Trace(c), "WRITE") << "no room yet: the peer has not read";
  long got = 0;
  ASSERT_TRUE(DrainUntil(s, got, [&] { return rec.Trace(c) == "WRITE WRITE"; }));
  ASSERT_TRUE(DrainUntil(s, got, [&] { return got == sent; }));
  EXPECT_EQ(rec.Trace(c), "WRITE WRITE") << "once per would-block";
}

TEST_F(WinsockSelectTest, SendThatTakesOnlyPartOfTheSpanAlsoBringsWriteWhenRoomComesBack) {
  // Windows takes a non-blocking send whole or refuses it; Linux takes what fits. A caller that got
  // a short count waits for FD_WRITE without sending again, so the short send must arm it.
  SOCKET c, s;
  Pair(c, s);
  int small = 16384;
  ::setsockopt(Fd(c), SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
  ASSERT_EQ(Select(c, FD_WRITE), 0);
  ASSERT_TRUE(PumpUntilTrace(c, "WRITE"));
  std::string chunk(1 << 20, 'p');
  int n = 0;
  for (int i = 0; i < 1000 && (n = send(c, chunk.data(), 1 << 20, 0)) == 1 << 20; ++i) {
  }
  ASSERT_GE(n, 0) << "expected a short send, not " << WSAGetLastError();
  ASSERT_LT(n, 1 << 20);
  long got = 0;
  EXPECT_TRUE(DrainUntil(s, got, [&] { return rec.Trace(c) == "WRITE WRITE"; }));
}

TEST_F(WinsockSelectTest, WriteAtSelectOfAnAcceptedSocketAndAgainAtEachNewSelection) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(Select(s, 0x33), 0);
  ASSERT_TRUE(PumpUntilTrace(s, "WRITE"));
  ASSERT_EQ(Select(s, 0), 0);     // Pause
  ASSERT_EQ(Select(s, 0x33), 0);  // Resume
  ASSERT_TRUE(PumpUntilTrace(s, "WRITE WRITE"));
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "WRITE WRITE");
}

TEST_F(WinsockSelectTest, AcceptIsPostedWhilePendingAndReEnabledByAccept) {
  std::uint16_t port;
  SOCKET l = Keep(NewListener(port));
  Keep(ConnectTo(port));
  ASSERT_TRUE(FdReadable(Fd(l), kDeadlineMs));
  ASSERT_EQ(Select(l, 0x2B), 0);
  EXPECT_EQ(PendingMessageCount(), 1u) << "pending at select: queued by the selection itself";
  Keep(ConnectTo(port));
  ASSERT_TRUE(PumpUntilTrace(l, "ACCEPT"));
  PumpIdle();
  EXPECT_EQ(rec.Trace(l), "ACCEPT") << "a second pending connection posts nothing by itself";

  Keep(accept(l, nullptr, nullptr));
  ASSERT_TRUE(PumpUntilTrace(l, "ACCEPT ACCEPT")) << "one more is pending";
  TSockAddrIn peer;
  int len = sizeof peer;
  SOCKET a2 = Keep(accept(l, &peer, &len));
  EXPECT_EQ(len, 16);
  EXPECT_EQ(peer.sin_addr, Loopback());
  PumpIdle();
  EXPECT_EQ(rec.Trace(l), "ACCEPT ACCEPT") << "none left";
  Keep(ConnectTo(port));
  EXPECT_TRUE(PumpUntilTrace(l, "ACCEPT ACCEPT ACCEPT"));

  char b;  // accepted from a selected listener: non-blocking, as on Windows
  EXPECT_EQ(recv(a2, &b, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

TEST_F(WinsockSelectTest, OrderlyCloseComesOnceAfterTheReadForDataAlreadyWaiting) {
  SOCKET c, s;
  Pair(c, s);
  SendAll(c, "bye!!");
  ASSERT_EQ(shutdown(c, SD_SEND), 0);
  ASSERT_TRUE(WaitForBytes(s, 5));
  ASSERT_EQ(Select(s, 0x33), 0);  // data and end of file are both in
  ASSERT_TRUE(PumpUntilTrace(s, "WRITE READ CLOSE"));
  char buf[16];
  EXPECT_EQ(recv(s, buf, sizeof buf, 0), 5);
  EXPECT_EQ(recv(s, buf, sizeof buf, 0), 0);
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "WRITE READ CLOSE") << "FD_CLOSE once; the end of file is no data";

  SOCKET c2, s2;  // the same while selected
  Pair(c2, s2);
  ASSERT_EQ(Select(s2, 0x33), 0);
  ASSERT_TRUE(PumpUntilTrace(s2, "WRITE"));
  SendAll(c2, "12");
  Close(c2);
  EXPECT_TRUE(PumpUntilTrace(s2, "WRITE READ CLOSE"));
}

TEST_F(WinsockSelectTest, ResetPeerGivesCloseWith10054) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(Select(s, 0x33), 0);
  TLinger hard{1, 0};
  ASSERT_EQ(setsockopt(c, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard), 0);
  Close(c);
  ASSERT_TRUE(PumpUntilTrace(s, "WRITE CLOSE/10054"));
  EXPECT_EQ(send(s, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(WinsockSelectTest, OwnShutdownOfBothDirectionsIsNotThePeersClose) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(Select(s, 0x33), 0);
  ASSERT_EQ(shutdown(s, SD_RECEIVE), 0);
  ASSERT_EQ(shutdown(s, SD_SEND), 0);
  char b;
  ASSERT_EQ(::recv(Fd(c), &b, 1, 0), 0) << "our FIN reached the peer";
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "WRITE");
  Close(c);
  EXPECT_TRUE(PumpUntilTrace(s, "WRITE CLOSE"));
}

TEST_F(WinsockSelectTest, MaskZeroStopsPostingAndDropsWhatIsQueuedButNotOwnPosts) {
  SOCKET c, s;
  Pair(c, s);
  SendAll(c, "data");
  ASSERT_TRUE(WaitForBytes(s, 4));
  ASSERT_EQ(Select(s, 0x33), 0);  // FD_WRITE and FD_READ are queued at once
  ASSERT_TRUE(PostMessage(wnd, kSocketMsg, static_cast<WPARAM>(s), MakeLong(FD_OOB, 0)));
  ASSERT_EQ(Select(s, 0), 0);
  SendAll(c, "more");
  Close(c);
  ASSERT_TRUE(WaitForBytes(s, 8));
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "OOB") << "only the message the component posted itself";
  EXPECT_NE(::fcntl(Fd(s), F_GETFL) & O_NONBLOCK, 0) << "stays non-blocking";
}

// Selecting makes a blocking socket non-blocking and changes nothing else of its status flags,
// whether the socket came from the calls or from POSIX behind their back.
TEST_F(WinsockSelectTest, SelectingTurnsOnNonBlockingAndLeavesTheOtherFlags) {
  SOCKET c, s;
  Pair(c, s);
  const int raw = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(raw, 0);
  const SOCKET r = Keep(static_cast<SOCKET>(raw));
  for (SOCKET each : {s, r}) {
    const int before = ::fcntl(Fd(each), F_GETFL);
    ASSERT_EQ(before & O_NONBLOCK, 0) << "blocking until selected";
    ASSERT_EQ(::fcntl(Fd(each), F_SETFL, before | O_APPEND), 0);
    ASSERT_EQ(Select(each, 0x33), 0);
    EXPECT_EQ(::fcntl(Fd(each), F_GETFL), before | O_APPEND | O_NONBLOCK);
    char b;
    EXPECT_EQ(recv(each, &b, 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), each == s ? WSAEWOULDBLOCK : WSAENOTCONN);
  }
}

TEST_F(WinsockSelectTest, NewSelectionDropsTheOldOnesNotifications) {
  SOCKET c, s;
  Pair(c, s);
  SendAll(c, "data");
  ASSERT_TRUE(WaitForBytes(s, 4));
  ASSERT_EQ(Select(s, FD_READ, kSocketMsg), 0);
  ASSERT_EQ(Select(s, FD_READ, kSocketMsg + 7), 0);
  PumpIdle();
  EXPECT_EQ(rec.Trace(s), "");
  EXPECT_EQ(rec.Trace(s, kSocketMsg + 7), "READ") << "the data still waits for the new selection";
}

TEST_F(WinsockSelectTest, ReusedDescriptorNeverGetsTheClosedSocketsNotifications) {
  SOCKET c, s;
  Pair(c, s);
  SendAll(c, "stale");
  Close(c);  // FIN too: FD_WRITE, FD_READ and FD_CLOSE are due at select
  ASSERT_TRUE(WaitForBytes(s, 5));
  ASSERT_EQ(Select(s, 0x33), 0);
  ASSERT_EQ(PendingMessageCount(), 3u);
  ASSERT_TRUE(PostMessage(wnd, kSocketMsg + 1, static_cast<WPARAM>(s), FD_READ));  // the component's own
  SOCKET old = s;
  Close(s);
  SOCKET fresh = Keep(NewSocketNumbered(old, sockets));
  ASSERT_EQ(fresh, old) << "POSIX hands the number out again";
  ASSERT_EQ(Select(fresh, 0x3B), 0);
  PumpIdle();
  EXPECT_EQ(rec.Trace(fresh), "") << "nothing meant for the closed socket reaches the new one";
  EXPECT_EQ(rec.Trace(fresh, kSocketMsg + 1), "READ") << "messages a component posts itself stay";

  std::uint16_t port;  // and the new socket gets its own notifications
  Keep(NewListener(port));
  TSockAddrIn a = SockAddr(Loopback(), port);
  connect(fresh, &a, sizeof a);
  EXPECT_TRUE(PumpUntilTrace(fresh, "CONNECT WRITE"));
}

TEST_F(WinsockSelectTest, SocketClosedAndReplacedInAHandlerBeforeItsCollectedReadIsTaken) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(Select(s, FD_READ | FD_CLOSE), 0);
  SOCKET old = s, fresh = INVALID_SOCKET;
  // The handler of a message queued before the readiness closes the socket and creates another
  // that gets the same number, as a component's close and reconnect would.
  rec.hook = [&](const Note& n) {
    if (n.msg != kSocketMsg + 2) return;
    closesocket(old);
    fresh = NewSocketNumbered(old, sockets);
    WSAAsyncSelect(fresh, wnd, kSocketMsg, FD_READ | FD_CLOSE);
  };
  ASSERT_TRUE(PostMessage(wnd, kSocketMsg + 2, 0, 0));
  SendAll(c, "x");
  ASSERT_TRUE(WaitForBytes(s, 1));
  DispatchPending();  // collects FD_READ behind the posted message, then runs both in order
  rec.hook = nullptr;
  std::erase(sockets, s);
  Keep(fresh);
  ASSERT_EQ(fresh, old);
  PumpIdle();
  EXPECT_EQ(rec.Trace(fresh), "") << "the closed socket's FD_READ must not reach the new one";
}

TEST_F(WinsockSelectTest, DatagramsReadPerDatagramWriteAtSelectNoConnect) {
  SOCKET u = Keep(NewSocket(WS_SOCK_DGRAM)), v = Keep(NewSocket(WS_SOCK_DGRAM));
  BindLoopback(u);
  TSockAddrIn to = SockAddr(Loopback(), BoundPort(u));
  ASSERT_EQ(Select(u, 0x3B), 0);
  ASSERT_EQ(Select(v, 0x3B), 0);
  ASSERT_EQ(connect(v, &to, sizeof to), 0) << "a default peer, no connection";
  ASSERT_EQ(send(v, "one", 3, 0), 3);
  ASSERT_EQ(sendto(v, "two!", 4, 0, &to, sizeof to), 4);
  ASSERT_TRUE(PumpUntilTrace(u, "WRITE READ"));
  PumpIdle();
  EXPECT_EQ(rec.Trace(u), "WRITE READ");
  char buf[16];
  TSockAddrIn from;
  int len = sizeof from;
  ASSERT_EQ(recvfrom(u, buf, sizeof buf, 0, &from, &len), 3);
  EXPECT_EQ(from.sin_port, BoundPort(v));
  PumpIdle();
  EXPECT_EQ(rec.Trace(u), "WRITE READ READ") << "another datagram waits";
  ASSERT_EQ(recvfrom(u, buf, sizeof buf, 0, nullptr, nullptr), 4);
  PumpIdle();
  EXPECT_EQ(rec.Trace(u), "WRITE READ READ");
  EXPECT_EQ(rec.Trace(v), "WRITE");
}

TEST_F(WinsockSelectTest, SelectNeedsASocketAndAnEndpointAndMakesTheSocketNonBlocking) {
  SOCKET c, s;
  Pair(c, s);
  EXPECT_EQ(WSAAsyncSelect(s, 0, kSocketMsg, FD_READ), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  EXPECT_EQ(WSAAsyncSelect(static_cast<SOCKET>(fds[0]), wnd, kSocketMsg, FD_READ), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
  ::close(fds[0]);
  ::close(fds[1]);

  ASSERT_EQ(Select(s, FD_READ), 0);
  char b;
  EXPECT_EQ(recv(s, &b, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  EXPECT_EQ(recv(s, &b, 0, 0), SOCKET_ERROR) << "a 0-byte read would block too";
  EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
  std::uint32_t off = 0;
  EXPECT_EQ(ioctlsocket(s, WS_FIONBIO, &off), SOCKET_ERROR) << "a selected socket stays non-blocking";
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
}

}  // namespace
}  // namespace platform::wstest
