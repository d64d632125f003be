// The server under load: many clients at once on real loopback connections, each echoing a few
// KiB, closed in a random (seeded) order by either side. Every client must be announced, disposed
// of and destroyed exactly once, and every byte must come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>

#include "SocketTestSupport.h"
#include "net/WSocketS.h"

using namespace testsupport;

namespace {

struct Peer {
  int Fd = -1;
  std::string Port;  // the local port, as the server's client sees it
  std::string Payload;
  std::size_t Sent = 0;
  std::string Echoed;
};

struct Served {
  int Connects = 0, Disconnects = 0, Destroyed = 0;
  bool ListedAtDisconnect = false;
  std::string Port, Received;
};

struct TCountedClient : TWSocketClient {
  using TWSocketClient::TWSocketClient;
  std::map<std::string, Served>* Records = nullptr;
  ~TCountedClient() override { ++(*Records)[Name()].Destroyed; }
};

int StartConnect(std::uint16_t Port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(Port);
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);  // in progress
  return fd;
}

TEST(ServerLoad, TwoHundredClientsAtOnceAreEachAnnouncedAndDisposedOfOnceWithNoByteLost) {
  constexpr int kClients = 200;
  std::map<std::string, Served> served;  // by client name; outlives the server
  std::vector<Peer> peers(kClients);
  std::map<std::string, TWSocketClient*> byPort;  // valid until that client is closed
  TWSocketServer server(nullptr);
  server.SetBanner("");
  server.SetClientClass([&](TComponent* Owner) {
    auto* c = new TCountedClient(Owner);
    c->Records = &served;
    return c;
  });
  server.OnClientConnect = [&](TComponent*, TWSocketClient* c, std::uint16_t) {
    Served& r = served[c->Name()];
    ++r.Connects;
    r.Port = c->PeerPort();
    byPort[r.Port] = c;
    c->OnDataAvailable = [&r, c](TComponent*, std::uint16_t) {
      std::string data = c->ReceiveText();
      r.Received += data;
      c->SendText(data);
    };
  };
  server.OnClientDisconnect = [&](TComponent*, TWSocketClient* c, std::uint16_t) {
    Served& r = served[c->Name()];
    ++r.Disconnects;
    for (std::int32_t i = 0; i < server.ClientCount(); ++i) r.ListedAtDisconnect |= server.Client(i) == c;
  };
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();
  const auto port = static_cast<std::uint16_t>(std::stoi(server.GetBoundPort()));

  // Connect all of them, a few in flight at a time: the listen queue is short, and a connect it
  // drops would wait for the kernel's retransmission.
  int started = 0;
  ASSERT_TRUE(PumpUntil([&] {
    while (started < kClients && started - server.ClientSerial() < 4) {
      Peer& p = peers[static_cast<std::size_t>(started)];
      p.Fd = StartConnect(port);
      p.Payload = Pattern(1024 + static_cast<std::size_t>(started) * 37 % 5000, static_cast<std::uint32_t>(started) + 1);
      ++started;
    }
    return server.ClientCount() == kClients;
  }, 30000));
  for (Peer& p : peers) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(p.Fd, reinterpret_cast<sockaddr*>(&a), &len);
    p.Port = std::to_string(::ntohs(a.sin_port));
  }

  // Every peer sends its payload and reads the echo, all at once.
  ASSERT_TRUE(PumpUntil([&] {
    bool done = true;
    for (Peer& p : peers) {
      if (p.Sent < p.Payload.size()) {
        ssize_t n = ::send(p.Fd, p.Payload.data() + p.Sent, p.Payload.size() - p.Sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) p.Sent += static_cast<std::size_t>(n);
      }
      char buf[8192];
      ssize_t n = ::recv(p.Fd, buf, sizeof buf, MSG_DONTWAIT);
      if (n > 0) p.Echoed.append(buf, static_cast<std::size_t>(n));
      done = done && p.Echoed.size() >= p.Payload.size();
    }
    return done;
  }, 30000));

  // Close in a seeded random order, each by a random side, letting disposals interleave.
  std::mt19937 rng(20261209);
  std::vector<int> order(kClients);
  for (int i = 0; i < kClients; ++i) order[static_cast<std::size_t>(i)] = i;
  std::shuffle(order.begin(), order.end(), rng);
  for (int i : order) {
    Peer& p = peers[static_cast<std::size_t>(i)];
    if (rng() % 2 == 0) {
      ASSERT_EQ(byPort.count(p.Port), 1u);
      byPort[p.Port]->Close();
    } else {
      ::close(p.Fd);
      p.Fd = -1;
    }
    platform::WaitAndDispatch(0);
  }
  ASSERT_TRUE(PumpUntil([&] { return server.ClientCount() == 0 && served.size() == kClients; }, 30000))
      << server.ClientCount() << " clients left";
  PumpIdle();

  std::set<std::string> expectedNames;
  for (int i = 1; i <= kClients; ++i) expectedNames.insert("Client" + std::to_string(i));
  std::map<std::string, const Peer*> peerByPort;
  for (const Peer& p : peers) peerByPort[p.Port] = &p;
  for (const auto& [name, r] : served) {
    SCOPED_TRACE(name);
    EXPECT_EQ(expectedNames.erase(name), 1u);
    EXPECT_EQ(r.Connects, 1);
    EXPECT_EQ(r.Disconnects, 1);
    EXPECT_EQ(r.Destroyed, 1);
    EXPECT_TRUE(r.ListedAtDisconnect);
    ASSERT_EQ(peerByPort.count(r.Port), 1u);
    const Peer& p = *peerByPort[r.Port];
    EXPECT_EQ(r.Received.size(), p.Payload.size());
    EXPECT_EQ(Checksum(r.Received), Checksum(p.Payload));
    EXPECT_EQ(p.Echoed.size(), p.Payload.size());
    EXPECT_EQ(Checksum(p.Echoed), Checksum(p.Payload));
  }
  EXPECT_TRUE(expectedNames.empty());
  EXPECT_EQ(server.ClientSerial(), kClients);
  for (Peer& p : peers)
    if (p.Fd >= 0) ::close(p.Fd);
}

}  // namespace
