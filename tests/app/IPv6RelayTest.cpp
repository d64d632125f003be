// The relay over both families, through the real windows: clients over ::1 and 127.0.0.1 on the
// one local port, remote servers that listen on ::1 only, and a remote host whose addresses are
// tried in turn when one refuses or does not answer. Names come from the lookup's test table, so
// that the machine's hosts file need not know any IPv6 name.
#include <arpa/inet.h>

#include "RelayPeers.h"
#include "platform/WinsockLookup.h"

using namespace apptest;

namespace {

// A listening socket at Addr (either family) and Port (0: any); its port is read back. -1 when it
// cannot be bound.
int ListenAt(const std::string& Addr, std::uint16_t& Port, int Backlog = 16) {
  sockaddr_storage a{};
  socklen_t len = 0;
  int family = AF_INET;
  if (::inet_pton(AF_INET6, Addr.c_str(), &reinterpret_cast<sockaddr_in6*>(&a)->sin6_addr) == 1) {
    family = AF_INET6;
    reinterpret_cast<sockaddr_in6*>(&a)->sin6_port = htons(Port);
    len = sizeof(sockaddr_in6);
  } else {
    ::inet_pton(AF_INET, Addr.c_str(), &reinterpret_cast<sockaddr_in*>(&a)->sin_addr);
    reinterpret_cast<sockaddr_in*>(&a)->sin_port = htons(Port);
    len = sizeof(sockaddr_in);
  }
  a.ss_family = static_cast<sa_family_t>(family);
  const int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (family == AF_INET6) ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&a), len) != 0 || ::listen(fd, Backlog) != 0) {
    ::close(fd);
    return -1;
  }
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  Port = ntohs(family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port
                                  : reinterpret_cast<sockaddr_in*>(&a)->sin_port);
  return fd;
}

// A blocking client of Addr:Port; -1 when it cannot connect.
int ConnectTo(const std::string& Addr, std::uint16_t Port) {
  sockaddr_in6 a6{};
  sockaddr_in a4{};
  const bool v6 = ::inet_pton(AF_INET6, Addr.c_str(), &a6.sin6_addr) == 1;
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int rc;
  if (v6) {
    a6.sin6_family = AF_INET6;
    a6.sin6_port = htons(Port);
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a6), sizeof a6);
  } else {
    a4.sin_family = AF_INET;
    a4.sin_port = htons(Port);
    ::inet_pton(AF_INET, Addr.c_str(), &a4.sin_addr);
    rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a4), sizeof a4);
  }
  if (rc != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool HaveIPv6Loopback() {
  std::uint16_t port = 0;
  const int fd = ListenAt("::1", port);
  if (fd >= 0) ::close(fd);
  return fd >= 0;
}

// An echo server at Addr, at Port or any port.
struct TEchoAt : TRemoteServer {
  TEchoAt(const std::string& Addr, std::uint16_t Port = 0, int Backlog = 16) {
    ::close(Listener.Fd);
    Listener.Port = Port;
    Listener.Fd = ListenAt(Addr, Listener.Port, Backlog);
    Echo = true;
  }
  bool Ok() const { return Listener.Fd >= 0; }
};

class RelayIPv6 : public AppFixture {
protected:
  void SetUp() override {
    if (!HaveIPv6Loopback()) GTEST_SKIP() << "this machine has no IPv6 loopback (::1) to bind to";
    AppFixture::SetUp();
    platform::lookup::SetHostsForTest({{"v6only.test", {"::1"}},
                                       {"localhost", {"::1", "127.0.0.1"}},  // as many systems list it
                                       {"two.test", {"::1", "127.0.0.1"}},
                                       {"slow.test", {"127.0.0.2", "127.0.0.3"}}});
  }
  void TearDown() override {
    Locals.clear();
    platform::lookup::SetHostsForTest({});
    if (Main != nullptr) AppFixture::TearDown();
  }
  // A client of the relay at Host sends Size bytes and gets them back from the echo server. The
  // client stays connected while the test runs.
  void ExpectEcho(const std::string& Host, TRemoteServer& Server, std::size_t Size = 100000) {
    const int fd = ConnectTo(Host, Port);
    ASSERT_GE(fd, 0) << "the relay does not take clients over " << Host;
    Locals.push_back(std::make_unique<TPeer>(fd));
    TPeer* local = Locals.back().get();
    local->ToSend = Pattern(Size, static_cast<std::uint32_t>(Size));
    ASSERT_TRUE(RunUntil([&] { return local->Received.size() >= Size; }, [&] {
      Server.Service();
      local->Service();
    }));
    EXPECT_EQ(local->Received.size(), Size);
    EXPECT_EQ(Checksum(local->Received), Checksum(local->ToSend));
  }
  void Listen(const std::string& RemoteAddr, std::uint16_t RemotePort) {
    Main->RemoteAddr->setText(QString::fromStdString(RemoteAddr));
    Main->RemotePort->setText(QString::number(RemotePort));
    Port = StartListening();
  }
  std::uint16_t Port = 0;
  std::vector<std::unique_ptr<TPeer>> Locals;
};

TEST_F(RelayIPv6, ClientsOfBothFamiliesAreServedOnTheOneLocalPort) {
  TEchoAt server("127.0.0.1");
  Listen("127.0.0.1", server.Listener.Port);
  ExpectEcho("127.0.0.1", server);
  EXPECT_EQ(Main->StatusPanel(3)->text(), "127.0.0.1") << "an IPv4 client reads as dotted, not as ::ffff:";
  ExpectEcho("::1", server);
  EXPECT_EQ(Main->StatusPanel(3)->text(), "::1");
}

// A server that listens on ::1 alone, reached by its literal, by a name that has only that
// address, and by "localhost" listed with ::1 first.
TEST_F(RelayIPv6, ARemoteOnIPv6LoopbackAloneIsReachedByLiteralByNameAndByLocalhost) {
  TEchoAt server("::1");
  ASSERT_TRUE(server.Ok());
  for (const char* host : {"::1", "[::1]", "v6only.test", "localhost"}) {
    SCOPED_TRACE(host);
    Listen(host, server.Listener.Port);
    ExpectEcho("127.0.0.1", server);
    Main->ListenBtn->click();
    Locals.clear();
  }
}

// "localhost" listed with ::1 first, the server on 127.0.0.1 alone: ::1 refuses, 127.0.0.1 is
// tried next, and the session never shows the refusal as its failure.
TEST_F(RelayIPv6, WhenTheFirstAddressRefusesTheNextIsTried) {
  TEchoAt server("127.0.0.1");
  Listen("two.test", server.Listener.Port);
  ExpectEcho("127.0.0.1", server);
  EXPECT_EQ(Count("Error: Connection failed"), 0);
  EXPECT_EQ(Count("Connection Opened"), 1);
}

// The first address does not answer (its accept queue is full, so its SYN is dropped); after the
// attempt's delay the second one is tried.
TEST_F(RelayIPv6, AnAddressThatDoesNotAnswerGivesWayToTheNextAfterTheAttemptDelay) {
  TEchoAt server("127.0.0.3");
  ASSERT_TRUE(server.Ok());
  std::uint16_t port = server.Listener.Port;
  const int silent = ListenAt("127.0.0.2", port, 0);
  ASSERT_GE(silent, 0);
  const int filler = ConnectTo("127.0.0.2", port);  // fills the silent one's accept queue
  Main->Relay()->SetConnectAttemptMs(200);
  Listen("slow.test", port);
  ExpectEcho("127.0.0.1", server);
  EXPECT_EQ(Count("Error: Connection failed"), 0);
  ::close(filler);
  ::close(silent);
}

TEST_F(RelayIPv6, WhenEveryAddressFailsTheEntryGivesEachAddressAndItsReason) {
  Listen("two.test", UnusedPort());
  TPeer local(RawConnect(Port));
  ASSERT_TRUE(RunUntil([&] { return local.Eof && WSocketServer->ClientCount() == 0; }, [&] { local.Service(); }));
  EXPECT_TRUE(local.Reset);
  ASSERT_EQ(Titles(), (std::vector<std::string>{"Error: Connection failed", "Connection Closed"}));
  EXPECT_EQ(BodyOf(0), "::1: Connection refused; 127.0.0.1: Connection refused");
}

}  // namespace
