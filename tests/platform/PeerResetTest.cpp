// What a peer's reset (a close with linger on and time 0) leaves to read, and how it is told, on
// Linux through the Windows Sockets calls:
// - every byte that the peer sent before its reset and that arrived is still read, whole and in
//   order; only then does a read fail with 10054, once; later reads find the end of the stream;
// - a selected socket is told of the reset as FD_CLOSE with 10054. Looking at the socket's
//   pending error for that notification takes the error, so the reads after it find the data and
//   then the end of the stream: the notification's error word is what tells a reset;
// - a reset that follows the peer's orderly end on a socket kept open (half-open) comes as a
//   second FD_CLOSE, with 10054, also while the socket does nothing.
#include "WinsockTestSupport.h"

namespace platform::wstest {
namespace {

std::string Bytes(std::size_t N) {
  std::string s(N, '\0');
  for (std::size_t i = 0; i < N; ++i) s[i] = static_cast<char>((i * 131 + i / 256) & 0xFF);
  return s;
}

void Reset(SOCKET S) {
  TLinger hard{1, 0};
  ASSERT_EQ(setsockopt(S, WS_SOL_SOCKET, WS_SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof hard), 0);
  ASSERT_EQ(closesocket(S), 0);
}

// Reads until a read returns 0 or fails; the failure's code, or 0 for the end of the stream.
int ReadToEnd(SOCKET S, std::string& Got, int Chunk = 7000) {
  std::string buf(static_cast<std::size_t>(Chunk), '\0');
  for (int i = 0; i < 100000; ++i) {
    int n = recv(S, buf.data(), Chunk, 0);
    if (n > 0) {
      Got.append(buf.data(), static_cast<std::size_t>(n));
      continue;
    }
    return n == 0 ? 0 : WSAGetLastError();
  }
  return -1;
}

class PeerResetTest : public SocketsTest {
protected:
  void SetUp() override {
    PumpIdle();
    rec.notes.clear();
    wnd = rec.NewWindow();
    ASSERT_NE(wnd, 0u);
  }
  void TearDown() override {
    SocketsTest::TearDown();
    DestroyNotifyWindow(wnd);
    PumpIdle();
  }
  Recorder& rec = Recorder::Instance();
  HWND wnd = 0;
};

TEST_F(PeerResetTest, BytesSentBeforeTheResetAreReadFirstThenTheResetOnce) {
  SOCKET c, s;
  Pair(c, s);
  const std::string data = Bytes(100000);
  SendAll(s, data);
  ASSERT_TRUE(WaitForBytes(c, static_cast<int>(data.size())));
  std::erase(sockets, s);
  Reset(s);
  ASSERT_TRUE(FdReadable(Fd(c), kDeadlineMs));
  std::string got;
  EXPECT_EQ(ReadToEnd(c, got), WSAECONNRESET);
  EXPECT_EQ(got, data) << "nothing that had arrived is lost to the reset";
  EXPECT_EQ(ReadToEnd(c, got), 0) << "the reset is told once; then the stream has ended";
  EXPECT_EQ(got.size(), data.size());
}

TEST_F(PeerResetTest, SelectedSocketGetsCloseWith10054AndStillReadsEveryByte) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(WSAAsyncSelect(c, wnd, kSocketMsg, 0x33), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Trace(c) == "WRITE"; }));
  const std::string data = Bytes(100000);
  SendAll(s, data);
  ASSERT_TRUE(WaitForBytes(c, static_cast<int>(data.size())));
  std::erase(sockets, s);
  Reset(s);
  ASSERT_TRUE(PumpUntil([&] { return rec.Trace(c) == "WRITE READ CLOSE/10054"; })) << rec.Trace(c);
  std::string got;
  EXPECT_EQ(ReadToEnd(c, got), 0) << "the notification took the pending error";
  EXPECT_EQ(got, data);
}

TEST_F(PeerResetTest, ResetAfterThePeersOrderlyEndIsASecondCloseWith10054) {
  SOCKET c, s;
  Pair(c, s);
  ASSERT_EQ(WSAAsyncSelect(c, wnd, kSocketMsg, 0x33), 0);
  ASSERT_EQ(shutdown(s, SD_SEND), 0);
  ASSERT_TRUE(PumpUntil([&] { return rec.Trace(c) == "WRITE CLOSE"; })) << rec.Trace(c);
  std::string got;
  EXPECT_EQ(ReadToEnd(c, got), 0);
  // Half-open: c can still send, and the peer still reads.
  SendAll(c, "still here");
  ASSERT_TRUE(WaitForBytes(s, 10));
  std::erase(sockets, s);
  Reset(s);
  ASSERT_TRUE(PumpUntil([&] { return rec.Trace(c) == "WRITE CLOSE CLOSE/10054"; })) << rec.Trace(c);
  PumpIdle();
  EXPECT_EQ(rec.Trace(c), "WRITE CLOSE CLOSE/10054") << "once";
  EXPECT_EQ(send(c, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAECONNRESET);
}

TEST_F(PeerResetTest, BothOrderlyEndsAreNoReset) {
  for (bool ownFirst : {true, false}) {
    SCOPED_TRACE(ownFirst ? "own end first" : "peer's end first");
    rec.notes.clear();
    SOCKET c, s;
    Pair(c, s);
    ASSERT_EQ(WSAAsyncSelect(c, wnd, kSocketMsg, 0x33), 0);
    if (ownFirst) {
      ASSERT_EQ(shutdown(c, SD_SEND), 0);
    }
    ASSERT_EQ(shutdown(s, SD_SEND), 0);
    if (!ownFirst) {
      ASSERT_TRUE(PumpUntil([&] { return rec.Trace(c) == "WRITE CLOSE"; }));
      ASSERT_EQ(shutdown(c, SD_SEND), 0);
    }
    char b;
    ASSERT_EQ(::recv(Fd(s), &b, 1, 0), 0) << "our end reached the peer";
    std::erase(sockets, s);
    ASSERT_EQ(closesocket(s), 0);
    ASSERT_TRUE(PumpUntil([&] { return rec.Trace(c) == "WRITE CLOSE"; }));
    PumpIdle();
    EXPECT_EQ(rec.Trace(c), "WRITE CLOSE") << "the hang-up of two orderly ends is not a reset";
  }
}

// The unacknowledged bytes of a stream socket, as CloseWithReset waits for them to reach 0.
TEST_F(PeerResetTest, SendQueueCountsWhatThePeersKernelHasNotAcknowledged) {
  SOCKET c, s;
  Pair(c, s);
  std::uint32_t queued = 99;
  ASSERT_EQ(ioctlsocket(c, WS_SIOCOUTQ, &queued), 0);
  EXPECT_EQ(queued, 0u);
  int small = 64 << 10;  // below one loopback segment TCP would crawl
  ASSERT_EQ(setsockopt(s, WS_SOL_SOCKET, 0x1002, reinterpret_cast<const char*>(&small), sizeof small), 0);
  std::uint32_t nb = 1;
  ASSERT_EQ(ioctlsocket(c, WS_FIONBIO, &nb), 0);
  const std::string data = Bytes(4 << 20);
  std::size_t sent = 0;
  for (int n; sent < data.size() && (n = send(c, data.data() + sent, static_cast<int>(data.size() - sent), 0)) > 0;)
    sent += static_cast<std::size_t>(n);
  ASSERT_EQ(ioctlsocket(c, WS_SIOCOUTQ, &queued), 0);
  EXPECT_GT(queued, 0u) << "the peer's window is full: the rest waits unacknowledged";
  std::string got;
  ASSERT_TRUE(PumpUntil([&] {
    char buf[65536];
    for (long n; (n = ::recv(Fd(s), buf, sizeof buf, MSG_DONTWAIT)) > 0;) got.append(buf, static_cast<std::size_t>(n));
    return got.size() == sent && ioctlsocket(c, WS_SIOCOUTQ, &queued) == 0 && queued == 0;
  })) << queued;
  EXPECT_EQ(got, data.substr(0, sent));
  SOCKET u = Keep(NewSocket(WS_SOCK_DGRAM));
  EXPECT_EQ(ioctlsocket(u, WS_SIOCOUTQ, &queued), SOCKET_ERROR);
  EXPECT_EQ(WSAGetLastError(), WSAEINVAL) << "a datagram socket has no such queue";
}

}  // namespace
}  // namespace platform::wstest
