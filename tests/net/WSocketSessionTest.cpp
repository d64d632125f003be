// The event sequences of the usual sessions, on real loopback sockets, compared whole.
#include <gtest/gtest.h>

#include <memory>

#include "SocketTestSupport.h"

using namespace testsupport;
using Events = std::vector<std::string>;

namespace {

// A TWSocket connected to a raw peer; the trace starts empty once the session is up.
struct ConnectedPair {
  RawListener listener;
  Trace trace;  // outlives the socket, whose destruction still raises OnChangeState
  TWSocket sock{nullptr};
  int peer = -1;

  bool Open() {
    trace.Attach(sock);
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(listener.Port));
    sock.Connect();
    peer = listener.AcceptPumping();
    return peer >= 0 && PumpUntil([&] { return trace.Has("DataSent 0"); });
  }
  ~ConnectedPair() {
    if (peer >= 0) ::close(peer);
  }
};

TEST(SessionEvents, SuccessfulConnectRaisesStatesThenConnectedThenDataSent) {
  ConnectedPair p;
  ASSERT_TRUE(p.Open());
  EXPECT_EQ(p.trace.Events, (Events{"State 7>1", "State 1>3", "State 3>4", "Connected 0", "DataSent 0"}));
  EXPECT_EQ(p.sock.State(), wsConnected);
  EXPECT_EQ(p.sock.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(p.sock.PeerPort(), std::to_string(p.listener.Port));
}

TEST(SessionEvents, RefusedConnectReportsTheErrorThenClosesAndRestoresDefaults) {
  Trace t;
  TWSocket sock(nullptr);
  t.Attach(sock);
  sock.SetAddr("127.0.0.1");
  sock.SetPort(std::to_string(UnusedPort()));
  sock.SetLocalPort("0");
  sock.Connect();
  EXPECT_EQ(t.Events, (Events{"State 7>1", "State 1>3"})) << "the outcome must come from the loop";
  ASSERT_TRUE(PumpUntil([&] { return t.Has("Closed 0"); }));
  EXPECT_EQ(t.Events, (Events{"State 7>1", "State 1>3", "State 3>4", "Connected 10061", "State 4>7", "Closed 0"}));
  EXPECT_EQ(sock.State(), wsClosed);
  EXPECT_EQ(sock.SocketHandle(), platform::INVALID_SOCKET);
  EXPECT_EQ(sock.Proto(), "tcp");
  EXPECT_EQ(sock.LocalAddr(), "0.0.0.0");
  EXPECT_EQ(sock.LocalPort(), "0");
  EXPECT_EQ(sock.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(sock.Addr(), "127.0.0.1") << "the texts stay readable";
  EXPECT_THROW(sock.Connect(), ESocketException) << "but Port must be assigned again";
}

TEST(SessionEvents, PeerThatSendsAndClosesDeliversEveryByteBeforeSessionClosed) {
  ConnectedPair p;
  ASSERT_TRUE(p.Open());
  p.trace.Events.clear();
  std::string got;
  p.trace.OnData = [&](TCustomWSocket* s) { got += s->ReceiveText(); };
  ASSERT_EQ(::send(p.peer, "hello", 5, 0), 5);
  ::shutdown(p.peer, SHUT_WR);
  ASSERT_TRUE(PumpUntil([&] { return p.trace.Has("Closed 0"); }));
  EXPECT_EQ(got, "hello");
  EXPECT_EQ(p.trace.WithoutData(), (Events{"Closed 0", "State 4>7"}));
  EXPECT_EQ(p.trace.Events.front(), "Data 0");
}

TEST(SessionEvents, ResetByPeerClosesWithTheResetCode) {
  ConnectedPair p;
  ASSERT_TRUE(p.Open());
  p.trace.Events.clear();
  RawReset(p.peer);
  p.peer = -1;
  ASSERT_TRUE(PumpUntil([&] { return p.sock.State() == wsClosed; }));
  EXPECT_EQ(p.trace.WithoutData(), (Events{"Closed 10054", "State 4>7"}));
}

TEST(SessionEvents, CloseRaisesStateThenClosedOnceAndASecondCloseNothing) {
  ConnectedPair p;
  ASSERT_TRUE(p.Open());
  p.trace.Events.clear();
  p.sock.Close();
  EXPECT_EQ(p.trace.Events, (Events{"State 4>7", "Closed 0"}));
  p.sock.Close();
  PumpIdle();
  EXPECT_EQ(p.trace.Events.size(), 2u);
  char c;
  EXPECT_LE(::recv(p.peer, &c, 1, 0), 0) << "the peer sees the connection end";
}

TEST(SessionEvents, AbortClosesAndLeavesLingerReadingOnAgain) {
  ConnectedPair p;
  ASSERT_TRUE(p.Open());
  p.trace.Events.clear();
  p.sock.SetLingerTimeout(5);
  p.sock.Abort();
  EXPECT_EQ(p.trace.Events, (Events{"State 4>7", "Closed 0"}));
  EXPECT_EQ(p.sock.LingerOnOff(), wsLingerOn);
  EXPECT_EQ(p.sock.LingerTimeout(), 0);
}

TEST(SessionEvents, DestroyingAnOpenComponentRaisesOnlyTheStateChange) {
  RawListener l;
  Events events;
  {
    Trace t;
    TWSocket sock(nullptr);
    t.Attach(sock);
    sock.SetAddr("127.0.0.1");
    sock.SetPort(std::to_string(l.Port));
    sock.Connect();
    ASSERT_TRUE(PumpUntil([&] { return sock.State() == wsConnected; }));
    sock.DnsLookup("localhost");  // pending: must not be answered at destruction
    t.Events.clear();
    sock.OnChangeState = [&](TComponent*, TSocketState o, TSocketState n) {
      events.push_back("State " + std::to_string(o) + ">" + std::to_string(n));
    };
    sock.OnSessionClosed = [&](TComponent*, std::uint16_t) { events.push_back("Closed"); };
    sock.OnDnsLookupDone = [&](TComponent*, std::uint16_t) { events.push_back("Dns"); };
  }
  PumpIdle();
  EXPECT_EQ(events, (Events{"State 4>7"}));
}

TEST(SessionEvents, ListenThenAcceptIntoAnotherComponentWithDup) {
  Trace st;
  TWSocket server(nullptr);
  st.Attach(server);
  server.SetAddr("127.0.0.1");
  server.SetPort("0");
  server.Listen();
  EXPECT_EQ(st.Events, (Events{"State 7>2", "State 2>6"}));
  std::uint16_t port = static_cast<std::uint16_t>(std::stoi(server.GetBoundPort()));
  ASSERT_NE(port, 0);

  Trace ct;
  TWSocket client(nullptr);
  ct.Attach(client);
  server.OnSessionAvailable = [&](TComponent*, std::uint16_t e) {
    st.Events.push_back("Available " + std::to_string(e));
    client.Dup(server.Accept());
  };
  int peer = RawConnect(port);
  ASSERT_GE(peer, 0);
  ASSERT_TRUE(PumpUntil([&] { return ct.Has("DataSent 0"); }));
  EXPECT_EQ(st.Events.back(), "Available 0");
  EXPECT_EQ(ct.Events, (Events{"State 7>4", "DataSent 0"})) << "Dup raises no OnSessionConnected";
  EXPECT_EQ(client.PeerAddr(), "127.0.0.1");
  EXPECT_EQ(server.State(), wsListening) << "Accept leaves the listener's state alone";

  std::string got;
  ct.OnData = [&](TCustomWSocket* s) { got += s->ReceiveText(); };
  ASSERT_EQ(::send(peer, "abc", 3, 0), 3);
  ASSERT_TRUE(PumpUntil([&] { return got == "abc"; }));
  ::close(peer);
  ASSERT_TRUE(PumpUntil([&] { return client.State() == wsClosed; }));
}

TEST(SessionEvents, UdpConnectIsConnectedInsideTheCall) {
  Trace t;
  TWSocket sock(nullptr);
  t.Attach(sock);
  sock.SetProto("udp");
  sock.SetAddr("127.0.0.1");
  sock.SetPort("9");
  sock.Connect();
  EXPECT_EQ(t.Events, (Events{"State 7>1", "State 1>4", "Connected 0"}));
  EXPECT_NE(sock.LocalPort(), "0") << "a datagram socket always binds";
  sock.Close();
}

TEST(SessionEvents, ShutdownOfTheSendSideChangesNothingUntilThePeerCloses) {
  ConnectedPair p;
  ASSERT_TRUE(p.Open());
  p.trace.Events.clear();
  p.sock.Shutdown(1);
  char c;
  ASSERT_EQ(::recv(p.peer, &c, 1, 0), 0) << "the peer sees our end of stream";
  PumpIdle();
  EXPECT_TRUE(p.trace.Events.empty());
  EXPECT_EQ(p.sock.State(), wsConnected);
  ::close(p.peer);
  p.peer = -1;
  ASSERT_TRUE(PumpUntil([&] { return p.sock.State() == wsClosed; }));
  EXPECT_EQ(p.trace.WithoutData(), (Events{"Closed 0", "State 4>7"}));
}

TEST(SessionEvents, PauseDropsQueuedNotificationsAndResumeSelectsTheMaskAgain) {
  ConnectedPair p;
  ASSERT_TRUE(p.Open());
  p.trace.Events.clear();
  std::string got;
  p.trace.OnData = [&](TCustomWSocket* s) { got += s->ReceiveText(); };
  ASSERT_EQ(::send(p.peer, "xy", 2, 0), 2);
  p.sock.Pause();
  PumpIdle();
  EXPECT_EQ(got, "");
  p.sock.Resume();
  EXPECT_EQ(p.sock.EventMask(), 0x3Bu);
  ASSERT_TRUE(PumpUntil([&] { return got == "xy"; }));
}

}  // namespace
