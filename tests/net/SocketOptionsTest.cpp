// ListenBacklog reaches listen(); wsoTcpNoDelay reaches the connection, made by Connect or taken
// over by Dup (a server's client gets it from the option set in OnClientCreate).
#include <netinet/tcp.h>

#include <gtest/gtest.h>

#include "SocketTestSupport.h"
#include "net/WSocketS.h"

using namespace testsupport;

namespace {

int Fd(const TCustomWSocket& S) { return static_cast<int>(S.SocketHandle()); }

bool NoDelay(int Fd) {
  int v = -1;
  socklen_t len = sizeof v;
  EXPECT_EQ(::getsockopt(Fd, IPPROTO_TCP, TCP_NODELAY, &v, &len), 0);
  return v != 0;
}

// Linux reports a listening socket's backlog in tcpi_sacked.
unsigned Backlog(int Fd) {
  tcp_info info{};
  socklen_t len = sizeof info;
  EXPECT_EQ(::getsockopt(Fd, IPPROTO_TCP, TCP_INFO, &info, &len), 0);
  EXPECT_EQ(info.tcpi_state, TCP_LISTEN);
  return info.tcpi_sacked;
}

TEST(SocketOptions, ListenBacklogIsFiveByDefaultAndGivenToListenAcrossSessions) {
  TWSocket s(nullptr);
  EXPECT_EQ(s.ListenBacklog(), 5);
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  s.Listen();
  EXPECT_EQ(Backlog(Fd(s)), 5u);
  s.Close();
  s.SetListenBacklog(128);
  s.SetAddr("127.0.0.1");
  s.SetPort("0");
  s.Listen();
  EXPECT_EQ(Backlog(Fd(s)), 128u);
  s.Close();
  EXPECT_EQ(s.ListenBacklog(), 128) << "a setting, not reset at a close";
}

TEST(SocketOptions, TcpNoDelayOnAConnectedSocketOnlyWhenAsked) {
  RawListener l;
  for (bool on : {false, true}) {
    SCOPED_TRACE(on ? "asked" : "not asked");
    TWSocket s(nullptr);
    if (on) s.SetComponentOptions(TWSocketOptions{wsoTcpNoDelay});
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(l.Port));
    s.Connect();
    EXPECT_EQ(NoDelay(Fd(s)), on) << "set when the socket is made, before the connection";
    int peer = l.AcceptPumping();
    ASSERT_TRUE(PumpUntil([&] { return s.State() == wsConnected; }));
    EXPECT_EQ(NoDelay(Fd(s)), on);
    ::close(peer);
  }
}

TEST(SocketOptions, TcpNoDelayOnAcceptedClientsThatAskForItInOnClientCreate) {
  TWSocketServer server(nullptr);
  server.SetBanner("");
  int asked = 0;
  server.OnClientCreate = [&](TComponent*, TWSocketClient* Client) {
    if (asked++ == 0) Client->SetComponentOptions(Client->ComponentOptions().With(wsoTcpNoDelay));
  };
  std::vector<bool> noDelay;
  server.OnClientConnect = [&](TComponent*, TWSocketClient* Client, std::uint16_t) {
    noDelay.push_back(NoDelay(Fd(*Client)));
  };
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();
  std::uint16_t port = static_cast<std::uint16_t>(std::stoi(server.GetBoundPort()));
  int a = RawConnect(port), b = RawConnect(port);
  ASSERT_TRUE(PumpUntil([&] { return noDelay.size() == 2; }));
  EXPECT_EQ(noDelay, (std::vector<bool>{true, false}));
  ::close(a);
  ::close(b);
  PumpUntil([&] { return server.ClientCount() == 0; });
}

}  // namespace
