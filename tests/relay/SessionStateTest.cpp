// A relay session's state through whole sessions on loopback, as the engine reports it to its sink:
// the states in the order they come, the entries that go with them, and what each side sees, for an
// orderly session, a connection that fails, a reset from the remote side, an end from the remote
// side first, and Cancel.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "SocketTestSupport.h"
#include "relay/Relay.h"

using namespace testsupport;

namespace {

// Every entry's title and every change of a session's facts, in the order they came.
class TRecordingSink : public TEntrySink {
public:
  void SetEntryColor(TColor) override {}
  void SetEntryTitle(const std::string& Value) override { FTitle = Value; }
  void AddEntry(const std::string& Body) override { AddEntry(Body, TEntrySource{}); }
  void AddEntry(const std::string& Body, const TEntrySource& Source) override {
    Titles.push_back(FTitle);
    if (Source.Direction == edFromLocal) FromLocal += Body;
    if (Source.Direction == edFromRemote) FromRemote += Body;
  }
  void SessionChanged(const TSessionInfo& Info) override {
    if (States.empty() || States.back() != Info.State) States.push_back(Info.State);
    Last = Info;
  }

  std::vector<std::string> Titles;
  std::vector<TSessionState> States;  // each state once, as it was reached
  std::string FromLocal, FromRemote;  // the bodies logged each way
  TSessionInfo Last;

private:
  std::string FTitle;
};

// A non-blocking read of everything waiting: 0 at the end of the stream, the errno of a failed
// read, -1 while the stream is open.
int ReadSome(int Fd, std::string& Got) {
  char buf[65536];
  for (;;) {
    ssize_t n = ::recv(Fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n > 0) {
      Got.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    if (n == 0) return 0;
    return errno == EAGAIN || errno == EWOULDBLOCK ? -1 : errno;
  }
}

class SessionState : public ::testing::Test {
protected:
  void SetUp() override {
    Relay = std::make_unique<TRelay>(nullptr, &Sink);
    Settings.LocalPort = "0";
    Settings.RemoteAddr = "127.0.0.1";
    Settings.RemotePort = std::to_string(Remote.Port);
  }
  void TearDown() override {
    for (int fd : {Local, Server})
      if (fd >= 0) ::close(fd);
    Relay.reset();
  }
  void Start() {
    Relay->Listen(Settings);
    Local = RawConnect(static_cast<std::uint16_t>(std::stoi(Relay->WSocketServer()->GetBoundPort())));
    ASSERT_GE(Local, 0);
  }
  // The remote server's side of the session, once the relay has connected.
  void AcceptRemote() {
    Server = Remote.AcceptPumping();
    ASSERT_GE(Server, 0);
    ASSERT_TRUE(PumpUntil([&] { return Sink.Last.State == ssRelaying; }));
  }
  bool Ended() { return Relay->SessionCount() == 0 && Relay->WSocketServer()->ClientCount() == 0; }

  TRecordingSink Sink;
  RawListener Remote;
  TRelaySettings Settings;
  std::unique_ptr<TRelay> Relay;
  int Local = -1, Server = -1;
};

using S = std::vector<TSessionState>;
using T = std::vector<std::string>;

TEST_F(SessionState, AnOrderlySessionGoesThroughEachStateOnceWithItsBytesCountedBothWays) {
  Start();
  AcceptRemote();
  const std::string up = Pattern(300000, 3), down = Pattern(200000, 4);
  ASSERT_EQ(::send(Local, up.data(), up.size(), 0), static_cast<ssize_t>(up.size()));
  ::shutdown(Local, SHUT_WR);
  std::string atServer;
  ASSERT_TRUE(PumpUntil([&] { return ReadSome(Server, atServer) == 0; }));
  EXPECT_EQ(atServer.size(), up.size());
  EXPECT_EQ(Checksum(atServer), Checksum(up));
  EXPECT_EQ(Sink.Last.State, ssLocalEnded) << "the remote side still sends";

  ASSERT_EQ(::send(Server, down.data(), down.size(), 0), static_cast<ssize_t>(down.size()));
  ::close(Server);
  Server = -1;
  std::string atLocal;
  ASSERT_TRUE(PumpUntil([&] { return ReadSome(Local, atLocal) == 0; }));
  EXPECT_EQ(atLocal.size(), down.size());
  EXPECT_EQ(Checksum(atLocal), Checksum(down));
  ::close(Local);
  Local = -1;
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));

  EXPECT_EQ(Sink.States, (S{ssResolving, ssConnecting, ssRelaying, ssLocalEnded, ssClosed}));
  EXPECT_EQ(Sink.Last.BytesFromLocal, up.size());
  EXPECT_EQ(Sink.Last.BytesFromRemote, down.size());
  EXPECT_EQ(Sink.FromLocal, up);
  EXPECT_EQ(Sink.FromRemote, down);
  EXPECT_NE(Sink.Last.ConnectedUs, 0);
  EXPECT_GE(Sink.Last.EndUs, Sink.Last.ConnectedUs);
  EXPECT_EQ(Sink.Titles.front(), "Connection Opened");
  EXPECT_EQ(Sink.Titles.back(), "Connection Closed");
  EXPECT_EQ(std::count(Sink.Titles.begin(), Sink.Titles.end(), "End of Stream from Local"), 1);
  EXPECT_EQ(std::count(Sink.Titles.begin(), Sink.Titles.end(), "End of Stream from Remote"), 1);
}

TEST_F(SessionState, AConnectionThatFailsEndsFailedWithItsReasonAndTheLocalClientIsRefused) {
  Settings.RemotePort = std::to_string(UnusedPort());
  Start();
  std::string got;
  int end = -1;
  ASSERT_TRUE(PumpUntil([&] { return (end = ReadSome(Local, got)) >= 0; }));
  EXPECT_EQ(end, ECONNRESET) << "a refusal, not an empty answer";
  EXPECT_TRUE(got.empty());
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(Sink.States, (S{ssResolving, ssConnecting, ssFailed}));
  EXPECT_FALSE(Sink.Last.Reason.empty());
  EXPECT_EQ(Sink.Last.ConnectedUs, 0);
  EXPECT_EQ(Sink.Titles, (T{"Error: Connection failed", "Connection Closed"}));
}

TEST_F(SessionState, AResetFromTheRemoteSideEndsTheSessionResetAfterWhatCameBeforeIt) {
  Start();
  AcceptRemote();
  const std::string down = Pattern(50000, 5);
  ASSERT_EQ(::send(Server, down.data(), down.size(), 0), static_cast<ssize_t>(down.size()));
  std::string atLocal;
  ASSERT_TRUE(PumpUntil([&] { return ReadSome(Local, atLocal) >= 0 || atLocal.size() == down.size(); }));
  RawReset(Server);
  Server = -1;
  int end = -1;
  ASSERT_TRUE(PumpUntil([&] { return (end = ReadSome(Local, atLocal)) >= 0; }));
  EXPECT_EQ(end, ECONNRESET);
  EXPECT_EQ(Checksum(atLocal), Checksum(down));
  ::close(Local);
  Local = -1;
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(Sink.States, (S{ssResolving, ssConnecting, ssRelaying, ssReset}));
  EXPECT_EQ(Sink.Last.RemoteEnd, seReset);
  EXPECT_EQ(Sink.Last.LocalEnd, seOpen);
  EXPECT_EQ(std::count(Sink.Titles.begin(), Sink.Titles.end(), "Reset from Remote"), 1);
}

// The remote side ends first; the local client goes on sending after it, then ends too.
TEST_F(SessionState, AnEndFromTheRemoteSideFirstLeavesTheOtherDirectionRelayingUntilItEndsToo) {
  Start();
  AcceptRemote();
  ::shutdown(Server, SHUT_WR);
  std::string atLocal;
  ASSERT_TRUE(PumpUntil([&] { return ReadSome(Local, atLocal) == 0; }));
  EXPECT_TRUE(atLocal.empty());
  EXPECT_EQ(Sink.Last.State, ssRemoteEnded);
  const std::string up = Pattern(400000, 6);
  ASSERT_EQ(::send(Local, up.data(), up.size(), 0), static_cast<ssize_t>(up.size()));
  ::close(Local);
  Local = -1;
  std::string atServer;
  ASSERT_TRUE(PumpUntil([&] { return ReadSome(Server, atServer) == 0; }));
  EXPECT_EQ(atServer.size(), up.size());
  EXPECT_EQ(Checksum(atServer), Checksum(up));
  ::close(Server);
  Server = -1;
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_EQ(Relay->DrainingCount(), 0);
  EXPECT_EQ(Sink.States, (S{ssResolving, ssConnecting, ssRelaying, ssRemoteEnded, ssClosed}));
  EXPECT_EQ(Sink.Last.BytesFromLocal, up.size());
  EXPECT_EQ(Sink.Last.BytesFromRemote, 0u);
  EXPECT_EQ(Sink.Last.LocalEnd, seFinished);
  EXPECT_EQ(Sink.Last.RemoteEnd, seFinished);
}

TEST_F(SessionState, CancelEndsAnOpenSessionAtOnceAndNothingIsPassedOnAfterIt) {
  Start();
  AcceptRemote();
  Relay->Cancel();
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  EXPECT_FALSE(Relay->Listening());
  std::string atServer, atLocal;
  EXPECT_TRUE(PumpUntil([&] { return ReadSome(Server, atServer) >= 0; }));
  EXPECT_TRUE(PumpUntil([&] { return ReadSome(Local, atLocal) >= 0; }));
  EXPECT_TRUE(atServer.empty());
  EXPECT_TRUE(atLocal.empty());
  // The sockets' closes after a cut are no ends or resets of either side.
  EXPECT_EQ(Sink.States, (S{ssResolving, ssConnecting, ssRelaying}));
  EXPECT_EQ(Sink.Last.LocalEnd, seOpen);
  EXPECT_EQ(Sink.Last.RemoteEnd, seOpen);
  EXPECT_NE(Sink.Last.EndUs, 0);
  EXPECT_EQ(Sink.Titles, (T{"Connection Opened", "Connection Closed"}));
}

// Both sockets of a session have linger off, so that a cut ends each with an end of stream after
// what it holds, never a reset.
TEST_F(SessionState, BothSocketsHaveLingerOffAndACutEndsEachWithAnEndOfStream) {
  Start();
  AcceptRemote();
  auto* client = dynamic_cast<TClient*>(Relay->WSocketServer()->Client(0));
  ASSERT_NE(client, nullptr);
  for (TWSocket* each : {static_cast<TWSocket*>(client), client->Remote}) {
    ASSERT_NE(each, nullptr);
    linger lg{1, 1};
    socklen_t len = sizeof lg;
    ASSERT_EQ(::getsockopt(static_cast<int>(each->SocketHandle()), SOL_SOCKET, SO_LINGER, &lg, &len), 0);
    EXPECT_EQ(lg.l_onoff, 0) << each->Name();
  }
  Relay->Cancel();
  ASSERT_TRUE(PumpUntil([&] { return Ended(); }));
  std::string atServer, atLocal;
  int localEnd = -1, serverEnd = -1;
  EXPECT_TRUE(PumpUntil([&] { return (localEnd = ReadSome(Local, atLocal)) >= 0; }));
  EXPECT_TRUE(PumpUntil([&] { return (serverEnd = ReadSome(Server, atServer)) >= 0; }));
  EXPECT_EQ(localEnd, 0) << "an end of stream, not a reset";
  EXPECT_EQ(serverEnd, 0) << "an end of stream, not a reset";
}

}  // namespace
