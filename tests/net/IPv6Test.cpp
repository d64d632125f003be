// The components over IPv6 and across the families: connect, listen, accept and bytes both ways
// on ::1 and 127.0.0.1, a dual-stack listener on "::" serving clients of both families, the peer
// and bound address texts (compressed IPv6, dotted for an IPv4 peer seen through IPv6), the
// server's cached peer address, the address texts that Addr, LocalAddr and DnsLookup take, and
// the lookup of names with IPv6 addresses through the test hosts table. Tests that need ::1 skip,
// saying so, on a machine without it.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <ostream>

#include "SocketTestSupport.h"
#include "net/WSocketS.h"
#include "platform/WinsockLookup.h"

using namespace testsupport;

namespace {

bool HaveIPv6Loopback() {
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  bool ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  ::close(fd);
  return ok;
}

#define REQUIRE_IPV6_LOOPBACK()                                                 \
  if (!HaveIPv6Loopback()) {                                                    \
    GTEST_SKIP() << "this machine has no IPv6 loopback (::1) to bind to"; \
  }

// A plain POSIX client of Family (AF_INET or AF_INET6) connected to the loopback address at Port.
int RawConnectTo(int Family, std::uint16_t Port) {
  int fd = ::socket(Family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int rc;
  if (Family == AF_INET6) {
    sockaddr_in6 a{};
    a.sin6_family = AF_INET6;
    a.sin6_port = ::htons(Port);
    a.sin6_addr = in6addr_loopback;
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  } else {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = ::htons(Port);
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  }
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// Moves Data from one connected component to the other and checks it arrived whole.
::testing::AssertionResult Transfer(TWSocket& From, TWSocket& To, const std::string& Data) {
  std::string got;
  To.OnDataAvailable = [&](TComponent*, std::uint16_t) { got += To.ReceiveText(); };
  From.Send(Data.data(), static_cast<std::int32_t>(Data.size()));
  bool done = PumpUntil([&] { return got.size() >= Data.size(); }, 10000);
  To.OnDataAvailable = nullptr;
  if (!done || got.size() != Data.size() || Checksum(got) != Checksum(Data))
    return ::testing::AssertionFailure() << "sent " << Data.size() << " bytes, got " << got.size()
                                         << (Checksum(got) == Checksum(Data) ? "" : ", other bytes");
  return ::testing::AssertionSuccess();
}

// ---- component to component, every pairing of the families ---------------------------------

struct FamilyCase {
  const char* Name;
  const char* ListenAddr;   // what the listening component's Addr is set to
  const char* BoundText;    // its GetBoundAddr
  const char* ConnectAddr;  // what the connecting component's Addr is set to
  const char* PeerText;     // the address each side reads for the other
  bool NeedsIPv6;
};

void PrintTo(const FamilyCase& C, std::ostream* Out) { *Out << C.Name; }

class FamilyPairs : public ::testing::TestWithParam<FamilyCase> {};

TEST_P(FamilyPairs, ConnectListenAcceptAndBytesBothWaysWithTheirAddressTexts) {
  const FamilyCase& c = GetParam();
  if (c.NeedsIPv6) REQUIRE_IPV6_LOOPBACK();
  TWSocket listener(nullptr), client(nullptr), server(nullptr);
  listener.SetAddr(c.ListenAddr);
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) { server.Dup(listener.Accept()); };
  listener.Listen();
  ASSERT_EQ(listener.State(), wsListening);
  EXPECT_EQ(listener.GetBoundAddr(), c.BoundText);
  client.SetAddr(c.ConnectAddr);
  client.SetPort(listener.GetBoundPort());
  client.Connect();
  ASSERT_TRUE(PumpUntil([&] { return client.State() == wsConnected && server.State() == wsConnected; }));

  EXPECT_EQ(client.PeerAddr(), c.PeerText);
  EXPECT_EQ(client.PeerPort(), listener.GetBoundPort());
  EXPECT_EQ(server.PeerAddr(), c.PeerText);
  EXPECT_EQ(server.PeerPort(), client.GetBoundPort());
  EXPECT_EQ(client.GetBoundAddr(), c.PeerText);
  EXPECT_EQ(server.GetBoundAddr(), c.PeerText);

  EXPECT_TRUE(Transfer(client, server, Pattern(300000, 3)));
  EXPECT_TRUE(Transfer(server, client, Pattern(200000, 4)));
}

INSTANTIATE_TEST_SUITE_P(
    IPv6, FamilyPairs,
    ::testing::Values(
        FamilyCase{"IPv4ToIPv4", "127.0.0.1", "127.0.0.1", "127.0.0.1", "127.0.0.1", false},
        FamilyCase{"IPv6ToIPv6", "::1", "::1", "::1", "::1", true},
        FamilyCase{"BracketedIPv6", "[::1]", "::1", "[::1]", "::1", true},
        FamilyCase{"IPv6ToDualStack", "::", "::", "::1", "::1", true},
        FamilyCase{"IPv4ToDualStackReadsDotted", "::", "::", "127.0.0.1", "127.0.0.1", true},
        FamilyCase{"MappedLiteralToDualStack", "::", "::", "::ffff:127.0.0.1", "127.0.0.1", true}),
    [](const ::testing::TestParamInfo<FamilyCase>& Info) { return std::string(Info.param.Name); });

TEST(IPv6Component, ListenOnIPv4StaysIPv4Only) {
  REQUIRE_IPV6_LOOPBACK();
  TWSocket listener(nullptr);
  listener.SetAddr("0.0.0.0");
  listener.SetPort("0");
  listener.Listen();
  ASSERT_EQ(listener.State(), wsListening);
  EXPECT_EQ(listener.AddressFamily(), platform::WS_AF_INET);
  const int port = std::stoi(listener.GetBoundPort());
  int v4 = RawConnectTo(AF_INET, static_cast<std::uint16_t>(port));
  EXPECT_GE(v4, 0);
  if (v4 >= 0) ::close(v4);
  int v6 = RawConnectTo(AF_INET6, static_cast<std::uint16_t>(port));
  EXPECT_LT(v6, 0) << "0.0.0.0 listens on IPv4 alone, as before";
  if (v6 >= 0) ::close(v6);
}

// ---- the listening server ------------------------------------------------------------------

TEST(IPv6Server, DualStackServerCachesEachClientsAddressInItsOwnFamily) {
  REQUIRE_IPV6_LOOPBACK();
  TWSocketServer server(nullptr);
  server.SetBanner("");
  std::vector<std::string> connected, disconnected;
  server.OnClientConnect = [&](TComponent*, TWSocketClient* c, std::uint16_t) {
    connected.push_back(c->PeerAddr());
  };
  server.OnClientDisconnect = [&](TComponent*, TWSocketClient* c, std::uint16_t) {
    disconnected.push_back(c->PeerAddr());
  };
  server.SetAddr("::");
  server.SetPort("0");
  server.Listen();
  ASSERT_EQ(server.State(), wsListening);
  const auto port = static_cast<std::uint16_t>(std::stoi(server.GetBoundPort()));
  int v4 = RawConnectTo(AF_INET, port);
  ASSERT_TRUE(PumpUntil([&] { return connected.size() == 1; }));
  int v6 = RawConnectTo(AF_INET6, port);
  ASSERT_TRUE(PumpUntil([&] { return connected.size() == 2; }));
  EXPECT_EQ(connected, (std::vector<std::string>{"127.0.0.1", "::1"}));

  // The cache keeps answering once the connection is gone.
  ::close(v4);
  ::close(v6);
  ASSERT_TRUE(PumpUntil([&] { return disconnected.size() == 2; }));
  std::sort(disconnected.begin(), disconnected.end());
  EXPECT_EQ(disconnected, (std::vector<std::string>{"127.0.0.1", "::1"})) << "in whichever order they closed";
}

// ---- address texts -------------------------------------------------------------------------

struct Done {
  std::vector<std::string> Events;
  void Attach(TWSocket& S) {
    S.OnDnsLookupDone = [this](TComponent*, std::uint16_t e) { Events.push_back("Dns " + std::to_string(e)); };
  }
};

TEST(IPv6AddressTexts, DnsLookupAnswersAnIPv6LiteralInsideTheCallInItsCompressedForm) {
  const std::string lo = std::to_string(platform::if_nametoindex("lo"));
  struct Row {
    const char* In;
    std::string Out;
  } rows[] = {{"::1", "::1"},
              {"[::1]", "::1"},
              {"2001:0DB8:0:0::0001", "2001:db8::1"},
              {"::ffff:127.0.0.1", "127.0.0.1"},
              {"fe80::1%lo", "fe80::1%" + lo},
              {"[fe80::1%7]", "fe80::1%7"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.In);
    Done d;
    TWSocket s(nullptr);
    d.Attach(s);
    s.DnsLookup(r.In);
    EXPECT_EQ(d.Events, (std::vector<std::string>{"Dns 0"}));
    EXPECT_EQ(s.DnsResult(), r.Out);
    EXPECT_TRUE(s.DnsResultList().empty());
  }
}

TEST(IPv6AddressTexts, LocalAddrTakesIPv6AndTheConnectionLeavesFromIt) {
  REQUIRE_IPV6_LOOPBACK();
  TWSocket s(nullptr);
  s.SetLocalAddr("[::1]");
  EXPECT_EQ(s.LocalAddr(), "::1");
  EXPECT_THROW(s.SetLocalAddr("::1%no-such-interface"), ESocketException);
  EXPECT_THROW(s.SetLocalAddr("[::1"), ESocketException);
  EXPECT_EQ(s.LocalAddr(), "::1");

  TWSocket listener(nullptr), server(nullptr);
  listener.SetAddr("::");
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) { server.Dup(listener.Accept()); };
  listener.Listen();
  s.SetAddr("::1");
  s.SetPort(listener.GetBoundPort());
  s.Connect();
  EXPECT_NE(s.LocalPort(), "0") << "bound before connecting; the port the system chose reads back";
  ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected && server.State() == wsConnected; }));
  EXPECT_EQ(server.PeerAddr(), "::1");
  EXPECT_EQ(server.PeerPort(), s.LocalPort());
}

TEST(IPv6AddressTexts, ConnectToAnIPv6AddressWithoutAListenerIsRefusedThroughTheLoop) {
  REQUIRE_IPV6_LOOPBACK();
  Trace t;
  TWSocket s(nullptr);
  t.Attach(s);
  s.SetAddr("::1");
  s.SetPort(std::to_string(UnusedPort()));
  s.Connect();
  ASSERT_TRUE(PumpUntil([&] { return t.Has("Closed 0"); }));
  EXPECT_EQ(t.Events, (std::vector<std::string>{"State 7>1", "State 1>3", "State 3>4", "Connected 10061",
                                                "State 4>7", "Closed 0"}));
}

TEST(IPv6AddressTexts, ListenOnAnIPv6AddressThatIsNotHereReportsBindWith10049) {
  REQUIRE_IPV6_LOOPBACK();
  TWSocket s(nullptr);
  s.SetAddr("2001:db8::7");  // documentation prefix: never an address of this machine
  s.SetPort("0");
  std::string message;
  try {
    s.Listen();
  } catch (const ESocketException& e) {
    message = e.Message();
  }
  EXPECT_EQ(message, "Error 10049 in function Bind\r\nAddress not available");
  EXPECT_EQ(s.LastError(), 10049);
  EXPECT_EQ(s.State(), wsClosed);
  EXPECT_EQ(s.SocketHandle(), platform::INVALID_SOCKET);
}

TEST(IPv6AddressTexts, DatagramComponentSendsToAnIPv6Peer) {
  REQUIRE_IPV6_LOOPBACK();
  int peer = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  sockaddr_in6 a{};
  a.sin6_family = AF_INET6;
  a.sin6_addr = in6addr_loopback;
  ASSERT_EQ(::bind(peer, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t len = sizeof a;
  ::getsockname(peer, reinterpret_cast<sockaddr*>(&a), &len);
  TWSocket s(nullptr);
  s.SetProto("udp");
  s.SetAddr("::1");
  s.SetPort(std::to_string(::ntohs(a.sin6_port)));
  s.Connect();
  ASSERT_EQ(s.State(), wsConnected);
  EXPECT_NE(s.LocalPort(), "0") << "a datagram socket is always bound, here to ::";
  s.SendText("one datagram");
  char buf[64];
  ssize_t n = -1;
  sockaddr_in6 from{};
  socklen_t fromLen = sizeof from;
  ASSERT_TRUE(PumpUntil([&] {
    n = ::recvfrom(peer, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    return n >= 0;
  }));
  EXPECT_EQ(std::string(buf, static_cast<std::size_t>(n)), "one datagram");
  EXPECT_EQ(std::to_string(::ntohs(from.sin6_port)), s.LocalPort());
  ::close(peer);
}

// ---- names with IPv6 addresses -------------------------------------------------------------

class IPv6Names : public ::testing::Test {
protected:
  void SetUp() override {
    platform::lookup::SetHostsForTest({{"v6only.test", {"::1"}}, {"both.test", {"::1", "127.0.0.1"}}});
  }
  void TearDown() override { platform::lookup::SetHostsForTest({}); }
};

TEST_F(IPv6Names, DnsLookupListsEveryAddressAndKeepsDnsResultOnIPv4WhenThereIsOne) {
  struct Row {
    const char* Name;
    std::vector<std::string> List;
    const char* Result;
  } rows[] = {{"v6only.test", {"::1"}, "::1"}, {"both.test", {"::1", "127.0.0.1"}, "127.0.0.1"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Name);
    Done d;
    TWSocket s(nullptr);
    d.Attach(s);
    s.DnsLookup(r.Name);
    EXPECT_TRUE(d.Events.empty()) << "a name is answered from the loop";
    ASSERT_TRUE(PumpUntil([&] { return !d.Events.empty(); }));
    EXPECT_EQ(d.Events, (std::vector<std::string>{"Dns 0"}));
    EXPECT_EQ(s.DnsResultList(), r.List);
    EXPECT_EQ(s.DnsResult(), r.Result);
  }
}

// Each address of the list reaches a dual-stack server, and a name in Addr connects to the
// family that DnsResult would give: IPv4 when the name has it, else IPv6.
TEST_F(IPv6Names, EveryListedAddressAndTheNameItselfConnect) {
  REQUIRE_IPV6_LOOPBACK();
  TWSocket listener(nullptr);
  std::vector<std::unique_ptr<TWSocket>> accepted;
  listener.SetAddr("::");
  listener.SetPort("0");
  listener.OnSessionAvailable = [&](TComponent*, std::uint16_t) {
    accepted.push_back(std::make_unique<TWSocket>(nullptr));
    accepted.back()->Dup(listener.Accept());
  };
  listener.Listen();
  const std::string port = listener.GetBoundPort();
  struct Row {
    const char* Addr;
    const char* Seen;
  } rows[] = {{"::1", "::1"}, {"127.0.0.1", "127.0.0.1"}, {"both.test", "127.0.0.1"}, {"v6only.test", "::1"}};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.Addr);
    TWSocket c(nullptr);
    c.SetAddr(r.Addr);
    c.SetPort(port);
    c.Connect();
    ASSERT_TRUE(PumpUntil([&] { return c.State() == wsConnected && !accepted.empty(); }));
    EXPECT_EQ(accepted.back()->PeerAddr(), r.Seen);
    EXPECT_EQ(c.PeerAddr(), r.Seen);
    accepted.clear();
  }
}

TEST_F(IPv6Names, ANameWithoutAnyAddressStillFailsWithTheIPv4Message) {
  TWSocket s(nullptr);
  s.SetAddr("nonexistent.invalid");
  s.SetPort("80");
  try {
    s.Connect();
    FAIL() << "connected to a name that does not exist";
  } catch (const ESocketException& e) {
    EXPECT_EQ(e.Message().rfind("connect: WSocketResolveHost: Cannot convert host address 'nonexistent.invalid', Error #", 0),
              0u)
        << e.Message();
  }
  EXPECT_EQ(s.State(), wsClosed);
}

}  // namespace
