// Faults on demand, end to end: the relay engine between a real local client and a real remote
// server on loopback, each fault kind in each direction. What is checked: the bytes that arrive
// (exact where the fault keeps them, exactly N where it cuts), how the stream ends (an end of
// stream, a reset, or nothing), the fault's entry in the log and in a capture, the sessions' facts,
// a change made while a session runs, and the relay's memory under a bandwidth limit.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "RelayPeers.h"
#include "record/CaptureCheck.h"
#include "record/TrafficWriter.h"
#include "relay/Relay.h"
#include "stream/FaultStage.h"

namespace apptest {
namespace {

using capturetest::HaveTshark;
using capturetest::Tshark;

// Keeps every entry with the steady clock's time it came at, and the latest facts of each session.
class TFaultSink : public TEntrySink {
public:
  struct TKept {
    std::string Title;
    std::string Body;
    TEntrySource Source;
    std::int64_t AtUs = 0;
  };
  void SetEntryColor(TColor) override {}
  void SetEntryTitle(const std::string& Value) override { FTitle = Value; }
  void AddEntry(const std::string& Body) override { AddEntry(Body, TEntrySource{}); }
  void AddEntry(const std::string& Body, const TEntrySource& Source) override {
    Entries.push_back({FTitle, Body, Source, TStageTimer::NowUs()});
    if (Next != nullptr) {
      Next->SetEntryTitle(FTitle);
      Next->AddEntry(Body, Source);
    }
  }
  void SessionChanged(const TSessionInfo& Info) override {
    Last = Info;
    if (Next != nullptr) Next->SessionChanged(Info);
  }
  int Count(const std::string& Title) const {
    int n = 0;
    for (const TKept& e : Entries) n += e.Title == Title;
    return n;
  }
  const TKept* Find(const std::string& Title) const {
    for (const TKept& e : Entries)
      if (e.Title == Title) return &e;
    return nullptr;
  }
  std::vector<std::string> Titles() const {
    std::vector<std::string> t;
    for (const TKept& e : Entries) t.push_back(e.Title);
    return t;
  }

  std::vector<TKept> Entries;
  TSessionInfo Last;
  TEntrySink* Next = nullptr;

private:
  std::string FTitle;
};

std::string Joined(const std::vector<std::string>& Lines) {
  std::string s;
  for (const std::string& l : Lines) s += l + "\n";
  return s;
}

// Which way a case's data goes: toward Remote (the local client sends, the server receives) or
// toward Local (the server sends, the local client receives).
struct TWay {
  TFaultDirection Direction;
  const char* Name;
};
void PrintTo(const TWay& W, std::ostream* Out) { *Out << W.Name; }

class FaultRelay : public ::testing::TestWithParam<TWay> {
protected:
  void SetUp() override {
    Relay = std::make_unique<TRelay>(nullptr, &Sink);
    TRelaySettings settings;
    settings.LocalPort = std::to_string(UnusedPort());
    settings.RemoteAddr = "127.0.0.1";
    settings.RemotePort = std::to_string(Server.Listener.Port);
    Relay->Listen(settings);
    Port = static_cast<std::uint16_t>(std::stoi(settings.LocalPort));
  }
  void TearDown() override {
    Local.reset();
    Server.Peers.clear();
    Relay->Cancel();
    EXPECT_TRUE(RunUntil([&] { return Relay->SessionCount() == 0; }, [] {}, 10000));
    Relay.reset();
    EXPECT_EQ(winsock::WinsockUsers, 0) << "a socket component outlived the relay";
  }

  void SetFaults(const std::vector<std::string>& Rules) {
    TFaultSet set;
    std::string error;
    ASSERT_TRUE(set.Parse(Rules, error)) << error;
    Relay->SetFaults(set);
  }
  // A local client, connected through the relay to a server peer of its own.
  void Connect() {
    Local = std::make_unique<TPeer>(RawConnect(Port));
    ASSERT_TRUE(RunUntil([&] { return !Server.Peers.empty() && Relay->SessionCount() == 1; }, Service(), 10000));
  }
  std::function<void()> Service() {
    return [this] {
      Server.Service();
      if (Local) Local->Service();
    };
  }
  TPeer& Remote() { return *Server.Peers.front(); }
  // The sender and the receiver of the direction under test.
  TPeer& Sender() { return GetParam().Direction == fdRemote ? *Local : Remote(); }
  TPeer& Receiver() { return GetParam().Direction == fdRemote ? Remote() : *Local; }
  std::string Dir() const { return GetParam().Direction == fdRemote ? "remote:" : "local:"; }
  std::string Toward() const { return GetParam().Direction == fdRemote ? "toward Remote" : "toward Local"; }
  const char* DataTitle() const { return GetParam().Direction == fdRemote ? "From Local" : "From Remote"; }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 20000) { return RunUntil(Cond, Service(), TimeoutMs); }

  TFaultSink Sink;
  TRemoteServer Server;
  std::unique_ptr<TRelay> Relay;
  std::unique_ptr<TPeer> Local;
  std::uint16_t Port = 0;
};

TEST_P(FaultRelay, LatencyDelaysEveryChunkAndKeepsTheBytesAndTheirEnd) {
  SetFaults({Dir() + "latency=60ms,jitter=10ms"});
  Connect();
  const std::string data = Pattern(200000, 7);
  const std::int64_t sentAt = TStageTimer::NowUs();
  Sender().ToSend = data;
  Sender().ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Receiver().Eof; })) << Joined(Sink.Titles());
  EXPECT_EQ(Receiver().Received.size(), data.size());
  EXPECT_EQ(Checksum(Receiver().Received), Checksum(data));
  EXPECT_FALSE(Receiver().Reset);
  // The entries are written as the bytes leave: the first one at least the least delay after the send.
  const TFaultSink::TKept* first = Sink.Find(DataTitle());
  ASSERT_NE(first, nullptr);
  EXPECT_GE(first->AtUs - sentAt, 50000);
  EXPECT_EQ(Sink.Count("Fault: latency 60 ms ± 10 ms " + Toward()), 1) << Joined(Sink.Titles());
  // The end of stream is logged after the delayed bytes, as it reached the other side.
  const std::vector<std::string> titles = Sink.Titles();
  const std::string end = GetParam().Direction == fdRemote ? "End of Stream from Local" : "End of Stream from Remote";
  const auto endAt = std::find(titles.begin(), titles.end(), end);
  ASSERT_NE(endAt, titles.end());
  EXPECT_EQ(std::find(endAt, titles.end(), DataTitle()), titles.end()) << Joined(titles);
}

// A sender that resets while the latency stage still holds its bytes: the relay has taken those
// bytes (the kernel acknowledged them), so they reach the receiver, and the reset follows them,
// logged after their entries.
TEST_P(FaultRelay, AResetWhileTheLatencyStageHoldsBytesComesAfterThem) {
  SetFaults({Dir() + "latency=300ms"});
  Connect();
  const std::string data = Pattern(30000, 5);
  Sender().ToSend = data;
  Sender().ResetWhenAcknowledged = true;
  ASSERT_TRUE(Run([&] { return Sender().Closed; }));
  ASSERT_TRUE(Run([&] { return Receiver().Eof; })) << Joined(Sink.Titles());
  EXPECT_EQ(Receiver().Received.size(), data.size());
  EXPECT_EQ(Checksum(Receiver().Received), Checksum(data));
  EXPECT_TRUE(Receiver().Reset);
  const std::vector<std::string> titles = Sink.Titles();
  const std::string reset = GetParam().Direction == fdRemote ? "Reset from Local" : "Reset from Remote";
  const auto resetAt = std::find(titles.begin(), titles.end(), reset);
  ASSERT_NE(resetAt, titles.end()) << Joined(titles);
  EXPECT_NE(std::find(titles.begin(), resetAt, DataTitle()), resetAt) << Joined(titles);
  EXPECT_EQ(std::find(resetAt, titles.end(), DataTitle()), titles.end()) << Joined(titles);
  ASSERT_TRUE(Run([&] { return Relay->SessionCount() == 0; }));
}

TEST_P(FaultRelay, BandwidthKeepsTheBytes) {
  SetFaults({Dir() + "bandwidth=400KB/s"});
  Connect();
  const std::string data = Pattern(120000, 3);
  Sender().ToSend = data;
  Sender().ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Receiver().Eof; })) << Joined(Sink.Titles());
  EXPECT_EQ(Checksum(Receiver().Received), Checksum(data));
  EXPECT_EQ(Receiver().Received.size(), data.size());
  EXPECT_FALSE(Receiver().Reset);
  EXPECT_EQ(Sink.Count("Fault: bandwidth 400 KB/s " + Toward()), 1) << Joined(Sink.Titles());
  // Passed by the quantum (a hundredth of a second's worth), each piece an entry.
  int pieces = 0;
  for (const auto& e : Sink.Entries)
    if (e.Title == DataTitle()) {
      ++pieces;
      EXPECT_LE(e.Body.size(), 8000u);
    }
  EXPECT_GE(pieces, 15);
}

TEST_P(FaultRelay, SlicerSendsPiecesThatShowAsEntries) {
  SetFaults({Dir() + "slicer=1000,spread=200,delay=1ms"});
  Connect();
  const std::string data = Pattern(30000, 5);
  Sender().ToSend = data;
  Sender().ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Receiver().Eof; }));
  EXPECT_EQ(Checksum(Receiver().Received), Checksum(data));
  std::vector<std::int64_t> times;
  for (const auto& e : Sink.Entries)
    if (e.Title == DataTitle()) {
      EXPECT_LE(e.Body.size(), 1200u);
      times.push_back(e.AtUs);
    }
  EXPECT_GE(times.size(), 30000u / 1200);
  // A piece and the next are a delay apart, at least where one piece ends the other begins.
  int apart = 0;
  for (std::size_t i = 1; i < times.size(); ++i) apart += times[i] - times[i - 1] >= 1000;
  EXPECT_GE(apart, static_cast<int>(times.size()) / 2);
  EXPECT_EQ(Sink.Count("Fault: slicer 1000 bytes ± 200 a piece, 1 ms apart " + Toward()), 1) << Joined(Sink.Titles());
}

TEST_P(FaultRelay, StallStopsAfterNBytesKeepsTheConnectionAndGoesOnWhenTakenAway) {
  SetFaults({Dir() + "stall=1000"});
  Connect();
  const std::string data = Pattern(50000, 9);
  Sender().ToSend = data;
  ASSERT_TRUE(Run([&] { return Sink.Count("Fault: stall after 1000 bytes " + Toward()) == 1; }));
  ASSERT_TRUE(Run([&] { return Receiver().Received.size() == 1000; }));
  // It stays at 1000 while the loop goes round, with the connection open both ways.
  for (int i = 0; i < 50; ++i) {
    Service()();
    platform::WaitAndDispatch(2);
  }
  EXPECT_EQ(Receiver().Received, data.substr(0, 1000));
  EXPECT_FALSE(Receiver().Eof);
  Receiver().ToSend = "still open";
  ASSERT_TRUE(Run([&] { return Sender().Received == "still open"; }));
  // Changed while the session runs: the stall goes and the held bytes follow.
  SetFaults({});
  Sender().ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Receiver().Eof; }));
  EXPECT_EQ(Checksum(Receiver().Received), Checksum(data));
  EXPECT_EQ(Sink.Count("Fault: stall " + Toward() + " taken away; the bytes it held go on"), 1);
}

TEST_P(FaultRelay, LimitEndsTheStreamAfterExactlyNBytesAndTheOtherWayGoesOn) {
  SetFaults({Dir() + "limit=1000"});
  Connect();
  const std::string data = Pattern(40000, 11);
  Sender().ToSend = data;
  ASSERT_TRUE(Run([&] { return Receiver().Eof; }));
  EXPECT_EQ(Receiver().Received, data.substr(0, 1000));
  EXPECT_FALSE(Receiver().Reset) << "a limit ends the stream, it does not reset";
  EXPECT_EQ(Sink.Count("Fault: end of stream after 1000 bytes " + Toward()), 1) << Joined(Sink.Titles());
  // The other direction still relays.
  Receiver().ToSend = "answer";
  ASSERT_TRUE(Run([&] { return Sender().Received == "answer"; }));
  EXPECT_EQ(Sink.Last.Fault, "Fault: end of stream after 1000 bytes " + Toward());
}

TEST_P(FaultRelay, ResetAfterNBytesPassesExactlyThemAndResetsBothSides) {
  SetFaults({Dir() + "reset=1000"});
  Connect();
  const std::string data = Pattern(40000, 13);
  Sender().ToSend = data;
  ASSERT_TRUE(Run([&] { return Receiver().Eof && Sender().Eof; })) << Joined(Sink.Titles());
  EXPECT_EQ(Receiver().Received, data.substr(0, 1000));
  EXPECT_TRUE(Receiver().Reset);
  EXPECT_TRUE(Sender().Reset);
  const std::string title = "Fault: reset after 1000 bytes " + Toward();
  EXPECT_EQ(Sink.Count(title), 1) << Joined(Sink.Titles());
  ASSERT_TRUE(Run([&] { return Relay->SessionCount() == 0; }));
  // The sessions list shows that a fault ended it; no side is said to have reset by itself.
  EXPECT_EQ(Sink.Last.State, ssReset);
  EXPECT_EQ(Sink.Last.Fault, title);
  EXPECT_EQ(Sink.Count("Reset from Local"), 0) << Joined(Sink.Titles());
  EXPECT_EQ(Sink.Count("Reset from Remote"), 0) << Joined(Sink.Titles());
}

TEST_P(FaultRelay, ResetAfterATimeEndsTheSession) {
  SetFaults({Dir() + "reset=100ms"});
  Connect();
  Sender().ToSend = "early";
  ASSERT_TRUE(Run([&] { return Receiver().Received == "early"; }));
  ASSERT_TRUE(Run([&] { return Receiver().Eof && Sender().Eof; }));
  EXPECT_TRUE(Receiver().Reset);
  EXPECT_EQ(Sink.Count("Fault: reset after 100 ms " + Toward()), 1) << Joined(Sink.Titles());
}

TEST_P(FaultRelay, CorruptFlipsExactlyTheNthBytesBit) {
  SetFaults({Dir() + "corrupt=1000"});
  Connect();
  const std::string data = Pattern(25000, 17);
  Sender().ToSend = data;
  Sender().ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Receiver().Eof; }));
  ASSERT_EQ(Receiver().Received.size(), data.size());
  std::size_t differ = 0;
  for (std::size_t i = 0; i < data.size(); ++i) {
    const char expected = (i + 1) % 1000 == 0 ? static_cast<char>(data[i] ^ 1) : data[i];
    differ += Receiver().Received[i] != data[i];
    ASSERT_EQ(Receiver().Received[i], expected) << "offset " << i;
  }
  EXPECT_EQ(differ, 25u);
  int notes = 0;
  for (const auto& e : Sink.Entries) notes += e.Title.rfind("Fault: corrupt flipped bit 0 of ", 0) == 0;
  EXPECT_GE(notes, 1);
}

// A change reaches a session already open that had no fault at all: the next byte meets it.
TEST_P(FaultRelay, AFaultSetWhileASessionRunsActsOnItsNextBytes) {
  Connect();
  Sender().ToSend = "before;";
  ASSERT_TRUE(Run([&] { return Receiver().Received == "before;"; }));
  EXPECT_EQ(Relay->FaultHeldBytes(), 0u);
  SetFaults({Dir() + "reset=match:STOP"});
  Sender().ToSend += "go on STOP never";
  ASSERT_TRUE(Run([&] { return Receiver().Eof; }));
  EXPECT_EQ(Receiver().Received, "before;go on STOP");
  EXPECT_TRUE(Receiver().Reset);
  EXPECT_EQ(Sink.Count("Fault: reset once match:STOP passed " + Toward()), 1) << Joined(Sink.Titles());
}

INSTANTIATE_TEST_SUITE_P(EachWay, FaultRelay,
                         ::testing::Values(TWay{fdRemote, "TowardRemote"}, TWay{fdLocal, "TowardLocal"}),
                         [](const ::testing::TestParamInfo<TWay>& I) { return std::string(I.param.Name); });

class FaultRelayOnce : public FaultRelay {};

TEST_F(FaultRelayOnce, RefuseResetsNewClientsAtAcceptAndTheSessionsListSaysSo) {
  SetFaults({"refuse=1"});
  Local = std::make_unique<TPeer>(RawConnect(Port));
  ASSERT_TRUE(Run([&] { return Local->Eof; }));
  EXPECT_TRUE(Local->Reset);
  EXPECT_TRUE(Server.Peers.empty()) << "a refused client is never relayed";
  EXPECT_EQ(Sink.Count("Fault: refused at accept (refuse=1)"), 1) << Joined(Sink.Titles());
  ASSERT_TRUE(Run([&] { return Relay->SessionCount() == 0; }));
  EXPECT_EQ(Sink.Last.Fault, "Fault: refused at accept (refuse=1)");
  EXPECT_EQ(Sink.Last.State, ssReset);
  // Taken away, the next client is relayed.
  SetFaults({"refuse=0"});
  Local = std::make_unique<TPeer>(RawConnect(Port));
  ASSERT_TRUE(Run([&] { return !Server.Peers.empty(); }));
}

TEST_F(FaultRelayOnce, APatternSplitOverSeveralReadsStillResets) {
  SetFaults({"remote:reset=match:QUIT\\r\\n"});
  Connect();
  Local->ToSend = "HELLO\r\nQU";
  ASSERT_TRUE(Run([&] { return Remote().Received == "HELLO\r\nQU"; }));
  Local->ToSend += "IT\r\nMORE";
  ASSERT_TRUE(Run([&] { return Remote().Eof && Local->Eof; }));
  EXPECT_EQ(Remote().Received, "HELLO\r\nQUIT\r\n");
  EXPECT_TRUE(Remote().Reset);
  EXPECT_TRUE(Local->Reset);
}

// A client that sends and then ends or resets before the relay's connection to the server is up
// (the server's full accept queue holds the connection back), with latency toward the server:
// the bytes reach the server first, then the end as it came, and the log says so in that order.
TEST_F(FaultRelayOnce, AnEndOrResetBeforeTheConnectionFollowsTheDelayedBytes) {
  for (const bool reset : {false, true}) {
    SCOPED_TRACE(reset ? "reset" : "end of stream");
    RawListener slow(0);
    const int filler = RawConnect(slow.Port);  // takes the one place in the accept queue
    ASSERT_GE(filler, 0);
    TFaultSink sink;
    TRelay relay(nullptr, &sink);
    TRelaySettings settings;
    settings.LocalPort = std::to_string(UnusedPort());
    settings.RemoteAddr = "127.0.0.1";
    settings.RemotePort = std::to_string(slow.Port);
    relay.Listen(settings);
    TFaultSet faults;
    std::string error;
    ASSERT_TRUE(faults.Parse({"remote:latency=150ms"}, error)) << error;
    relay.SetFaults(faults);
    TPeer local(RawConnect(static_cast<std::uint16_t>(std::stoi(settings.LocalPort))));
    const std::string data = Pattern(20000, 11);
    local.ToSend = data;
    (reset ? local.ResetWhenAcknowledged : local.ShutdownWhenSent) = true;
    ASSERT_TRUE(RunUntil([&] { return reset ? local.Closed : local.TcpState() == TCP_FIN_WAIT2; },
                         [&] { local.Service(); }, 20000));
    ASSERT_EQ(sink.Count("Connection Opened"), 0) << "the connection was made before the client's end";
    ::close(::accept(slow.Fd, nullptr, nullptr));
    ::close(filler);
    std::unique_ptr<TPeer> server;
    ASSERT_TRUE(RunUntil([&] {
      if (!server) {
        const int c = ::accept4(slow.Fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) server = std::make_unique<TPeer>(c);
      }
      if (server) server->Service();
      local.Service();
      return server && server->Eof;
    }, [] {}, 20000)) << Joined(sink.Titles());
    EXPECT_EQ(server->Received.size(), data.size());
    EXPECT_EQ(Checksum(server->Received), Checksum(data));
    EXPECT_EQ(server->Reset, reset);
    if (!reset) {
      local.Close();
      server->Close();
    }
    ASSERT_TRUE(RunUntil([&] { return relay.SessionCount() == 0; }, [] {}, 20000));
    // The entries in the order things went: every data entry before the client's end, and the
    // close last.
    std::vector<std::string> titles = sink.Titles();
    const std::string endTitle = reset ? "Reset from Local" : "End of Stream from Local";
    const auto endAt = std::find(titles.begin(), titles.end(), endTitle);
    ASSERT_NE(endAt, titles.end()) << Joined(titles);
    EXPECT_NE(std::find(titles.begin(), endAt, "From Local"), endAt) << Joined(titles);
    EXPECT_EQ(std::find(endAt, titles.end(), "From Local"), titles.end()) << Joined(titles);
    EXPECT_EQ(titles.back(), "Connection Closed") << Joined(titles);
    relay.Cancel();
  }
}

// A capture carries the fault's entry as the comment of an empty segment of its direction, after
// the bytes that went before it; a refused client's attempt is answered by the remote side's reset.
TEST_F(FaultRelayOnce, ACaptureCarriesTheFaultsEntryAsAPacketComment) {
  if (!HaveTshark()) GTEST_SKIP() << "tshark is not installed";
  char dir[] = "/tmp/vantrel-fault-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/faults.pcapng";
  {
    auto writer = MakeTrafficWriter(sfCapture, path, false);
    ASSERT_FALSE(writer->Failed()) << writer->Error();
    TSavingSink saving(*writer, emText, nullptr);
    Sink.Next = &saving;
    SetFaults({"refuse=1"});
    TPeer refused(RawConnect(Port));
    ASSERT_TRUE(Run([&] {
      refused.Service();
      return refused.Eof && Relay->SessionCount() == 0;
    }));
    SetFaults({"remote:reset=1000"});
    Connect();
    Local->ToSend = Pattern(5000, 1);
    ASSERT_TRUE(Run([&] { return Remote().Eof && Local->Eof; }));
    ASSERT_TRUE(Run([&] { return Relay->SessionCount() == 0; }));
    Sink.Next = nullptr;
    ASSERT_TRUE(writer->Close());
  }
  // Each packet: source port | destination port | bytes | reset flag | comment.
  const std::vector<std::string> rows =
      Tshark(path, "-T fields -E separator='|' -e tcp.srcport -e tcp.dstport -e tcp.len -e tcp.flags.reset -e frame.comment");
  const std::string remotePort = std::to_string(Server.Listener.Port);
  int faultRow = -1, dataBefore = 0, refusedRst = 0;
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::string& r = rows[i];
    if (r.find("Fault: reset after 1000 bytes toward Remote") != std::string::npos) {
      faultRow = static_cast<int>(i);
      // From the local side to the remote port, without bytes.
      EXPECT_NE(r.find("|" + remotePort + "|0|"), std::string::npos) << r;
    }
    if (faultRow < 0 && r.find("|From Local") != std::string::npos) ++dataBefore;
    if (r.rfind(remotePort + "|", 0) == 0 && r.find("Fault: refused at accept (refuse=1)") != std::string::npos) {
      EXPECT_NE(r.find("|1|"), std::string::npos) << r;
      ++refusedRst;
    }
  }
  std::string all;
  for (const std::string& r : rows) all += r + "\n";
  EXPECT_GE(faultRow, 0) << "no packet carries the fault's entry:\n" << all;
  EXPECT_GE(dataBefore, 1) << "the bytes before the reset come first";
  EXPECT_EQ(refusedRst, 1) << "the refusal is the remote side's reset, with the fault as its comment";
  ::unlink(path.c_str());
  ::rmdir(dir);
}

// A sender far faster than the limit is held back by TCP: what the relay holds stays bounded by
// its hold-back thresholds however much the sender pushes.
TEST_F(FaultRelayOnce, MemoryStaysFlatUnderALimitWithAFastSender) {
  SetFaults({"local:bandwidth=1MB/s"});
  Connect();
  Remote().ToSend = Pattern(64 << 20, 21);
  std::size_t most = 0;
  const auto measure = [&] {
    std::size_t held = Relay->FaultHeldBytes();
    for (std::int32_t i = 0; i < Relay->WSocketServer()->ClientCount(); ++i) {
      auto* c = dynamic_cast<TClient*>(Relay->WSocketServer()->Client(i));
      if (c == nullptr) continue;
      held += static_cast<std::size_t>(c->BufferedSendBytes());
      held += c->PendingLocal.size();
    }
    most = std::max(most, held);
  };
  // Until a good part of the sender's bytes should have been taken, were nothing holding it back.
  ASSERT_TRUE(Run([&] {
    measure();
    return Local->Received.size() >= 1500000;
  }, 30000));
  // Bounded by the stage's hold (1 MiB and the read that crossed it) and the socket's (1 MiB).
  EXPECT_LE(most, TFaultStage::kHoldBytes + (128u << 10) + (1u << 20));
  EXPECT_GT(most, 0u);
  // The sender is held back: it has not got rid of much more than the receiver took and the
  // kernels' buffers and the relay's bound can hold.
  EXPECT_LT(Remote().Sent, Local->Received.size() + most + (24u << 20));
  EXPECT_EQ(Local->Received, Remote().ToSend.substr(0, Local->Received.size()));
}

}  // namespace
}  // namespace apptest
