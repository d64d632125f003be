// Relay sessions end to end through the real main window: a local client, the relay and a real
// remote server on loopback. Every byte must pass unchanged both ways, also when a side closes.
#include "RelayPeers.h"

using namespace apptest;

namespace {

class Relay : public TRelayWindowFixture {};

TEST_F(Relay, EchoIsByteExactForSizesFromOneByteUpward) {
  Remote.Echo = true;
  for (std::size_t size : {std::size_t{1}, std::size_t{1460}, std::size_t{100000}, std::size_t{4} << 20}) {
    SCOPED_TRACE(size);
    TPeer& local = NewLocal();
    local.ToSend = Pattern(size, static_cast<std::uint32_t>(size));
    ASSERT_TRUE(Run([&] { return local.Received.size() >= size; }));
    EXPECT_EQ(local.Received.size(), size);
    EXPECT_EQ(Checksum(local.Received), Checksum(local.ToSend));
  }
}

// A sender faster than the log must not put megabytes into one entry: a read takes at most 128 KiB
// outside line mode.
TEST_F(Relay, AFastSenderIsLoggedInEntriesOfAtMost128KiB) {
  Remote.Echo = true;
  TPeer& local = NewLocal();
  ASSERT_TRUE(Run([] { return Count("Connection Opened") == 1; }));
  local.ToSend = Pattern(2 << 20, 11);
  local.Service();  // most of it waits in the relay's socket before the loop runs
  ASSERT_TRUE(Run([&] { return local.Received.size() >= local.ToSend.size(); }));
  EXPECT_EQ(Checksum(local.Received), Checksum(local.ToSend));
  std::size_t largest = 0, chunks = 0;
  for (const TEntry& e : Entries())
    if (e.Title == "From Local" || e.Title == "From Remote") {
      largest = std::max(largest, e.BodyLength);
      ++chunks;
    }
  EXPECT_LE(largest, std::size_t{128 << 10});
  EXPECT_GE(chunks, 2u * ((2u << 20) / (128u << 10)));
}

TEST_F(Relay, DataSentBeforeTheRemoteConnectsIsForwardedInOnePieceAfterConnectionOpened) {
  Main->RemoteAddr->setText("localhost");  // resolved off the loop, so the data arrives first
  Remote.Echo = true;
  TPeer& local = NewLocal();
  local.ToSend = "early bytes";
  local.Service();
  ASSERT_TRUE(Run([&] { return local.Received == "early bytes"; }));
  std::vector<std::string> t = Titles();
  ASSERT_GE(t.size(), 2u);
  EXPECT_EQ(t[0], "Connection Opened");
  EXPECT_EQ(t[1], "From Local");
}

// The remote side sends a large response and closes at once while the local client reads
// slowly: the client's chain still holds most of it when the remote's close is seen.
TEST_F(Relay, RemoteThatClosesAfterALargeResponseStillDeliversEveryByteThenTheEnd) {
  std::string response = Pattern(8 << 20, 5);
  Remote.OnAccept = [&](TPeer& p) {
    p.ToSend = response;
    p.CloseWhenSent = true;
  };
  TPeer& local = NewLocal();
  local.SlowReader(16 << 10);
  ASSERT_TRUE(Run([&] { return local.Eof; }, 120000));
  EXPECT_FALSE(local.Reset);
  EXPECT_EQ(local.Received.size(), response.size());
  EXPECT_EQ(Checksum(local.Received), Checksum(response));
}

// The local client sends and closes while the remote server reads slowly: the bytes queued on
// Remote must all arrive, followed by an orderly end of stream.
TEST_F(Relay, LocalThatSendsAndClosesReachesTheRemoteWholeThenAnOrderlyEnd) {
  Remote.OnAccept = [](TPeer& p) { p.SlowReader(16 << 10); };
  TPeer& local = NewLocal();
  local.ToSend = Pattern(8 << 20, 6);
  local.CloseWhenSent = true;
  ASSERT_TRUE(Run([&] { return !Remote.Peers.empty() && Remote.Peers[0]->Eof; }, 120000));
  TPeer& remote = *Remote.Peers[0];
  EXPECT_FALSE(remote.Reset) << "the end must be a FIN, not a reset";
  EXPECT_EQ(remote.Received.size(), local.ToSend.size());
  EXPECT_EQ(Checksum(remote.Received), Checksum(local.ToSend));
  remote.Close();
  ASSERT_TRUE(Run([&] { return Main->DrainingCount() == 0 && WSocketServer->ClientCount() == 0; }));
  EXPECT_EQ(Count("Connection Closed"), 1);
}

// The local client sends and ends its stream while Remote is still connecting (the remote server's
// accept queue is full, so its SYN waits for a retry): once it connects, the held data is
// delivered, then the end of the stream, and the session lasts until the remote side ends too.
// The end is logged after the data that came before it, which is logged when it leaves.
TEST_F(Relay, HeldDataAndTheEndOfALocalThatFinishedBeforeTheRemoteConnectedAreDelivered) {
  RawListener slow(0);
  int filler = RawConnect(slow.Port);  // fills the accept queue
  ASSERT_GE(filler, 0);
  Main->ListenBtn->click();  // Cancel, to take the new remote port
  Main->RemotePort->setText(QString::number(slow.Port));
  Port = StartListening();

  TPeer& local = NewLocal();
  std::string held = Pattern(300000, 8);
  local.ToSend = held;
  local.CloseWhenSent = true;
  ASSERT_TRUE(Run([&] {
    const std::vector<TSessionInfo> sessions = Log->Record().Sessions();
    return sessions.size() == 1 && sessions[0].LocalEnd == seFinished;
  }));
  EXPECT_EQ(Count("Connection Opened"), 0) << "the remote must not have connected yet";
  EXPECT_EQ(Titles(), std::vector<std::string>{}) << "the end waits for the data before it";
  EXPECT_EQ(WSocketServer->ClientCount(), 1) << "the session waits for the remote side";

  // Free the queue; the remote's retried SYN then completes.
  int first = ::accept(slow.Fd, nullptr, nullptr);
  ::close(first);
  ::close(filler);
  std::unique_ptr<TPeer> remote;
  ASSERT_TRUE(Run([&] {
    if (!remote) {
      int c = ::accept4(slow.Fd, nullptr, nullptr, SOCK_NONBLOCK);
      if (c >= 0) remote = std::make_unique<TPeer>(c);
    }
    if (remote) remote->Service();
    return remote && remote->Eof;
  }, 30000));
  EXPECT_FALSE(remote->Reset);
  EXPECT_EQ(remote->Received.size(), held.size());
  EXPECT_EQ(Checksum(remote->Received), Checksum(held));
  remote->Close();
  ASSERT_TRUE(Run([&] { return WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; }));
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Connection Opened", "From Local", "End of Stream from Local",
                                                "End of Stream from Remote", "Connection Closed"}));
}

// A session that cannot reach the remote side says why in the log and resets the local client, which
// sees a refusal rather than an empty answer.
TEST_F(Relay, RefusedRemoteIsLoggedWithItsReasonAndResetsTheLocalClient) {
  Main->ListenBtn->click();
  Main->RemotePort->setText(QString::number(UnusedPort()));
  Port = StartListening();
  TPeer& local = NewLocal();
  local.ToSend = "never forwarded";
  ASSERT_TRUE(Run([&] { return local.Eof && WSocketServer->ClientCount() == 0; }));
  EXPECT_TRUE(local.Reset);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Error: Connection failed", "Connection Closed"}));
  EXPECT_EQ(BodyOf(0), "Connection refused");
}

TEST_F(Relay, UnresolvableRemoteNameIsLoggedWithItsReasonAndResetsTheLocalClient) {
  Main->ListenBtn->click();
  Main->RemoteAddr->setText("nonexistent.invalid");
  Port = StartListening();
  TPeer& local = NewLocal();
  local.ToSend = "never forwarded";
  ASSERT_TRUE(Run([&] { return local.Eof && WSocketServer->ClientCount() == 0; }));
  EXPECT_TRUE(local.Reset);
  EXPECT_EQ(Titles(), (std::vector<std::string>{"Error: Lookup failed", "Connection Closed"}));
  EXPECT_EQ(BodyOf(0), "Host not found");
}

TEST_F(Relay, ColoursFollowTheClientCountAndTheTwelfthIsBlackAgain) {
  Remote.Echo = true;
  for (int i = 0; i < 12; ++i) {
    NewLocal();
    ASSERT_TRUE(Run([&] { return WSocketServer->ClientCount() == i + 1; }));
  }
  ASSERT_TRUE(Run([] { return Count("Connection Opened") == 12; }));
  std::vector<TColor> colours;
  for (int i = 0; i < WSocketServer->ClientCount(); ++i)
    colours.push_back(static_cast<TClient*>(WSocketServer->Client(i))->LogColor);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(colours[static_cast<std::size_t>(i)], ConnectionColors[i]) << i;
  EXPECT_EQ(colours[11], clBlack);
  for (auto& e : Entries()) EXPECT_NE(std::find(colours.begin(), colours.end(), e.Color), colours.end());

  // Clients one and two stay, the rest leave, then the first leaves: a newcomer makes two again.
  for (std::size_t i = 2; i < Locals.size(); ++i) Locals[i]->Close();
  ASSERT_TRUE(Run([] { return WSocketServer->ClientCount() == 2; }));
  Locals[0]->Close();
  ASSERT_TRUE(Run([] { return WSocketServer->ClientCount() == 1; }));
  NewLocal();
  ASSERT_TRUE(Run([] { return WSocketServer->ClientCount() == 2; }));
  EXPECT_EQ(static_cast<TClient*>(WSocketServer->Client(1))->LogColor, ConnectionColors[1]) << "maroon, by count";
}

TEST_F(Relay, LineModeLogsOneLinePerEntryAndCanBeSwitchedWhileSessionsRun) {
  Remote.Echo = true;
  Log->LineMode1Click(Log);
  ASSERT_TRUE(Log->LineMode1->isChecked());
  TPeer& local = NewLocal();
  ASSERT_TRUE(Run([] { return Count("Connection Opened") == 1; }));
  local.ToSend = "one\r\ntwo\r\n";
  ASSERT_TRUE(Run([&] { return local.Received == "one\r\ntwo\r\n"; }));
  EXPECT_EQ(Count("From Local"), 2) << "a line an entry";
  EXPECT_EQ(Count("From Remote"), 2);
  auto* client = static_cast<TClient*>(WSocketServer->Client(0));
  EXPECT_TRUE(client->LineMode());
  EXPECT_TRUE(client->Remote->LineMode());

  Log->LineMode1Click(Log);  // off again, with the session open
  EXPECT_FALSE(client->LineMode());
  EXPECT_FALSE(client->Remote->LineMode());
  local.ToSend += "par";
  ASSERT_TRUE(Run([&] { return local.Received == "one\r\ntwo\r\npar"; })) << "no line end needed now";
}

TEST_F(Relay, QuittingWithSessionsOpenWritesNoConnectionClosed) {
  Remote.Echo = true;
  NewLocal();
  NewLocal();
  ASSERT_TRUE(Run([] { return Count("Connection Opened") == 2; }));
  platform::SetApplicationTerminated(true);
  delete Main;
  platform::SetApplicationTerminated(false);
  EXPECT_EQ(Count("Connection Closed"), 0);
  EXPECT_EQ(winsock::WinsockUsers, 0);
  Main = new TMain;  // for the fixture's tear-down
}

TEST_F(Relay, HundredConcurrentSessionsRelayBothWaysByteExact) {
  std::mt19937 rng(42);
  const int kSessions = 100;
  std::vector<std::string> down(kSessions);  // what each remote peer sends back
  int accepted = 0;
  Remote.OnAccept = [&](TPeer& p) { p.ToSend = down[static_cast<std::size_t>(accepted++)]; };
  std::vector<std::string> up(kSessions);
  for (int i = 0; i < kSessions; ++i) {
    // Up to a MiB each way: every chunk is also laid out in the log view, which bounds the pace.
    up[static_cast<std::size_t>(i)] = Pattern(std::uniform_int_distribution<std::size_t>(1, 1 << 20)(rng), rng());
    down[static_cast<std::size_t>(i)] = Pattern(std::uniform_int_distribution<std::size_t>(1, 1 << 20)(rng), rng());
  }
  for (int i = 0; i < kSessions; ++i) {
    TPeer& l = NewLocal();
    l.ToSend = up[static_cast<std::size_t>(i)];
    l.ReadChunk = std::uniform_int_distribution<std::size_t>(1000, 200000)(rng);
    // Connect one after another, so that remote peer i answers local client i.
    ASSERT_TRUE(Run([&] { return accepted == i + 1; }));
  }
  ASSERT_TRUE(Run([&] {
    for (int i = 0; i < kSessions; ++i)
      if (Locals[static_cast<std::size_t>(i)]->Received.size() < down[static_cast<std::size_t>(i)].size() ||
          Remote.Peers[static_cast<std::size_t>(i)]->Received.size() < up[static_cast<std::size_t>(i)].size())
        return false;
    return true;
  }, 300000));
  for (int i = 0; i < kSessions; ++i) {
    auto k = static_cast<std::size_t>(i);
    EXPECT_EQ(Checksum(Locals[k]->Received), Checksum(down[k])) << i;
    EXPECT_EQ(Checksum(Remote.Peers[k]->Received), Checksum(up[k])) << i;
  }
}

// A remote address that Listen cannot tell is this machine (here: the port changed once listening)
// brings the relay's own connection back to it. That one session is cut with an entry on each
// side of the loop, instead of a new session for every connection coming back.
TEST_F(Relay, AConnectionThatComesBackToTheRelayIsCutAtOnceWithAnEntry) {
  Main->RemotePort->setText(QString::number(Port));
  TPeer& local = NewLocal();
  local.ToSend = "GET / HTTP/1.0\r\n\r\n";
  ASSERT_TRUE(Run([&] { return local.Eof && WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; }))
      << "clients " << WSocketServer->ClientCount();
  EXPECT_EQ(Count("Error: Relay into itself"), 2);
  EXPECT_EQ(Count("Connection Closed"), 2) << "the client's session and the one that came back, no more";
  EXPECT_TRUE(local.Received.empty());
}

// In line mode each line is an entry of its own, but the lines of one read leave together: a
// request of several lines does not go out line by line.
TEST_F(Relay, LineModeLogsEachLineButSendsTheLinesOfOneReadTogether) {
  Remote.Echo = true;
  Log->LineMode1Click(Log->LineMode1);
  TPeer& local = NewLocal();
  ASSERT_TRUE(Run([] { return Count("Connection Opened") == 1; }));
  std::vector<std::int32_t> sends;
  static_cast<TClient*>(WSocketServer->Client(0))->Remote->OnSendData = [&](TComponent*, std::int32_t n) {
    sends.push_back(n);
  };
  local.ToSend = "*3\r\n$3\r\nSET\r\n$1\r\nk\r\n";
  ASSERT_TRUE(Run([&] { return local.Received == local.ToSend; }));
  EXPECT_EQ(Count("From Local"), 5);
  EXPECT_EQ(sends, std::vector<std::int32_t>{static_cast<std::int32_t>(local.ToSend.size())});
}

}  // namespace

// A reader that stops reading holds its sender back, as it would without the relay: the relay
// stops reading the sender once the reader's side has a MiB queued, instead of taking in all the
// sender has. Once the reader reads again every byte arrives, in order, and the end behind them.
// Both directions, and the slow side is the one whose queue is watched.
TEST_F(Relay, ASlowReaderHoldsItsSenderBackAndThenGetsEveryByte) {
  constexpr std::size_t kSize = std::size_t{48} << 20;  // far more than the kernels' buffers hold
  constexpr std::int64_t kBound = (std::int64_t{1} << 20) + (std::int64_t{128} << 10);
  for (const bool slowClient : {true, false}) {
    SCOPED_TRACE(slowClient ? "the local client reads slowly" : "the remote server reads slowly");
    const std::string data = Pattern(kSize, slowClient ? 71 : 72);
    TPeer* server = nullptr;
    Remote.OnAccept = [&](TPeer& p) {
      server = &p;
      p.ReadChunk = slowClient ? p.ReadChunk : 0;
      if (slowClient) {
        p.ToSend = data;
        p.ShutdownWhenSent = true;
      }
    };
    TPeer& local = NewLocal();
    local.ReadChunk = slowClient ? 0 : local.ReadChunk;
    if (!slowClient) {
      local.ToSend = data;
      local.ShutdownWhenSent = true;
    }
    ASSERT_TRUE(Run([&] { return server != nullptr && WSocketServer->ClientCount() == 1; }));
    auto* client = static_cast<TClient*>(WSocketServer->Client(0));
    TWSocket* reader = slowClient ? static_cast<TWSocket*>(client) : client->Remote;
    TWSocket* sender = slowClient ? client->Remote : static_cast<TWSocket*>(client);
    TPeer& slow = slowClient ? local : *server;
    TPeer& fast = slowClient ? *server : local;
    ASSERT_TRUE(Run([&] { return sender->ReceivingPaused() || reader->BufferedSendBytes() > kBound; }));
    ASSERT_LE(reader->BufferedSendBytes(), kBound) << "sent " << fast.Sent;
    // Held back for as long as nobody reads: the queue stays within its bound.
    for (int round = 0; round < 50; ++round) {
      Service();
      platform::WaitAndDispatch(1);
      ASSERT_LE(reader->BufferedSendBytes(), kBound);
    }
    EXPECT_LT(fast.Sent, kSize) << "the sender was never held back";
    slow.ReadChunk = 1 << 20;
    ASSERT_TRUE(Run([&] { return slow.Eof; }, 120000));
    EXPECT_FALSE(slow.Reset);
    EXPECT_EQ(slow.Received.size(), kSize);
    EXPECT_EQ(Checksum(slow.Received), Checksum(data));
    local.Close();
    server->Close();
    ASSERT_TRUE(Run([&] { return WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 0; }));
    Locals.clear();
    Remote.Peers.clear();
  }
}
