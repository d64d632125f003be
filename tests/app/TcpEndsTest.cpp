// How relay sessions end, as TCP ends a connection, end to end on loopback with real peers: ends
// of stream in either direction and both at once, resets from either side and from a kernel, a
// remote that cannot be reached, a burst of clients, a session that only one side keeps open.
// Every case runs through the windows and through the headless program: both drive the same
// engine, and each must keep every byte, every end and every entry.
#include <poll.h>

#include <chrono>
#include <optional>
#include <tuple>

#include "RelayDrivers.h"

using namespace apptest;
using Clock = std::chrono::steady_clock;

namespace {

bool IsData(const std::string& Title) { return Title == "From Local" || Title == "From Remote"; }

// The titles in order, each run of data entries of one direction as one title: how a chunk is
// split depends on timing, where it stands in the order does not.
std::vector<std::string> Collapsed(const std::vector<TDriverEntry>& Entries) {
  std::vector<std::string> out;
  for (const TDriverEntry& e : Entries)
    if (!(IsData(e.Title) && !out.empty() && out.back() == e.Title)) out.push_back(e.Title);
  return out;
}

int Count(const std::vector<TDriverEntry>& Entries, const std::string& Title) {
  int n = 0;
  for (const TDriverEntry& e : Entries) n += e.Title == Title;
  return n;
}

// The bytes that the entries of Title carry, all together.
std::size_t Bytes(const std::vector<TDriverEntry>& Entries, const std::string& Title) {
  std::size_t n = 0;
  for (const TDriverEntry& e : Entries)
    if (e.Title == Title) n += e.Length;
  return n;
}

// Entries that tell of a failure or a reset.
std::vector<std::string> Failures(const std::vector<TDriverEntry>& Entries) {
  std::vector<std::string> out;
  for (const TDriverEntry& e : Entries)
    if (e.Title.rfind("Error", 0) == 0 || e.Title.rfind("Reset", 0) == 0) out.push_back(e.Title);
  return out;
}

// Everything one peer got, against what the other sent: length and checksum.
void ExpectExact(const TPeer& Receiver, const std::string& Sent, const char* Who) {
  EXPECT_EQ(Receiver.Received.size(), Sent.size()) << Who;
  EXPECT_EQ(Checksum(Receiver.Received), Checksum(Sent)) << Who;
}

class TcpEndsBase : public ::testing::Test {
public:
  void Begin(TRelayMode Mode) {
    FMode = Mode;
    Relay = MakeRelayDriver(Mode);
  }
  void TearDown() override {
    Also = nullptr;
    Locals.clear();
    Remote.Peers.clear();
    Relay.reset();
  }
  bool Windows() const { return FMode == TRelayMode::Windows; }

  std::uint16_t Start(const std::string& Addr = "127.0.0.1", std::string Port = std::string()) {
    if (Port.empty()) Port = std::to_string(Remote.Listener.Port);
    LocalPort = Relay->Start(Addr, Port);
    return LocalPort;
  }
  TPeer& NewLocal() {
    Locals.push_back(std::make_unique<TPeer>(RawConnect(LocalPort)));
    return *Locals.back();
  }
  void Service() {
    Remote.Service();
    for (auto& l : Locals) l->Service();
    if (Also) Also();
  }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 30000) {
    return RunUntil(Cond, [this] { Service(); }, TimeoutMs);
  }
  // Runs until every session has gone, then stops the relay: its entries.
  std::vector<TDriverEntry> Ended() {
    EXPECT_TRUE(Run([this] { return Relay->Idle(); }, 30000)) << "a session is left";
    return Relay->Finish();
  }

  std::unique_ptr<TRelayDriver> Relay;
  TRemoteServer Remote{1024};  // a burst of connections from the relay must not wait for SYN retries
  std::vector<std::unique_ptr<TPeer>> Locals;
  std::uint16_t LocalPort = 0;
  std::function<void()> Also;  // more to do in each service round

private:
  TRelayMode FMode = TRelayMode::Windows;
};

class TcpEnds : public TcpEndsBase, public ::testing::WithParamInterface<TRelayMode> {
protected:
  void SetUp() override { Begin(GetParam()); }
};

const auto kModes = ::testing::Values(TRelayMode::Windows, TRelayMode::Headless);

// ---- ends of stream ----

class AnswerAfterTheEnd : public TcpEndsBase, public ::testing::WithParamInterface<std::tuple<TRelayMode, int>> {
protected:
  void SetUp() override { Begin(std::get<0>(GetParam())); }
};

// A request ended by a half-close, as a client that sends everything and then only reads: the
// server sees the end of the request, takes its time, and answers. The answer must come whole and
// end in order, however long the server thought. AtOnce says whether the client ends its request
// at once, or only once the request has reached the server (the relay is relaying by then).
void AnswerAfterTheEndOfTheRequest(TcpEndsBase& T, std::chrono::milliseconds Delay, bool AtOnce) {
  const std::string request = Pattern(3000, 1);
  const std::string answer = Pattern(1 << 20, 2);
  ASSERT_NE(T.Start(), 0);
  TPeer& local = T.NewLocal();
  local.ToSend = request;
  local.ShutdownWhenSent = AtOnce;
  std::optional<Clock::time_point> answerAt;
  T.Also = [&] {
    if (T.Remote.Peers.empty()) return;
    TPeer& server = *T.Remote.Peers[0];
    if (server.Received.size() == request.size()) local.ShutdownWhenSent = true;
    if (server.Eof && !answerAt) answerAt = Clock::now() + Delay;
    if (answerAt && Clock::now() >= *answerAt && server.ToSend.empty()) {
      server.ToSend = answer;
      server.CloseWhenSent = true;
    }
  };
  ASSERT_TRUE(T.Run([&] { return local.Eof; }));
  ASSERT_EQ(T.Remote.Peers.size(), 1u);
  const TPeer& server = *T.Remote.Peers[0];
  EXPECT_FALSE(server.Reset);
  ExpectExact(server, request, "server");
  EXPECT_FALSE(local.Reset) << "the end of the answer must be a FIN, not a reset";
  ExpectExact(local, answer, "client");

  const std::vector<TDriverEntry> entries = T.Ended();
  const std::vector<std::string> tail{"From Remote", "End of Stream from Remote", "Connection Closed"};
  std::vector<std::string> relayed{"Connection Opened", "From Local", "End of Stream from Local"};
  relayed.insert(relayed.end(), tail.begin(), tail.end());
  // A request ended at once may end before the remote connection is made: the request is logged
  // when it leaves, and its end after it, whenever each came.
  EXPECT_EQ(Collapsed(entries), relayed);
  EXPECT_EQ(Bytes(entries, "From Local"), request.size());
  EXPECT_EQ(Bytes(entries, "From Remote"), answer.size());
}

TEST_P(AnswerAfterTheEnd, ReachesTheClientWholeThenAnOrderlyEnd) {
  AnswerAfterTheEndOfTheRequest(*this, std::chrono::milliseconds(std::get<1>(GetParam())), false);
}

TEST_P(TcpEnds, ARequestEndedAtOnceIsAnsweredWholeThenAnOrderlyEnd) {
  AnswerAfterTheEndOfTheRequest(*this, std::chrono::milliseconds(200), true);
}

INSTANTIATE_TEST_SUITE_P(Delays, AnswerAfterTheEnd, ::testing::Combine(kModes, ::testing::Values(0, 200, 1000, 2000)),
                         [](const auto& Info) {
                           return std::string(ModeName(std::get<0>(Info.param))) + "_After" +
                                  std::to_string(std::get<1>(Info.param)) + "ms";
                         });

// Both sides send at once and each ends its stream when it has sent everything, while the other
// direction still runs: twenty sessions at the same time, each way 4 MiB.
TEST_P(TcpEnds, BothDirectionsAtOnceEachEndedWhenSentArriveWholeAndEndInOrder) {
  constexpr int kRuns = 20;
  constexpr std::size_t kSize = std::size_t{4} << 20;
  std::vector<std::string> up, down;
  for (int i = 0; i < kRuns; ++i) {
    up.push_back(Pattern(kSize, 100 + static_cast<std::uint32_t>(i)));
    down.push_back(Pattern(kSize, 200 + static_cast<std::uint32_t>(i)));
  }
  ASSERT_NE(Start(), 0);
  std::size_t accepted = 0;
  Remote.OnAccept = [&](TPeer& p) {
    p.ToSend = down[accepted++];
    p.ShutdownWhenSent = true;
  };
  for (std::size_t i = 0; i < kRuns; ++i) {
    TPeer& l = NewLocal();
    l.ToSend = up[i];
    l.ShutdownWhenSent = true;
    // One after another, so that the remote peer accepted i-th answers local client i.
    ASSERT_TRUE(Run([&] { return accepted == i + 1; }));
  }
  ASSERT_TRUE(Run([&] {
    for (std::size_t i = 0; i < kRuns; ++i)
      if (!Locals[i]->Eof || !Remote.Peers[i]->Eof) return false;
    return true;
  }, 120000));
  for (std::size_t i = 0; i < kRuns; ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(Locals[i]->Reset);
    EXPECT_FALSE(Remote.Peers[i]->Reset);
    ExpectExact(*Remote.Peers[i], up[i], "server");
    ExpectExact(*Locals[i], down[i], "client");
  }
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Failures(entries), std::vector<std::string>{});
  for (const char* title : {"Connection Opened", "End of Stream from Local", "End of Stream from Remote",
                            "Connection Closed"})
    EXPECT_EQ(Count(entries, title), kRuns) << title;
  EXPECT_EQ(Bytes(entries, "From Local"), kRuns * kSize);
  EXPECT_EQ(Bytes(entries, "From Remote"), kRuns * kSize);
}

// ---- resets ----

// The remote server resets once its last byte has been acknowledged: the client must get every
// byte, then the reset, not an orderly end that would pass a cut answer for a whole one. The
// receivers of these cases read slowly, so that the reset comes while most of the bytes before it
// still wait in the relay.
TEST_P(TcpEnds, ARemoteResetReachesTheClientAfterEveryByteBeforeIt) {
  const std::string data = Pattern(1 << 20, 3);
  ASSERT_NE(Start(), 0);
  Remote.OnAccept = [&](TPeer& p) {
    p.ToSend = data;
    p.ResetWhenAcknowledged = true;
  };
  TPeer& local = NewLocal();
  local.SlowReader(16 << 10);
  ASSERT_TRUE(Run([&] { return local.Eof; }));
  EXPECT_TRUE(local.Reset);
  ExpectExact(local, data, "client");
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Collapsed(entries),
            (std::vector<std::string>{"Connection Opened", "From Remote", "Reset from Remote", "Connection Closed"}));
  EXPECT_EQ(Bytes(entries, "From Remote"), data.size());
}

TEST_P(TcpEnds, ALocalResetReachesTheServerAfterEveryByteBeforeIt) {
  const std::string data = Pattern(1 << 20, 4);
  ASSERT_NE(Start(), 0);
  TPeer& local = NewLocal();
  // A first message through, so that the relay is relaying when the rest and the reset come.
  local.ToSend = "hello";
  ASSERT_TRUE(Run([&] { return !Remote.Peers.empty() && Remote.Peers[0]->Received == "hello"; }));
  Remote.Peers[0]->SlowReader(16 << 10);
  local.ToSend += data;
  local.ResetWhenAcknowledged = true;
  ASSERT_TRUE(Run([&] { return Remote.Peers[0]->Eof; }));
  EXPECT_TRUE(Remote.Peers[0]->Reset);
  ExpectExact(*Remote.Peers[0], local.ToSend, "server");
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Collapsed(entries),
            (std::vector<std::string>{"Connection Opened", "From Local", "Reset from Local", "Connection Closed"}));
  EXPECT_EQ(Bytes(entries, "From Local"), local.ToSend.size());
}

// A request ended by a half-close while the remote connection is still being made (the server's
// accept queue is full, so the relay's SYN waits for a retry), then answered once it has come: the
// log shows the request before its end, and the answer after both, as they went.
TEST_P(TcpEnds, ARequestEndedBeforeTheRemoteConnectsIsLoggedBeforeItsEnd) {
  RawListener slow(0);
  const int filler = RawConnect(slow.Port);  // takes the one place in the accept queue
  ASSERT_GE(filler, 0);
  ASSERT_NE(Start("127.0.0.1", std::to_string(slow.Port)), 0);
  const std::string request = Pattern(3000, 10);
  TPeer& local = NewLocal();
  local.ToSend = request;
  local.ShutdownWhenSent = true;
  // The request and its end have reached the relay, whose connection waits a second for its retry.
  ASSERT_TRUE(Run([&] { return local.TcpState() == TCP_FIN_WAIT2; }));
  ::close(::accept(slow.Fd, nullptr, nullptr));
  ::close(filler);
  std::unique_ptr<TPeer> server;
  Also = [&] {
    if (!server) {
      const int c = ::accept4(slow.Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) server = std::make_unique<TPeer>(c);
    }
    if (server) server->Service();
  };
  ASSERT_TRUE(Run([&] { return server && server->Eof; }));
  ExpectExact(*server, request, "server");
  server->ToSend = "the answer";
  server->CloseWhenSent = true;
  ASSERT_TRUE(Run([&] { return local.Eof; }));
  EXPECT_EQ(local.Received, "the answer");
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Collapsed(entries), (std::vector<std::string>{"Connection Opened", "From Local", "End of Stream from Local",
                                                          "From Remote", "End of Stream from Remote", "Connection Closed"}));
  EXPECT_EQ(Bytes(entries, "From Local"), request.size());
}

// The local client sends and resets while the remote connection is still being made (the
// server's accept queue is full, so the relay's SYN waits for a retry): once the connection is
// made, the held bytes go first, then the reset. The log says so in that order too: the reset and
// the close it caused come after the bytes sent before them, which are logged when they leave.
TEST_P(TcpEnds, ALocalResetBeforeTheRemoteConnectsFollowsTheHeldBytes) {
  RawListener slow(0);
  const int filler = RawConnect(slow.Port);  // takes the one place in the accept queue
  ASSERT_GE(filler, 0);
  ASSERT_NE(Start("127.0.0.1", std::to_string(slow.Port)), 0);
  const std::string held = Pattern(300000, 8);
  TPeer& local = NewLocal();
  local.ToSend = held;
  local.ResetWhenAcknowledged = true;
  // The local connection has gone from the relay; its outgoing one still waits.
  ASSERT_TRUE(Run([&] {
    return local.Closed && (Windows() ? WSocketServer->ClientCount() == 0 && Main->DrainingCount() == 1
                                      : SocketsOf(static_cast<THeadlessRelay&>(*Relay).Child().Pid()) == 2);
  }));
  ::close(::accept(slow.Fd, nullptr, nullptr));
  ::close(filler);
  std::unique_ptr<TPeer> server;
  ASSERT_TRUE(Run([&] {
    if (!server) {
      const int c = ::accept4(slow.Fd, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) server = std::make_unique<TPeer>(c);
    }
    if (server) server->Service();
    return server && server->Eof;
  }));
  EXPECT_TRUE(server->Reset);
  ExpectExact(*server, held, "server");
  server.reset();
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Collapsed(entries),
            (std::vector<std::string>{"Connection Opened", "From Local", "Reset from Local", "Connection Closed"}));
  EXPECT_EQ(Bytes(entries, "From Local"), held.size());
}

// A server that accepts, answers and resets at once, all before the relay has looked at its
// connection: the connection was made, so it is logged as one, and the client gets what the relay
// got before the reset, then the reset, as it would straight from the server. (The server's full
// accept queue holds the relay's connection back until the relay is stopped, so that the server
// has reset by the time the relay takes the connection.)
TEST_P(TcpEnds, AServerThatAnswersAndResetsAtOnceMadeAConnectionWhoseBytesReachTheClient) {
  RawListener slow(0);
  const int filler = RawConnect(slow.Port);  // takes the one place in the accept queue
  ASSERT_GE(filler, 0);
  ASSERT_NE(Start("127.0.0.1", std::to_string(slow.Port)), 0);
  TPeer& local = NewLocal();
  // The session is there and its connection waits for the queue.
  ASSERT_TRUE(Run([&] {
    return Windows() ? Main->Relay()->SessionCount() == 1
                     : SocketsOf(static_cast<THeadlessRelay&>(*Relay).Child().Pid()) == 3;
  }));
  Relay->Freeze();
  ::close(::accept(slow.Fd, nullptr, nullptr));
  ::close(filler);
  // Not a pump: the relay must not run until the server has reset. Its connection is retried by its
  // kernel meanwhile.
  int server = -1;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  while ((server = ::accept4(slow.Fd, nullptr, nullptr, SOCK_CLOEXEC)) < 0 && Clock::now() < deadline) {
    pollfd p{slow.Fd, POLLIN, 0};
    ::poll(&p, 1, 100);
  }
  ASSERT_GE(server, 0) << "the relay's connection never came";
  const std::string answer = Pattern(1 << 20, 9);
  ::fcntl(server, F_SETFL, ::fcntl(server, F_GETFL) | O_NONBLOCK);
  std::size_t sent = 0;
  for (ssize_t n; sent < answer.size() && (n = ::send(server, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL)) > 0;)
    sent += static_cast<std::size_t>(n);
  int unacknowledged = 0;
  ::ioctl(server, SIOCOUTQ, &unacknowledged);
  const std::size_t acknowledged = sent - static_cast<std::size_t>(unacknowledged);
  RawReset(server);
  ASSERT_GT(acknowledged, 0u);
  Relay->Thaw();

  ASSERT_TRUE(Run([&] { return local.Eof; }));
  EXPECT_TRUE(local.Reset) << "the reset is passed on";
  // What the relay's kernel acknowledged reached the relay; it all goes on to the client.
  EXPECT_GE(local.Received.size(), acknowledged);
  EXPECT_LE(local.Received.size(), sent);
  EXPECT_EQ(Checksum(local.Received), Checksum(answer.substr(0, local.Received.size())));
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Collapsed(entries),
            (std::vector<std::string>{"Connection Opened", "From Remote", "Reset from Remote", "Connection Closed"}));
  EXPECT_EQ(Bytes(entries, "From Remote"), local.Received.size());
}

// A server that closes while the client's request lies unread makes its kernel send a reset
// instead of an end of stream: the client must see that reset, after the whole answer.
TEST_P(TcpEnds, AServerClosingWithUnreadDataResetsTheClientAfterTheWholeAnswer) {
  const std::string answer = Pattern(1 << 20, 5);
  ASSERT_NE(Start(), 0);
  Remote.OnAccept = [&](TPeer& p) {
    p.ReadChunk = 0;  // reads nothing
    p.ToSend = answer;
  };
  Also = [&] {
    if (Remote.Peers.empty()) return;
    TPeer& server = *Remote.Peers[0];
    if (!server.Closed && server.Sent == answer.size() && server.Unacknowledged() == 0 && server.Unread() > 0)
      server.Close();
  };
  TPeer& local = NewLocal();
  local.SlowReader(16 << 10);
  local.ToSend = "a request the server never reads";
  ASSERT_TRUE(Run([&] { return local.Eof; }));
  EXPECT_TRUE(local.Reset);
  ExpectExact(local, answer, "client");
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Count(entries, "Reset from Remote"), 1);
  EXPECT_EQ(Collapsed(entries).back(), "Connection Closed");
  EXPECT_EQ(Bytes(entries, "From Remote"), answer.size());
}

// ---- a remote that cannot be reached ----

TEST_P(TcpEnds, ARefusedRemotePortIsLoggedWithItsReasonAndResetsTheClient) {
  ASSERT_NE(Start("127.0.0.1", std::to_string(UnusedPort())), 0);
  TPeer& local = NewLocal();
  local.ToSend = "never forwarded";
  ASSERT_TRUE(Run([&] { return local.Eof; }));
  EXPECT_TRUE(local.Reset) << "a refusal, not an empty answer";
  EXPECT_TRUE(local.Received.empty());
  const std::vector<TDriverEntry> entries = Ended();
  ASSERT_EQ(Collapsed(entries), (std::vector<std::string>{"Error: Connection failed", "Connection Closed"}));
  EXPECT_EQ(entries[0].Body, "Connection refused");
}

TEST_P(TcpEnds, AnUnresolvableNameIsLoggedWithItsReasonAndResetsTheClient) {
  ASSERT_NE(Start("nonexistent.invalid"), 0);
  TPeer& local = NewLocal();
  local.ToSend = "never forwarded";
  ASSERT_TRUE(Run([&] { return local.Eof; }));
  EXPECT_TRUE(local.Reset) << "a refusal, not an empty answer";
  const std::vector<TDriverEntry> entries = Ended();
  ASSERT_EQ(Collapsed(entries), (std::vector<std::string>{"Error: Lookup failed", "Connection Closed"}));
  EXPECT_EQ(entries[0].Body, "Host not found");
  Remote.Service();
  EXPECT_TRUE(Remote.Peers.empty());
}

// ---- many at once ----

// A non-blocking connect to 127.0.0.1:Port; the descriptor.
int StartConnect(std::uint16_t Port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(Port);
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  const int rc = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
  EXPECT_TRUE(rc == 0 || errno == EINPROGRESS) << std::strerror(errno);
  return fd;
}

// How many of the connects have been made: writable, with no error.
std::size_t Connected(const std::vector<int>& Fds) {
  std::vector<pollfd> p;
  for (int fd : Fds) p.push_back({fd, POLLOUT, 0});
  ::poll(p.data(), p.size(), 0);
  std::size_t n = 0;
  for (const pollfd& x : p) {
    int error = 0;
    socklen_t len = sizeof error;
    n += (x.revents & POLLOUT) != 0 && ::getsockopt(x.fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
  }
  return n;
}

std::size_t SystemAcceptQueueLimit() {
  std::ifstream in("/proc/sys/net/core/somaxconn");
  std::size_t n = 0;
  return in >> n ? n : 0;
}

// A burst of clients, every connect started before the relay serves any: the accept queue must
// take them all (a short backlog would leave most to SYN retries, seconds later), and each
// session must then relay its echo whole.
TEST_P(TcpEnds, TwoHundredClientsConnectingAtOnceAreAllServedByteExact) {
  constexpr std::size_t kClients = 200;
  constexpr std::size_t kSize = 64 << 10;
  Remote.Echo = true;
  ASSERT_NE(Start(), 0);
  std::vector<int> fds;
  Relay->Freeze();
  for (std::size_t i = 0; i < kClients; ++i) fds.push_back(StartConnect(LocalPort));
  // Not a pump: nothing of the relay runs while the kernel completes the connections.
  const std::size_t queued = std::min(kClients, SystemAcceptQueueLimit() + 1);
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  while (Connected(fds) < queued && Clock::now() < deadline) ::poll(nullptr, 0, 5);
  EXPECT_GE(Connected(fds), queued) << "the accept queue took only part of the burst";
  Relay->Thaw();

  for (std::size_t i = 0; i < kClients; ++i) {
    Locals.push_back(std::make_unique<TPeer>(fds[i]));
    Locals.back()->ToSend = Pattern(kSize, 300 + static_cast<std::uint32_t>(i));
    Locals.back()->ShutdownWhenSent = true;
  }
  ASSERT_TRUE(Run([&] {
    for (auto& l : Locals)
      if (!l->Eof) return false;
    return true;
  }, 120000));
  for (std::size_t i = 0; i < kClients; ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(Locals[i]->Reset);
    ExpectExact(*Locals[i], Locals[i]->ToSend, "client");
  }
  const std::vector<TDriverEntry> entries = Ended();
  EXPECT_EQ(Failures(entries), std::vector<std::string>{});
  EXPECT_EQ(Count(entries, "Connection Opened"), static_cast<int>(kClients));
  EXPECT_EQ(Count(entries, "Connection Closed"), static_cast<int>(kClients));
  EXPECT_EQ(Bytes(entries, "From Local"), kClients * kSize);
}

// ---- one side open ----

enum class TQuietSide { Local, Remote };

void PrintTo(TQuietSide Side, std::ostream* Out) { *Out << (Side == TQuietSide::Local ? "LocalEndsFirst" : "RemoteEndsFirst"); }

class OneSideOpen : public TcpEndsBase, public ::testing::WithParamInterface<std::tuple<TRelayMode, TQuietSide>> {
protected:
  void SetUp() override { Begin(std::get<0>(GetParam())); }
  // The session is there: counted in the status bar, or holding its two sockets in the program.
  void ExpectSessionOpen() {
    if (Windows()) {
      EXPECT_EQ(Main->Relay()->SessionCount(), 1);
      EXPECT_EQ(Main->StatusPanel(1)->text(), "1");
    } else {
      EXPECT_EQ(SocketsOf(static_cast<THeadlessRelay&>(*Relay).Child().Pid()), 3) << "the listener and the session's two";
    }
  }
};

// One side ends its stream and goes quiet; the other keeps the session for as long as it likes,
// sends after a while, and only its close ends the session.
TEST_P(OneSideOpen, StaysUntilTheOtherSideClosesAndRelaysMeanwhile) {
  const bool localQuiet = std::get<1>(GetParam()) == TQuietSide::Local;
  const std::string first = Pattern(5000, 6);
  const std::string later = Pattern(300000, 7);
  ASSERT_NE(Start(), 0);
  if (!localQuiet)
    Remote.OnAccept = [&](TPeer& p) {
      p.ToSend = first;
      p.ShutdownWhenSent = true;
    };
  TPeer& local = NewLocal();
  if (localQuiet) {
    local.ToSend = first;
    // The end follows once the bytes have arrived: the relay is relaying by then.
    Also = [&] {
      if (!Remote.Peers.empty() && Remote.Peers[0]->Received.size() == first.size()) local.ShutdownWhenSent = true;
    };
  }
  ASSERT_TRUE(Run([&] { return !Remote.Peers.empty() && (localQuiet ? Remote.Peers[0]->Eof : local.Eof); }));
  TPeer& server = *Remote.Peers[0];
  TPeer& quiet = localQuiet ? local : server;
  TPeer& open = localQuiet ? server : local;
  ExpectExact(open, first, "the open side");
  EXPECT_FALSE(open.Reset);

  // A while of nothing: the session must neither end nor time out.
  const auto until = Clock::now() + std::chrono::milliseconds(500);
  Run([&] { return Clock::now() >= until; });
  ExpectSessionOpen();

  open.ToSend = later;
  open.CloseWhenSent = true;
  ASSERT_TRUE(Run([&] { return quiet.Eof; }));
  EXPECT_FALSE(quiet.Reset);
  ExpectExact(quiet, later, "the quiet side");
  ASSERT_TRUE(Run([&] { return Relay->Idle(); }));
  if (Windows()) {
    EXPECT_EQ(Main->StatusPanel(1)->text(), "0");
  }

  const std::vector<TDriverEntry> entries = Ended();
  const std::vector<std::string> titles = Collapsed(entries);
  if (localQuiet) {
    EXPECT_EQ(titles, (std::vector<std::string>{"Connection Opened", "From Local", "End of Stream from Local",
                                                "From Remote", "End of Stream from Remote", "Connection Closed"}));
  } else {
    EXPECT_EQ(titles, (std::vector<std::string>{"Connection Opened", "From Remote", "End of Stream from Remote",
                                                "From Local", "End of Stream from Local", "Connection Closed"}));
  }
  EXPECT_EQ(Bytes(entries, localQuiet ? "From Local" : "From Remote"), first.size());
  EXPECT_EQ(Bytes(entries, localQuiet ? "From Remote" : "From Local"), later.size());
}

INSTANTIATE_TEST_SUITE_P(Sides, OneSideOpen,
                         ::testing::Combine(kModes, ::testing::Values(TQuietSide::Local, TQuietSide::Remote)),
                         [](const auto& Info) {
                           return std::string(ModeName(std::get<0>(Info.param))) +
                                  (std::get<1>(Info.param) == TQuietSide::Local ? "_LocalEndsFirst" : "_RemoteEndsFirst");
                         });

INSTANTIATE_TEST_SUITE_P(Modes, TcpEnds, kModes, [](const auto& Info) { return std::string(ModeName(Info.param)); });

}  // namespace
