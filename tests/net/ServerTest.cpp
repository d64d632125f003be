// The listening server on real loopback connections: the order of its events around accepting
// and disposal, the "Cancel" loop, banners and the client limit, names, destruction with open
// clients, and accepts that fail.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <memory>

#include "SocketTestSupport.h"
#include "net/WSocketS.h"

using namespace testsupport;
using Events = std::vector<std::string>;

namespace {

// Reads what Fd holds without waiting; false once the peer has closed (end of stream or reset).
bool Drain(int Fd, std::string& Into) {
  char buf[4096];
  for (int i = 0; i < 256; ++i) {
    ssize_t n = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      Into.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }
  return true;
}

std::string LocalPortOf(int Fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
  return std::to_string(::ntohs(a.sin_port));
}

// A client class that logs its destruction, with the count its server still shows.
struct TLoggedClient : TWSocketClient {
  using TWSocketClient::TWSocketClient;
  Events* Log = nullptr;
  ~TLoggedClient() override {
    auto* s = static_cast<TCustomWSocketServer*>(Owner());
    if (Log && s) Log->push_back("Destroyed " + Name() + " " + std::to_string(s->ClientCount()));
  }
};

struct ServerFixture : ::testing::Test {
  Events log;  // declared first: it outlives the server, whose clients log into it
  std::unique_ptr<TWSocketServer> server = std::make_unique<TWSocketServer>(nullptr);
  std::vector<int> peers;

  void SetUp() override {
    server->SetBanner("");
    server->SetClientClass([this](TComponent* Owner) {
      auto* c = new TLoggedClient(Owner);
      c->Log = &log;
      return c;
    });
    server->OnClientConnect = [this](TComponent*, TWSocketClient* c, std::uint16_t e) {
      log.push_back("Connect " + c->Name() + " " + std::to_string(server->ClientCount()) + " " +
                    std::to_string(c->State()) + " " + std::to_string(e));
      c->OnSessionClosed = [this, c](TComponent*, std::uint16_t) { log.push_back("Closed " + c->Name()); };
    };
    server->OnClientDisconnect = [this](TComponent*, TWSocketClient* c, std::uint16_t e) {
      log.push_back("Disconnect " + c->Name() + " " + std::to_string(server->ClientCount()) + " " +
                    c->PeerAddr() + " " + std::to_string(e));
    };
    server->SetAddr("127.0.0.1");
    server->SetPort("0");
    server->Listen();
  }
  void TearDown() override {
    server.reset();
    for (int fd : peers) ::close(fd);
  }
  // Connects a raw peer and waits until the server has announced its client.
  int Connect() {
    int before = server->ClientSerial();
    int fd = RawConnect(static_cast<std::uint16_t>(std::stoi(server->GetBoundPort())));
    peers.push_back(fd);
    EXPECT_TRUE(PumpUntil([&] { return server->ClientSerial() > before; }));
    return fd;
  }
  std::string ReadUntilClosed(int Fd) {
    std::string got;
    EXPECT_TRUE(PumpUntil([&] { return !Drain(Fd, got); })) << "the peer was never closed";
    return got;
  }
};

// ---- the order of events ----

TEST_F(ServerFixture, ClientIsListedAndConnectedAtConnectAndStillCountedAtDisconnect) {
  EXPECT_EQ(server->ClientCount(), 0);
  EXPECT_EQ(server->Client(0), nullptr);
  EXPECT_EQ(server->Client(-1), nullptr);
  std::string peerAddr, peerPort;
  server->OnClientCreate = [&](TComponent* s, TWSocketClient* c) {
    log.push_back("Create " + std::to_string(server->ClientCount()) + " " + std::to_string(c->State()) +
                  (s == server.get() && server->Client(0) == c ? " listed" : ""));
  };
  auto connect = server->OnClientConnect;
  server->OnClientConnect = [&](TComponent* s, TWSocketClient* c, std::uint16_t e) {
    connect(s, c, e);
    peerAddr = c->PeerAddr();
    peerPort = c->PeerPort();
  };
  int fd = Connect();
  EXPECT_EQ(peerAddr, "127.0.0.1");
  EXPECT_EQ(peerPort, LocalPortOf(fd));
  ::close(fd);
  peers.clear();
  ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
  EXPECT_EQ(log, (Events{"Create 1 7 listed", "Connect Client1 1 4 0", "Closed Client1",
                         "Disconnect Client1 1 127.0.0.1 0", "Destroyed Client1 1"}));
}

TEST_F(ServerFixture, HandlerThatPumpsTheLoopIsNotDisposedOfUnderIt) {
  Connect();
  log.clear();
  TWSocketClient* c = server->Client(0);
  bool inside = false;
  c->OnSessionClosed = [&](TComponent*, std::uint16_t) {
    inside = true;
    PumpIdle(3);  // MsgClientClosed is already queued
    log.push_back("Closed " + c->Name() + " " + std::to_string(c->State()));  // still alive
    inside = false;
  };
  server->OnClientDisconnect = [&](TComponent*, TWSocketClient*, std::uint16_t) {
    log.push_back(inside ? "Disconnect inside the handler" : "Disconnect");
  };
  c->Close();
  ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
  EXPECT_EQ(log, (Events{"Closed Client1 7", "Disconnect", "Destroyed Client1 1"}));
}

TEST_F(ServerFixture, CancelLoopClosesEveryClientOnceAndDisposalsFollowInCloseOrder) {
  for (int i = 0; i < 3; ++i) Connect();
  server->OnSessionClosed = [&](TComponent*, std::uint16_t) { log.push_back("Server closed"); };
  log.clear();
  const std::int32_t n = server->ClientCount();
  for (std::int32_t i = 0; i < n; ++i) server->Client(i)->Close();
  server->Close();
  for (std::int32_t i = 0; i < n; ++i) {  // whatever closes them again posts nothing more
    server->Client(i)->Close();
    server->Client(i)->Abort();
  }
  EXPECT_EQ(log, (Events{"Closed Client1", "Closed Client2", "Closed Client3", "Server closed"}));
  EXPECT_EQ(server->ClientCount(), 3) << "Close never changes the list";
  ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
  PumpIdle();
  EXPECT_EQ(log, (Events{"Closed Client1", "Closed Client2", "Closed Client3", "Server closed",
                         "Disconnect Client1 3 127.0.0.1 0", "Destroyed Client1 3",
                         "Disconnect Client2 2 127.0.0.1 0", "Destroyed Client2 2",
                         "Disconnect Client3 1 127.0.0.1 0", "Destroyed Client3 1"}));
  for (int fd : peers) EXPECT_EQ(ReadUntilClosed(fd), "");
}

// ---- banners, the limit, names ----

struct BannerCase {
  std::int32_t MaxClients;
  std::string Banner, BannerToBusy;
  std::vector<std::string> Received;  // by the three peers, up to their close
  bool ThirdRefused;
};

TEST_F(ServerFixture, BannersAndTheClientLimit) {
  const std::vector<BannerCase> cases = {
      {2, "Hello", "Busy now", {"Hello\r\n", "Hello\r\n", "Busy now\r\n"}, true},
      {2, "", "", {"", "", ""}, true},
      {0, "Hello", "Busy now", {"Hello\r\n", "Hello\r\n", "Hello\r\n"}, false},
      {-1, "Hi", "Busy now", {"Hi\r\n", "Hi\r\n", "Hi\r\n"}, false},
  };
  server->OnClientCreate = [](TComponent*, TWSocketClient* c) { c->SetLineEnd("\n"); };
  for (const auto& k : cases) {
    SCOPED_TRACE("MaxClients " + std::to_string(k.MaxClients) + " Banner '" + k.Banner + "'");
    server->SetMaxClients(k.MaxClients);
    server->SetBanner(k.Banner);
    server->SetBannerToBusy(k.BannerToBusy);
    log.clear();
    for (int i = 0; i < 3; ++i) Connect();
    const std::string third = "Client" + std::to_string(server->ClientSerial());
    if (k.ThirdRefused) {
      EXPECT_EQ(log.at(2), "Connect " + third + " 3 4 0");
      ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 2; }));
      EXPECT_EQ(log.at(4), "Disconnect " + third + " 3 127.0.0.1 0");
    }
    EXPECT_EQ(server->ClientCount(), k.ThirdRefused ? 2 : 3);
    for (std::int32_t i = 0; i < server->ClientCount(); ++i) server->Client(i)->Close();
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(ReadUntilClosed(peers[i]), k.Received[i]) << "peer " << i;
    ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
    for (int fd : peers) ::close(fd);
    peers.clear();
  }
}

TEST_F(ServerFixture, ClientNamesAreNeverReused) {
  Connect();
  Connect();
  for (std::int32_t i = 0; i < 2; ++i) server->Client(i)->Close();
  ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
  Connect();
  ASSERT_EQ(server->ClientCount(), 1);
  EXPECT_EQ(server->Client(0)->Name(), "Client3");
  server->SetName("Srv");
  Connect();
  EXPECT_EQ(server->Client(1)->Name(), "SrvClient4");
  EXPECT_EQ(server->Client(1)->Server(), server.get());
}

// ---- destruction ----

TEST_F(ServerFixture, DestroyingTheServerDestroysOpenClientsLastFirstWithoutDisconnect) {
  for (int i = 0; i < 3; ++i) Connect();
  server->Client(0)->Close();  // its MsgClientClosed is queued and must die with the server
  server.reset();
  PumpIdle();
  EXPECT_EQ(log, (Events{"Connect Client1 1 4 0", "Connect Client2 2 4 0", "Connect Client3 3 4 0",
                         "Closed Client1", "Destroyed Client3 3", "Destroyed Client2 2",
                         "Destroyed Client1 1"}));
  for (int fd : peers) EXPECT_EQ(ReadUntilClosed(fd), "");
}

// ---- accepts that fail ----

// Lowers the soft descriptor limit to the lowest free descriptor, so that the next accept fails
// with "too many open files"; Restore puts the limit back (at the latest when it goes). Nothing
// may need a descriptor meanwhile, the sanitizers' runtime included, so the window is kept to the
// accept alone: lowered by OnClientCreate, restored first thing by OnBgException.
struct DescriptorLimit {
  rlimit saved{};
  bool lowered = false;
  void Lower() {
    ::getrlimit(RLIMIT_NOFILE, &saved);
    int lowest = ::dup(0);
    ::close(lowest);
    rlimit low = saved;
    low.rlim_cur = static_cast<rlim_t>(lowest);
    lowered = ::setrlimit(RLIMIT_NOFILE, &low) == 0;
  }
  void Restore() {
    if (lowered) ::setrlimit(RLIMIT_NOFILE, &saved);
    lowered = false;
  }
  ~DescriptorLimit() { Restore(); }
};

TEST_F(ServerFixture, FailedAcceptIsReportedAndTheServerGoesOnServing) {
  Connect();  // the same calls once with descriptors to spare
  server->Client(0)->Close();
  ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
  for (bool keepListening : {true, false}) {
    SCOPED_TRACE(keepListening ? "handler keeps the server" : "server aborted");
    DescriptorLimit limit;
    bool lowerOnce = true;
    server->OnClientCreate = [&](TComponent*, TWSocketClient*) {
      if (lowerOnce) limit.Lower();
      lowerOnce = false;
    };
    std::vector<std::string> reported;
    bool wasLowered = false;
    server->OnBgException = [&](TComponent*, Exception& E, bool& CanClose) {
      wasLowered = limit.lowered;
      limit.Restore();
      reported.push_back(E.Message());
      CanClose = !keepListening;
    };
    log.clear();
    const int serial = server->ClientSerial();
    int fd = RawConnect(static_cast<std::uint16_t>(std::stoi(server->GetBoundPort())));
    peers.push_back(fd);
    ASSERT_TRUE(PumpUntil([&] { return !reported.empty(); }));
    EXPECT_TRUE(wasLowered);
    EXPECT_EQ(reported, (Events{"Error 10024 in function Accept\r\nToo many open files"}));
    if (!keepListening) {
      EXPECT_EQ(server->State(), wsClosed);
      server->SetAddr("127.0.0.1");  // forgotten at the close
      server->SetPort("0");
      server->Listen();
      fd = RawConnect(static_cast<std::uint16_t>(std::stoi(server->GetBoundPort())));
      peers.push_back(fd);
    }
    // The pending connection (or the new one) is served by the next client; the one that failed
    // is disposed of without ever having been announced. A kept server retries the accept before
    // the disposal comes round.
    const std::string failed = "Client" + std::to_string(serial + 1);
    const std::string next = "Client" + std::to_string(serial + 2);
    ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 1 && log.size() == 2; }));
    const Events expected = keepListening
                                ? Events{"Connect " + next + " 2 4 0", "Destroyed " + failed + " 2"}
                                : Events{"Destroyed " + failed + " 1", "Connect " + next + " 1 4 0"};
    EXPECT_EQ(log, expected);
    EXPECT_EQ(server->Client(0)->PeerPort(), LocalPortOf(fd));
    server->Client(0)->Close();
    EXPECT_EQ(ReadUntilClosed(fd), "");
    ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
  }
}

TEST_F(ServerFixture, PeerThatResetsBeforeTheAcceptCostsOnlyItsOwnConnection) {
  bool aborted = false;
  server->OnBgException = [&](TComponent*, Exception&, bool&) { aborted = true; };
  RawReset(RawConnect(static_cast<std::uint16_t>(std::stoi(server->GetBoundPort()))));
  ASSERT_TRUE(PumpUntil([&] { return log.size() >= 3 && server->ClientCount() == 0; }));
  EXPECT_EQ(log.at(0), "Connect Client1 1 4 0");
  EXPECT_EQ(log.at(2), "Disconnect Client1 1 error 0") << "the peer address was never known";
  EXPECT_FALSE(aborted);
  EXPECT_EQ(server->State(), wsListening);
  Connect();
  EXPECT_EQ(server->Client(0)->PeerAddr(), "127.0.0.1");
}

TEST_F(ServerFixture, AcceptedHandleThatTheClientCannotAdoptIsClosed) {
  std::vector<std::string> reported;
  server->OnBgException = [&](TComponent*, Exception& E, bool& CanClose) {
    reported.push_back(E.Message().substr(0, E.Message().find("\r\n")));
    CanClose = false;
  };
  platform::FailNextWindowCreations(1);  // the next client gets no notification window
  int fd = Connect();
  EXPECT_EQ(reported, (Events{"Error 10022 in function WSAAsyncSelect"}));
  EXPECT_EQ(ReadUntilClosed(fd), "") << "the peer must not wait for a connection nobody serves";
  ASSERT_TRUE(PumpUntil([&] { return server->ClientCount() == 0; }));
  EXPECT_EQ(log, (Events{"Destroyed Client1 1"}));
  Connect();
  EXPECT_EQ(server->ClientCount(), 1);
}

}  // namespace
