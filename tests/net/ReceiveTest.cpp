// Receiving: the pull-style loop in plain mode, byte exactness across sizes and read patterns,
// component to component in both modes, and the synchronous wait.
#include <gtest/gtest.h>

#include "SocketTestSupport.h"

using namespace testsupport;

namespace {

struct RecvSession {
  RawListener listener;
  int calls = 0;
  std::string got;
  std::function<void()> read;
  TWSocket sock{nullptr};
  int peer = -1;
  RecvSession() : read([this] { got += sock.ReceiveText(); }) {}
  bool Open() {
    sock.OnDataAvailable = [this](TComponent*, std::uint16_t) {
      ++calls;
      read();
    };
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port));
    sock.Connect();
    peer = listener.AcceptPumping();
    return peer >= 0 && PumpUntil([&] { return sock.State() == wsConnected; });
  }
  ~RecvSession() {
    if (peer >= 0) ::close(peer);
  }
};

TEST(Receive, TenBytesRaiseOneDataAvailableAndReceiveTextReturnsThemAll) {
  RecvSession s;
  ASSERT_TRUE(s.Open());
  ASSERT_EQ(::send(s.peer, "0123456789", 10, 0), 10);
  ASSERT_TRUE(PumpUntil([&] { return s.got.size() == 10; }));
  PumpIdle();
  EXPECT_EQ(s.got, "0123456789");
  EXPECT_EQ(s.sock.ReadCount(), 10);
}

TEST(Receive, NothingWaitingGivesAnEmptyTextAndWouldBlock) {
  RecvSession s;
  ASSERT_TRUE(s.Open());
  EXPECT_EQ(s.sock.ReceiveText(), "");
  EXPECT_EQ(s.sock.LastError(), 10035);
}

TEST(Receive, WithoutAHandlerEverythingIsReadAndThrownAway) {
  RecvSession s;
  ASSERT_TRUE(s.Open());
  s.sock.OnDataAvailable = nullptr;
  std::string data = Pattern(5000);
  ASSERT_EQ(::send(s.peer, data.data(), data.size(), 0), 5000);
  ASSERT_TRUE(PumpUntil([&] { return s.sock.RcvdCount() == 0 && platform::PendingMessageCount() == 0; }));
  s.sock.OnDataAvailable = [&](TComponent*, std::uint16_t) { s.got += s.sock.ReceiveText(); };
  ASSERT_EQ(::send(s.peer, "after", 5, 0), 5);
  ASSERT_TRUE(PumpUntil([&] { return s.got == "after"; })) << "the discarded bytes must not come back";
}

TEST(Receive, NoReceiveLoopRaisesOncePerNotificationButDrainsAtClose) {
  RecvSession s;
  ASSERT_TRUE(s.Open());
  s.sock.SetComponentOptions({wsoNoReceiveLoop});
  s.read = [&] {
    char c;
    if (s.sock.Receive(&c, 1) == 1) s.got += c;  // one byte a call
  };
  ASSERT_EQ(::send(s.peer, "abcdef", 6, 0), 6);
  ::shutdown(s.peer, SHUT_WR);
  ASSERT_TRUE(PumpUntil([&] { return s.sock.State() == wsClosed; }));
  EXPECT_EQ(s.got, "abcdef");
}

TEST(Receive, PeerToComponentIsExactForManySizesAndReadPatterns) {
  struct Case {
    std::size_t size;
    int readSize;  // 0: ReceiveText, else Receive of that many bytes
  } cases[] = {{0, 0}, {1, 0}, {255, 0}, {256, 1}, {70000, 0}, {1 << 20, 3}, {8 << 20, 0}, {6 << 20, 65536}};
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + " read " + std::to_string(c.readSize));
    RecvSession s;
    ASSERT_TRUE(s.Open());
    std::string buf(static_cast<std::size_t>(std::max(c.readSize, 1)), '\0');
    if (c.readSize > 0)
      s.read = [&] {
        std::int32_t n = s.sock.Receive(buf.data(), c.readSize);
        if (n > 0) s.got.append(buf.data(), static_cast<std::size_t>(n));
      };
    std::string data = Pattern(c.size, 7);
    std::size_t off = 0;
    ASSERT_TRUE(PumpUntil([&] {  // the peer writes without blocking, the loop reads meanwhile
      if (off < data.size()) {
        ssize_t n = ::send(s.peer, data.data() + off, data.size() - off, MSG_DONTWAIT);
        if (n > 0) off += static_cast<std::size_t>(n);
      }
      return off == data.size();
    }, 30000));
    ::shutdown(s.peer, SHUT_WR);
    ASSERT_TRUE(PumpUntil([&] { return s.sock.State() == wsClosed; }, 30000));
    ASSERT_EQ(s.got.size(), data.size());
    EXPECT_EQ(Checksum(s.got), Checksum(data));
  }
}

TEST(Receive, ComponentToComponentBothWaysPlainAndLineMode) {
  for (bool lineMode : {false, true}) {
    SCOPED_TRACE(lineMode ? "line mode" : "plain");
    ComponentPair p;
    ASSERT_TRUE(p.Open());
    std::string atServer, atClient;
    p.Server.SetLineMode(lineMode);
    p.Client.SetLineMode(lineMode);
    p.Server.SetLineLimit(0);  // random bytes make lines of any length
    p.Client.SetLineLimit(0);
    p.Server.OnDataAvailable = [&](TComponent*, std::uint16_t) { atServer += p.Server.ReceiveText(); };
    p.Client.OnDataAvailable = [&](TComponent*, std::uint16_t) { atClient += p.Client.ReceiveText(); };
    std::string up = Pattern(3 << 20, 3), down = Pattern(2 << 20, 4);
    p.Client.Send(up.data(), static_cast<std::int32_t>(up.size()));
    p.Server.Send(down.data(), static_cast<std::int32_t>(down.size()));
    ASSERT_TRUE(PumpUntil([&] { return p.Client.AllSent() && p.Server.AllSent(); }, 30000));
    p.Client.Shutdown(1);
    p.Server.Shutdown(1);
    ASSERT_TRUE(PumpUntil([&] { return p.Client.State() == wsClosed && p.Server.State() == wsClosed; }, 30000));
    EXPECT_EQ(atServer.size(), up.size());
    EXPECT_EQ(Checksum(atServer), Checksum(up));
    EXPECT_EQ(atClient.size(), down.size());
    EXPECT_EQ(Checksum(atClient), Checksum(down));
  }
}

TEST(SyncWait, WaitsForAFlagSetFromThePumpedMessagesAndGivesUpWhenTheApplicationEnds) {
  TWSocket sock(nullptr);
  bool done = true;
  EXPECT_EQ(sock.WaitForFlag(done), 0);
  bool answered = true;  // RunAndWaitForFlag clears it before it runs the procedure
  sock.OnDnsLookupDone = [&](TComponent*, std::uint16_t) { answered = true; };
  EXPECT_EQ(sock.RunAndWaitForFlag([&] { sock.DnsLookup("localhost"); }, answered), 0);
  EXPECT_TRUE(answered);
  platform::SetApplicationTerminated(true);
  bool never = false;
  EXPECT_EQ(sock.WaitForFlag(never), 12001);
  platform::SetApplicationTerminated(false);
}

}  // namespace
