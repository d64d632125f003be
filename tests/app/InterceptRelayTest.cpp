// Intercept, end to end: the relay engine between a real local client and a real remote server on
// loopback, holding chunks in either direction. What is checked: the bytes that arrive, exactly
// (length and checksum), after edits that change the length and drops; the order of held,
// waiting and released chunks; the log's entries, the sessions' byte counts and the raw streams
// saved, which follow what was sent; the sender held back within bounds while 100 MiB wait; a
// session that ends or resets while chunks are held; and an edit that passes a fault stage.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "RelayPeers.h"
#include "record/TrafficWriter.h"
#include "relay/Relay.h"
#include "stream/InterceptStage.h"

namespace apptest {
namespace {

// Keeps every entry and the latest facts of the session.
class TKeepingSink : public TEntrySink {
public:
  struct TKept {
    std::string Title;
    std::string Body;
    TEntrySource Source;
  };
  void SetEntryColor(TColor) override {}
  void SetEntryTitle(const std::string& Value) override { FTitle = Value; }
  void AddEntry(const std::string& Body) override { AddEntry(Body, TEntrySource{}); }
  void AddEntry(const std::string& Body, const TEntrySource& Source) override {
    Entries.push_back({FTitle, Body, Source});
    if (Next != nullptr) {
      Next->SetEntryTitle(FTitle);
      Next->AddEntry(Body, Source);
    }
  }
  void SessionChanged(const TSessionInfo& Info) override {
    Last = Info;
    if (Next != nullptr) Next->SessionChanged(Info);
  }
  int Count(const std::string& Prefix) const {
    int n = 0;
    for (const TKept& e : Entries) n += e.Title.rfind(Prefix, 0) == 0;
    return n;
  }
  const TKept* Find(const std::string& Prefix) const {
    for (const TKept& e : Entries)
      if (e.Title.rfind(Prefix, 0) == 0) return &e;
    return nullptr;
  }
  std::string Titles() const {
    std::string t;
    for (const TKept& e : Entries) t += e.Title + "\n";
    return t;
  }

  std::vector<TKept> Entries;
  TSessionInfo Last;
  TEntrySink* Next = nullptr;

private:
  std::string FTitle;
};

struct TWay {
  TFaultDirection Direction;
  const char* Name;
};
void PrintTo(const TWay& W, std::ostream* Out) { *Out << W.Name; }

class InterceptRelay : public ::testing::TestWithParam<TWay> {
protected:
  void SetUp() override {
    Relay = std::make_unique<TRelay>(nullptr, &Sink);
    TRelaySettings settings;
    settings.LocalPort = std::to_string(UnusedPort());
    settings.RemoteAddr = "127.0.0.1";
    settings.RemotePort = std::to_string(Server.Listener.Port);
    Relay->Listen(settings);
    Port = static_cast<std::uint16_t>(std::stoi(settings.LocalPort));
    Relay->OnChunkHeld = [this](const TInterceptedChunk& C) {
      Held.push_back(C.Number);
      HeldBytes.push_back(C.Bytes);
    };
    Relay->OnChunkLeft = [this](std::uint64_t Number, TInterceptAction How) { Left.emplace_back(Number, How); };
  }
  void TearDown() override {
    Local.reset();
    Server.Peers.clear();
    Relay->Cancel();
    EXPECT_TRUE(RunUntil([&] { return Relay->SessionCount() == 0; }, [] {}, 10000));
    Relay.reset();
    EXPECT_EQ(winsock::WinsockUsers, 0) << "a socket component outlived the relay";
  }

  virtual TFaultDirection Way() const { return GetParam().Direction; }
  void Intercept(const std::string& Match = std::string(), bool On = true) {
    TInterceptSettings s;
    s.On = On;
    s.ToRemote = Way() == fdRemote;
    s.ToLocal = Way() == fdLocal;
    s.Match = Match;
    Relay->SetIntercept(s);
  }
  void Connect() {
    Local = std::make_unique<TPeer>(RawConnect(Port));
    ASSERT_TRUE(Run([&] { return !Server.Peers.empty() && Relay->SessionCount() == 1; }));
  }
  std::function<void()> Service() {
    return [this] {
      Server.Service();
      if (Local) Local->Service();
    };
  }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 30000) { return RunUntil(Cond, Service(), TimeoutMs); }
  // Goes round the loop a while, for what must not happen.
  void Idle(int Rounds = 30) {
    for (int i = 0; i < Rounds; ++i) {
      Service()();
      platform::WaitAndDispatch(1);
    }
  }
  TPeer& Remote() { return *Server.Peers.front(); }
  TPeer& Sender() { return Way() == fdRemote ? *Local : Remote(); }
  TPeer& Receiver() { return Way() == fdRemote ? Remote() : *Local; }
  std::string To() const { return Way() == fdRemote ? " to Remote" : " to Local"; }
  const char* Plain() const { return Way() == fdRemote ? "From Local" : "From Remote"; }
  // Sends Bytes as one chunk and waits until it is held.
  void SendHeld(const std::string& Bytes) {
    const std::size_t before = Held.size();
    Sender().ToSend += Bytes;
    ASSERT_TRUE(Run([&] { return Held.size() == before + 1; })) << Sink.Titles();
  }
  void Decide(std::size_t Index, TInterceptAction How, const std::string& Edited = std::string()) {
    std::string error;
    ASSERT_TRUE(Relay->InterceptDecide(Held.at(Index), How, Edited, error)) << error;
  }
  std::uint64_t SentCount() const { return Way() == fdRemote ? Sink.Last.BytesFromLocal : Sink.Last.BytesFromRemote; }

  TKeepingSink Sink;
  TRemoteServer Server;
  std::unique_ptr<TRelay> Relay;
  std::unique_ptr<TPeer> Local;
  std::uint16_t Port = 0;
  std::vector<std::uint64_t> Held;
  std::vector<std::string> HeldBytes;
  std::vector<std::pair<std::uint64_t, TInterceptAction>> Left;
};

TEST_P(InterceptRelay, EditsThatChangeTheLengthAndDropsSendExactlyWhatWasDecided) {
  char dir[] = "/tmp/vantrel-intercept-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  auto writer = MakeTrafficWriter(sfRawStreams, std::string(dir) + "/", false);
  ASSERT_FALSE(writer->Failed()) << writer->Error();
  TSavingSink saving(*writer, emText, nullptr);
  Sink.Next = &saving;

  Intercept();
  Connect();
  const std::vector<std::string> sent = {"first message\r\n", "second\r\n", "third one\r\n", "4th\r\n"};
  for (const std::string& s : sent) SendHeld(s);
  EXPECT_EQ(HeldBytes, sent);
  // The other way goes on while this one holds.
  Receiver().ToSend = "answer";
  ASSERT_TRUE(Run([&] { return Sender().Received == "answer"; }));
  Idle();
  EXPECT_TRUE(Receiver().Received.empty()) << "a held chunk went on undecided";

  const std::string longer = "FIRST, edited to be a good deal longer\r\n";
  Decide(2, iaEdit, "3\r\n");
  Decide(1, iaDrop);
  Decide(3, iaForward);
  Idle();
  EXPECT_TRUE(Receiver().Received.empty()) << "chunks overtook the undecided first one";
  Decide(0, iaEdit, longer);
  const std::string expected = longer + "3\r\n4th\r\n";
  Sender().ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Receiver().Eof; })) << Sink.Titles();
  EXPECT_EQ(Receiver().Received.size(), expected.size());
  EXPECT_EQ(Checksum(Receiver().Received), Checksum(expected));
  EXPECT_FALSE(Receiver().Reset);

  // The log: held with its bytes, then what became of it; edits show the original and what went.
  EXPECT_EQ(Sink.Count("Intercept: held #"), 4) << Sink.Titles();
  const auto* edit = Sink.Find("Intercept: edited #" + std::to_string(Held[0]) + To());
  ASSERT_NE(edit, nullptr) << Sink.Titles();
  EXPECT_EQ(edit->Title, "Intercept: edited #" + std::to_string(Held[0]) + To() + ", " +
                             std::to_string(longer.size()) + " bytes sent for " + std::to_string(sent[0].size()));
  EXPECT_EQ(edit->Body, sent[0]);
  EXPECT_EQ(edit->Source.Direction, edNone) << "the original is not part of the stream";
  EXPECT_EQ(Sink.Count("Intercept: dropped #" + std::to_string(Held[1]) + To()), 1);
  EXPECT_EQ(Sink.Count("Intercept: forwarded #" + std::to_string(Held[3]) + To()), 1);
  std::string edited, plain;
  for (const auto& e : Sink.Entries) {
    if (e.Title == std::string("Edited") + To()) {
      EXPECT_TRUE(e.Source.Injected);
      edited += e.Body;
    }
    if (e.Title == Plain()) plain += e.Body;
  }
  EXPECT_EQ(edited, longer + "3\r\n");
  EXPECT_EQ(plain, "4th\r\n");
  // Counted and saved as sent.
  EXPECT_EQ(SentCount(), expected.size());
  Sink.Next = nullptr;
  ASSERT_TRUE(writer->Close());
  std::string saved;
  for (const auto& f : std::filesystem::directory_iterator(dir)) {
    const std::string name = f.path().filename().string();
    if (name.find(Way() == fdRemote ? "from-local.bin" : "from-remote.bin") == std::string::npos) continue;
    std::ifstream in(f.path(), std::ios::binary);
    saved.assign(std::istreambuf_iterator<char>(in), {});
  }
  EXPECT_EQ(saved, expected);
  std::filesystem::remove_all(dir);
}

TEST_P(InterceptRelay, ANonMatchingChunkBehindAHeldOneKeepsItsOrder) {
  Intercept("HOLD");
  Connect();
  Sender().ToSend = "free;";
  ASSERT_TRUE(Run([&] { return Receiver().Received == "free;"; }));
  SendHeld("a HOLD b;");
  Sender().ToSend += "behind;";
  ASSERT_TRUE(Run([&] { return Relay->FaultHeldBytes() == 16; }));
  Idle();
  EXPECT_EQ(Receiver().Received, "free;");
  EXPECT_EQ(Relay->InterceptHeldCount(), 1u) << "a chunk without the match was held for a decision";
  Decide(0, iaForward);
  ASSERT_TRUE(Run([&] { return Receiver().Received.size() == 21; }));
  EXPECT_EQ(Receiver().Received, "free;a HOLD b;behind;");
}

// Switched off, every queue lets go in order, and the chunks after pass as they come.
TEST_P(InterceptRelay, UncheckingReleasesTheQueueInOrder) {
  Intercept();
  Connect();
  std::string all;
  for (int i = 0; i < 20; ++i) {
    const std::string chunk = "chunk " + std::to_string(i) + ";";
    SendHeld(chunk);
    all += chunk;
  }
  Decide(5, iaDrop);
  all.erase(all.find("chunk 5;"), 8);
  Intercept(std::string(), false);
  EXPECT_EQ(Relay->InterceptHeldCount(), 0u);
  Sender().ToSend += "after";
  all += "after";
  ASSERT_TRUE(Run([&] { return Receiver().Received.size() == all.size(); }));
  EXPECT_EQ(Receiver().Received, all);
  EXPECT_EQ(Left.size(), 20u);
}

INSTANTIATE_TEST_SUITE_P(EachWay, InterceptRelay,
                         ::testing::Values(TWay{fdRemote, "TowardRemote"}, TWay{fdLocal, "TowardLocal"}),
                         [](const ::testing::TestParamInfo<TWay>& I) { return std::string(I.param.Name); });

class InterceptRelayOnce : public InterceptRelay {
protected:
  TFaultDirection Way() const override { return fdRemote; }
};

// Line mode reads a line at a time: ten thousand lines sent at once are ten thousand chunks.
TEST_F(InterceptRelayOnce, TenThousandHeldChunksGoInOrderOnForwardAll) {
  Relay->SetLineMode(true);
  TInterceptSettings s;
  s.On = true;
  s.ToLocal = false;
  Relay->SetIntercept(s);
  Connect();
  std::string all;
  for (int i = 0; i < 10000; ++i) all += "line " + std::to_string(100000 + i) + "\r\n";
  Local->ToSend = all;
  ASSERT_TRUE(Run([&] { return Relay->InterceptHeldCount() == 10000; }, 60000)) << Relay->InterceptHeldCount();
  Idle();
  EXPECT_TRUE(Remote().Received.empty());
  EXPECT_EQ(Held.size(), 10000u);
  Relay->InterceptForwardAll();
  EXPECT_EQ(Relay->InterceptHeldCount(), 0u);
  ASSERT_TRUE(Run([&] { return Remote().Received.size() == all.size(); }, 60000));
  EXPECT_EQ(Checksum(Remote().Received), Checksum(all));
  EXPECT_EQ(Remote().Received, all);
  ASSERT_EQ(Left.size(), 10000u);
  for (std::size_t i = 0; i < Left.size(); ++i) {
    ASSERT_EQ(Left[i].first, Held[i]) << "released out of order at " << i;
    ASSERT_EQ(Left[i].second, iaForward);
  }
}

// Every chunk held: the stage takes up to its bound, the relay stops reading, TCP blocks the
// sender; switched off, all 100 MiB arrive.
TEST_F(InterceptRelayOnce, AHundredMiBSenderHeldStaysBoundedAndLosesNothing) {
  TInterceptSettings s;
  s.On = true;
  s.ToLocal = false;
  Relay->SetIntercept(s);
  Connect();
  const std::string data = Pattern(100 << 20, 31);
  Local->ToSend = data;
  const std::size_t bound = TInterceptStage::kHoldBytes + (128u << 10);
  std::size_t most = 0;
  ASSERT_TRUE(Run([&] {
    most = std::max(most, Relay->FaultHeldBytes());
    return Relay->FaultHeldBytes() >= TInterceptStage::kHoldBytes;
  }));
  // The sender is blocked: it stops with most of its bytes unsent, and the relay holds no more.
  std::size_t sent = 0;
  for (int round = 0; round < 200 && sent != Local->Sent; ++round) {
    sent = Local->Sent;
    for (int i = 0; i < 20; ++i) {
      Service()();
      platform::WaitAndDispatch(1);
      most = std::max(most, Relay->FaultHeldBytes());
    }
  }
  EXPECT_EQ(sent, Local->Sent) << "the sender was never held back";
  // What it got rid of sits in the two kernels' buffers (loopback grows a receive buffer up to
  // tens of MiB) and in the stage: far from all of it.
  EXPECT_LT(Local->Sent, 64u << 20);
  EXPECT_LE(most, bound);
  EXPECT_TRUE(Remote().Received.empty());
  const std::size_t heldChunks = Relay->InterceptHeldCount();
  EXPECT_GT(heldChunks, 0u);

  s.On = false;
  Relay->SetIntercept(s);
  std::size_t flowing = 0;
  ASSERT_TRUE(Run([&] {
    flowing = std::max(flowing, Relay->FaultHeldBytes());
    return Remote().Received.size() == data.size();
  }, 120000)) << Remote().Received.size();
  EXPECT_EQ(flowing, 0u) << "switched off, the stage still held bytes";
  EXPECT_EQ(Checksum(Remote().Received), Checksum(data));
  EXPECT_TRUE(Remote().Received == data);
  EXPECT_EQ(Left.size(), heldChunks);
}

TEST_F(InterceptRelayOnce, TheSendersEndWaitsBehindHeldChunksAndFollowsThem) {
  TInterceptSettings s;
  s.On = true;
  Relay->SetIntercept(s);
  Connect();
  SendHeld("before the end");
  Local->ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Sink.Count("End of Stream from Local") == 0 && Local->WriteShut; }));
  Idle();
  EXPECT_FALSE(Remote().Eof) << "the end overtook a held chunk";
  Decide(0, iaForward);
  ASSERT_TRUE(Run([&] { return Remote().Eof; }));
  EXPECT_EQ(Remote().Received, "before the end");
  EXPECT_FALSE(Remote().Reset);
  // The other way is held too, and still goes once decided.
  Remote().ToSend = "reply";
  ASSERT_TRUE(Run([&] { return Held.size() == 2; }));
  Decide(1, iaEdit, "edited reply");
  Remote().CloseWhenSent = true;
  ASSERT_TRUE(Run([&] { return Local->Eof; }));
  EXPECT_EQ(Local->Received, "edited reply");
}

// The receiver resets while chunks are held toward it: the session ends, every held chunk is
// logged lost and leaves the queue, and a decision on one afterwards is refused.
TEST_F(InterceptRelayOnce, TheReceiversResetWhileChunksAreHeldLosesThemSafely) {
  TInterceptSettings s;
  s.On = true;
  s.ToLocal = false;
  Relay->SetIntercept(s);
  Connect();
  SendHeld("one;");
  SendHeld("two;");
  RawReset(Remote().Fd);
  Remote().Closed = true;
  ASSERT_TRUE(Run([&] { return Relay->SessionCount() == 0; })) << Sink.Titles();
  EXPECT_TRUE(Local->Reset);
  EXPECT_EQ(Relay->InterceptHeldCount(), 0u);
  ASSERT_EQ(Left.size(), 2u);
  EXPECT_EQ(Left[0].second, iaLost);
  EXPECT_EQ(Left[1].second, iaLost);
  EXPECT_EQ(Sink.Count("Intercept: #" + std::to_string(Held[1]) + " to Remote lost: the session has ended"), 1)
      << Sink.Titles();
  std::string error;
  EXPECT_FALSE(Relay->InterceptDecide(Held[1], iaForward, "", error));
  EXPECT_EQ(error, "chunk #" + std::to_string(Held[1]) + " is no longer held");
}

// The sender resets while its chunks are held: a reset does not wait for what the user holds,
// which may be held for as long as the user likes. It goes on to the receiver at once, and the
// held chunks are lost with the session.
TEST_F(InterceptRelayOnce, TheSendersResetGoesOnAtOnceAndItsHeldChunksAreLost) {
  TInterceptSettings s;
  s.On = true;
  s.ToLocal = false;
  Relay->SetIntercept(s);
  Connect();
  SendHeld("one;");
  SendHeld("two;");
  RawReset(Local->Fd);
  Local->Closed = true;
  ASSERT_TRUE(Run([&] { return Remote().Eof && Relay->SessionCount() == 0; })) << Sink.Titles();
  EXPECT_TRUE(Remote().Reset);
  EXPECT_TRUE(Remote().Received.empty());
  EXPECT_EQ(Relay->InterceptHeldCount(), 0u);
  ASSERT_EQ(Left.size(), 2u);
  EXPECT_EQ(Left[0].second, iaLost);
  EXPECT_EQ(Sink.Count("Reset from Local"), 1) << Sink.Titles();
  EXPECT_EQ(Sink.Count("Intercept: #" + std::to_string(Held[0]) + " to Remote lost: the session has ended"), 1)
      << Sink.Titles();
}

// Cancel while chunks are held: the sessions end at once and the chunks go with them.
TEST_F(InterceptRelayOnce, CancelWhileChunksAreHeldEndsCleanly) {
  TInterceptSettings s;
  s.On = true;
  Relay->SetIntercept(s);
  Connect();
  SendHeld("held at cancel");
  Relay->Cancel();
  ASSERT_TRUE(Run([&] { return Relay->SessionCount() == 0; }));
  EXPECT_EQ(Relay->InterceptHeldCount(), 0u);
  EXPECT_EQ(Left.size(), 1u);
}

// Behind the intercept stage a slicer cuts an edit into pieces: every piece is logged as part of
// the edit, and the bytes arrive whole.
TEST_F(InterceptRelayOnce, AnEditThatAFaultSlicesIsLoggedAsAnEditPieceByPiece) {
  TFaultSet faults;
  std::string error;
  ASSERT_TRUE(faults.Parse({"remote:slicer=10,delay=1ms"}, error)) << error;
  Relay->SetFaults(faults);
  TInterceptSettings s;
  s.On = true;
  s.ToLocal = false;
  s.Match = "EDIT";
  Relay->SetIntercept(s);
  Connect();
  Local->ToSend = "plain bytes before;";
  ASSERT_TRUE(Run([&] { return Remote().Received == "plain bytes before;"; }));
  SendHeld("EDIT me;");
  Local->ToSend += "after;";
  ASSERT_TRUE(Run([&] { return Relay->FaultHeldBytes() == 14; }));
  const std::string edit = "this edit is longer than the slicer's pieces;";
  Decide(0, iaEdit, edit);
  const std::string expected = "plain bytes before;" + edit + "after;";
  ASSERT_TRUE(Run([&] { return Remote().Received.size() == expected.size(); }));
  EXPECT_EQ(Remote().Received, expected);
  std::string edited, plain;
  int pieces = 0;
  for (const auto& e : Sink.Entries) {
    if (e.Title == "Edited to Remote") {
      edited += e.Body;
      ++pieces;
    }
    if (e.Title == "From Local") plain += e.Body;
  }
  EXPECT_EQ(edited, edit);
  EXPECT_GE(pieces, 4);
  EXPECT_EQ(plain, "plain bytes before;after;");
}

}  // namespace
}  // namespace apptest
