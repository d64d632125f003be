// The fault stage on the real message loop and its timers: what it passes on (bytes exact, in
// order, cut exactly where asked), how it ends the stream, when it holds the sender back, what it
// notes, and how a change reaches a stage that is running. The relay's end-to-end tests drive the
// same stage between real sockets.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "net/SocketTestSupport.h"
#include "stream/FaultStage.h"

using testsupport::PumpUntil;

namespace {

std::string Bytes(std::size_t N, std::uint32_t Seed = 1) {
  std::string s(N, '\0');
  std::uint32_t x = Seed;
  for (char& c : s) {
    x = x * 1664525u + 1013904223u;
    c = static_cast<char>(x >> 24);
  }
  return s;
}

// A stage of one direction with everything it raises recorded.
struct TRun {
  TFaults Faults;
  std::unique_ptr<TFaultStage> Stage;
  std::string Out;
  std::vector<std::size_t> Pieces;
  std::vector<std::int64_t> PassedAtUs;
  std::vector<std::string> Notes;
  std::vector<bool> Holds;
  TStreamEnd End = seOpen;
  int Ends = 0;

  explicit TRun(const std::vector<std::string>& Rules, TFaultDirection Direction = fdRemote) {
    Set(Rules);
    Stage = Faults.MakeStage(Direction);
    Stage->OnPass = [this](std::string_view B) {
      Out.append(B);
      Pieces.push_back(B.size());
      PassedAtUs.push_back(TStageTimer::NowUs());
    };
    Stage->OnEnd = [this](TStreamEnd How) {
      End = How;
      ++Ends;
    };
    Stage->OnNote = [this](const std::string& T) { Notes.push_back(T); };
    Stage->OnHold = [this](bool P) { Holds.push_back(P); };
  }
  void Set(const std::vector<std::string>& Rules) {
    TFaultSet set;
    std::string error;
    ASSERT_TRUE(set.Parse(Rules, error)) << error;
    Faults.SetFaults(set);
  }
  bool Noted(const std::string& Text) const {
    return std::any_of(Notes.begin(), Notes.end(), [&](const std::string& N) { return N == Text; });
  }
};

TEST(FaultStage, WithoutFaultsOfItsDirectionEveryChunkPassesAtOnceWithoutATimer) {
  TRun r({"local:latency=50ms"}, fdRemote);
  const std::size_t timers = TStageTimer::RunningCount();
  const std::string data = Bytes(100000);
  r.Stage->Write(std::string_view(data).substr(0, 60000));
  r.Stage->Write(std::string_view(data).substr(60000));
  EXPECT_EQ(r.Out, data);
  EXPECT_EQ(r.Pieces, (std::vector<std::size_t>{60000, 40000}));
  EXPECT_EQ(TStageTimer::RunningCount(), timers);
  EXPECT_EQ(r.Stage->Held(), 0u);
  r.Stage->WriteEnd();
  EXPECT_EQ(r.End, seFinished);
  EXPECT_TRUE(r.Notes.empty());
}

TEST(FaultStage, LatencyHoldsEachChunkItsDelayAndKeepsTheOrder) {
  TRun r({"remote:latency=30ms,jitter=20ms"});
  std::vector<std::int64_t> wroteAt;
  std::string sent;
  for (int i = 0; i < 20; ++i) {
    const std::string chunk = Bytes(100 + static_cast<std::size_t>(i), static_cast<std::uint32_t>(i + 1));
    wroteAt.push_back(TStageTimer::NowUs());
    r.Stage->Write(chunk);
    sent += chunk;
  }
  // Nothing can be due yet: the least delay is 10 ms.
  EXPECT_TRUE(r.Out.empty());
  EXPECT_EQ(r.Stage->Held(), sent.size());
  r.Stage->WriteEnd();
  ASSERT_TRUE(PumpUntil([&] { return r.Ends > 0; }));
  EXPECT_EQ(r.Out, sent);
  EXPECT_EQ(r.End, seFinished);
  // Each chunk leaves whole, and none before its write plus the least delay.
  ASSERT_EQ(r.Pieces.size(), 20u);
  for (std::size_t i = 0; i < 20; ++i) {
    EXPECT_EQ(r.Pieces[i], 100 + i);
    EXPECT_GE(r.PassedAtUs[i] - wroteAt[i], 10000) << "chunk " << i;
  }
  EXPECT_TRUE(r.Noted("Fault: latency 30 ms ± 20 ms toward Remote"));
}

TEST(FaultStage, ResetAfterBytesPassesExactlyThemThenResets) {
  TRun r({"remote:reset=1000"});
  const std::string data = Bytes(3000);
  r.Stage->Write(std::string_view(data).substr(0, 999));
  EXPECT_EQ(r.Ends, 0);
  r.Stage->Write(std::string_view(data).substr(999, 1));
  // At the 1000th byte: the count is reached, so the reset needs no further byte.
  EXPECT_EQ(r.End, seReset);
  r.Stage->Write(std::string_view(data).substr(1000));
  EXPECT_EQ(r.Out, data.substr(0, 1000));
  EXPECT_EQ(r.Ends, 1);
  EXPECT_EQ(r.Stage->BytesDropped(), 2000u);
  EXPECT_EQ(r.Notes, (std::vector<std::string>{"Fault: reset after 1000 bytes toward Remote"}));
  EXPECT_EQ(r.Stage->EndedBy(), "Fault: reset after 1000 bytes toward Remote");
}

TEST(FaultStage, AResetBehindALatencyWaitsForTheBytesBeforeIt) {
  TRun r({"local:reset=500", "local:latency=20ms"}, fdLocal);
  const std::string data = Bytes(800);
  r.Stage->Write(data);
  EXPECT_EQ(r.Ends, 0);  // the first 500 bytes still wait
  ASSERT_TRUE(PumpUntil([&] { return r.Ends > 0; }));
  EXPECT_EQ(r.Out, data.substr(0, 500));
  EXPECT_EQ(r.End, seReset);
  EXPECT_TRUE(r.Noted("Fault: reset after 500 bytes toward Local"));
}

TEST(FaultStage, APatternResetsOnceItHasPassedAlsoSplitBetweenChunks) {
  for (std::size_t split = 0; split <= 6; ++split) {
    TRun r({"remote:reset=match:QUIT\\r\\n"});
    const std::string data = "PING\r\nQUIT\r\nNEVER";
    const std::size_t at = 6 + split;  // somewhere in "QUIT\r\n" (or right after it)
    r.Stage->Write(std::string_view(data).substr(0, at));
    r.Stage->Write(std::string_view(data).substr(at));
    EXPECT_EQ(r.Out, "PING\r\nQUIT\r\n") << "split at " << at;
    EXPECT_EQ(r.End, seReset) << "split at " << at;
    EXPECT_TRUE(r.Noted("Fault: reset once match:QUIT\\r\\n passed toward Remote")) << r.Notes.size();
  }
  // Not there: everything passes.
  TRun r({"remote:reset=hex:00ff"});
  const std::string data = std::string("\x00\xfe\xff\x00", 4);
  r.Stage->Write(data);
  EXPECT_EQ(r.Out, data);
  EXPECT_EQ(r.Ends, 0);
}

TEST(FaultStage, LimitEndsTheStreamAfterExactlyNBytesAndDropsTheRest) {
  TRun r({"remote:limit=4KiB"});
  const std::string data = Bytes(10000);
  r.Stage->Write(data);
  EXPECT_EQ(r.Out, data.substr(0, 4096));
  EXPECT_EQ(r.End, seFinished);
  EXPECT_EQ(r.Stage->BytesDropped(), 10000u - 4096u);
  EXPECT_TRUE(r.Noted("Fault: end of stream after 4096 bytes toward Remote"));
  // The reading side's own end, later, changes nothing.
  r.Stage->WriteEnd();
  EXPECT_EQ(r.Ends, 1);
}

TEST(FaultStage, TimeTriggersActFromTheLoopsTimer) {
  TRun limit({"remote:limit=30ms"});
  limit.Stage->Write("before");
  EXPECT_EQ(limit.Ends, 0);
  ASSERT_TRUE(PumpUntil([&] { return limit.Ends > 0; }));
  limit.Stage->Write("after");
  EXPECT_EQ(limit.Out, "before");
  EXPECT_EQ(limit.End, seFinished);
  EXPECT_TRUE(limit.Noted("Fault: end of stream after 30 ms toward Remote"));

  TRun reset({"local:reset=20ms"}, fdLocal);
  ASSERT_TRUE(PumpUntil([&] { return reset.Ends > 0; }));
  EXPECT_EQ(reset.End, seReset);

  TRun stall({"remote:stall=20ms"});
  stall.Stage->Write("a");
  ASSERT_TRUE(PumpUntil([&] { return stall.Stage->Stalled(); }));
  stall.Stage->Write("b");
  EXPECT_EQ(stall.Out, "a");
  EXPECT_EQ(stall.Ends, 0);
}

TEST(FaultStage, AStallHoldsTheSenderBackAndGoesOnWhenTakenAway) {
  TRun r({"remote:stall=1000"});
  const std::string data = Bytes(3 * TFaultStage::kHoldBytes);
  std::size_t written = 0;
  // The relay stops reading once asked to: so does this writer.
  while (written < data.size() && !r.Stage->Holding()) {
    const std::size_t n = std::min<std::size_t>(128 << 10, data.size() - written);
    r.Stage->Write(std::string_view(data).substr(written, n));
    written += n;
  }
  EXPECT_EQ(r.Out, data.substr(0, 1000));
  EXPECT_TRUE(r.Stage->Stalled());
  EXPECT_EQ(r.Holds, (std::vector<bool>{true}));
  EXPECT_GT(r.Stage->Held(), TFaultStage::kHoldBytes);
  EXPECT_LE(r.Stage->Held(), TFaultStage::kHoldBytes + (128 << 10));
  EXPECT_TRUE(r.Noted("Fault: stall after 1000 bytes toward Remote"));
  EXPECT_EQ(r.Ends, 0);
  // Taken away: what it held goes on at once, the sender is let go, and the rest follows.
  r.Set({});
  EXPECT_EQ(r.Stage->Held(), 0u);
  EXPECT_EQ(r.Holds, (std::vector<bool>{true, false}));
  r.Stage->Write(std::string_view(data).substr(written));
  EXPECT_EQ(r.Out, data);
  EXPECT_TRUE(r.Noted("Fault: stall toward Remote taken away; the bytes it held go on"));
}

TEST(FaultStage, AStalledStreamEndsOnlyOnceTheStallIsTakenAway) {
  TRun r({"local:stall=3"}, fdLocal);
  r.Stage->Write("abcdef");
  r.Stage->WriteEnd();
  EXPECT_EQ(r.Out, "abc");
  EXPECT_EQ(r.Ends, 0);
  r.Set({"remote:latency=1ms"});  // the other direction's fault leaves this one without a stall
  EXPECT_EQ(r.Out, "abcdef");
  EXPECT_EQ(r.End, seFinished);
}

TEST(FaultStage, CorruptFlipsOneBitOfEveryNthByteAndNothingElse) {
  TRun r({"local:corrupt=100,bit=3"}, fdLocal);
  const std::string data = Bytes(1050);
  r.Stage->Write(std::string_view(data).substr(0, 150));
  r.Stage->Write(std::string_view(data).substr(150));
  ASSERT_EQ(r.Out.size(), data.size());
  for (std::size_t i = 0; i < data.size(); ++i) {
    const char expected = (i + 1) % 100 == 0 ? static_cast<char>(data[i] ^ 0x08) : data[i];
    ASSERT_EQ(r.Out[i], expected) << "offset " << i;
  }
  ASSERT_EQ(r.Notes.size(), 2u);
  EXPECT_EQ(r.Notes[0], "Fault: corrupt flipped bit 3 of the byte at stream offset 99 toward Local");
  EXPECT_EQ(r.Notes[1],
            "Fault: corrupt flipped bit 3 of the bytes at stream offsets 199, 299, 399, 499 and 5 more toward Local");
}

TEST(FaultStage, SlicerPassesPiecesOfTheSizeGiveOrTakeTheSpread) {
  TRun r({"remote:slicer=100,spread=30,delay=1ms"});
  const std::string data = Bytes(5000);
  r.Stage->Write(data);
  r.Stage->WriteEnd();
  ASSERT_TRUE(PumpUntil([&] { return r.Ends > 0; }));
  EXPECT_EQ(r.Out, data);
  ASSERT_GT(r.Pieces.size(), 5000u / 130);
  for (std::size_t i = 0; i + 1 < r.Pieces.size(); ++i) {
    EXPECT_GE(r.Pieces[i], 70u) << i;
    EXPECT_LE(r.Pieces[i], 130u) << i;
  }
  // A piece never leaves before the delay after the one before it.
  for (std::size_t i = 1; i < r.PassedAtUs.size(); ++i) EXPECT_GE(r.PassedAtUs[i] - r.PassedAtUs[i - 1], 1000) << i;
  EXPECT_TRUE(r.Noted("Fault: slicer 100 bytes ± 30 a piece, 1 ms apart toward Remote"));
}

TEST(FaultStage, BandwidthPassesInPiecesAndHoldsAFastSender) {
  TRun r({"remote:bandwidth=100KB/s"});
  const std::string data = Bytes(TFaultStage::kHoldBytes + 4096);
  r.Stage->Write(data);
  // Far more than a second's worth waits: the sender is held back, the bytes pass by the quantum.
  EXPECT_EQ(r.Holds, (std::vector<bool>{true}));
  EXPECT_LT(r.Out.size(), 5000u);
  ASSERT_TRUE(PumpUntil([&] { return r.Out.size() >= 5000; }));
  EXPECT_EQ(r.Out, data.substr(0, r.Out.size()));
  for (std::size_t i = 0; i + 1 < r.Pieces.size(); ++i) EXPECT_LE(r.Pieces[i], 2000u) << i;
  EXPECT_TRUE(r.Noted("Fault: bandwidth 100 KB/s toward Remote"));
  // Raised to a rate with room to spare, the rest goes quickly and the sender is let go.
  r.Set({"remote:bandwidth=1GB/s"});
  r.Stage->WriteEnd();
  ASSERT_TRUE(PumpUntil([&] { return r.Ends > 0; }));
  EXPECT_EQ(r.Out, data);
  EXPECT_EQ(r.Holds, (std::vector<bool>{true, false}));
}

TEST(FaultStage, AListenersBandwidthIsSharedByItsSessions) {
  TFaults faults;
  TFaultSet set;
  std::string error;
  ASSERT_TRUE(set.Parse({"local:bandwidth=200KB/s,per=listener"}, error));
  faults.SetFaults(set);
  auto a = faults.MakeStage(fdLocal);
  auto b = faults.MakeStage(fdLocal);
  std::size_t gotA = 0, gotB = 0;
  a->OnPass = [&](std::string_view B) { gotA += B.size(); };
  b->OnPass = [&](std::string_view B) { gotB += B.size(); };
  const std::string data = Bytes(200000);
  a->Write(data);
  b->Write(data);
  // Both draw on one bucket: together they get what one would get alone, not twice as much.
  TRun alone({"local:bandwidth=200KB/s"}, fdLocal);
  alone.Stage->Write(data);
  ASSERT_TRUE(PumpUntil([&] { return alone.Out.size() >= 20000; }));
  const std::size_t together = gotA + gotB;
  EXPECT_LT(together, alone.Out.size() * 3 / 2 + 4000) << gotA << " + " << gotB << " vs " << alone.Out.size();
  EXPECT_GT(gotA, 0u);
}

TEST(FaultStage, ChangesReachStagesAlreadyRunning) {
  TRun r({"remote:latency=1s"});
  r.Stage->Write("slow");
  // A stage made before the change gets it on its next byte: no latency now, but "slow" was due in
  // a second and "fast" may not overtake it.
  r.Set({"remote:reset=match:!"});
  r.Stage->Write("fast!");
  r.Stage->Write("never");
  EXPECT_TRUE(r.Out.empty());
  ASSERT_TRUE(PumpUntil([&] { return r.Ends > 0; }, 5000));
  EXPECT_EQ(r.Out, "slowfast!");
  EXPECT_EQ(r.End, seReset);
}

TEST(FaultStage, BypassedBytesPassPastAStall) {
  TRun r({"remote:stall=0"});
  r.Stage->Write("held");
  EXPECT_TRUE(r.Stage->Stalled());
  r.Stage->Bypass("injected");
  EXPECT_EQ(r.Out, "injected");
  r.Set({});
  EXPECT_EQ(r.Out, "injectedheld");
}

TEST(FaultStage, DestroyedWhileWaitingItsTimersNeverFire) {
  const std::size_t before = TStageTimer::RunningCount();
  {
    TRun r({"remote:latency=10ms", "remote:limit=15ms"});
    r.Stage->Write("x");
    EXPECT_EQ(TStageTimer::RunningCount(), before + 2);
  }
  EXPECT_EQ(TStageTimer::RunningCount(), before);
  testsupport::PumpIdle(30);  // a timer that fired into a destroyed stage would crash here
}

TEST(StageChain, StagesRunInOrderAndAnyStageHoldsTheChain) {
  TFaults faults;
  TFaultSet set;
  std::string error;
  ASSERT_TRUE(set.Parse({"remote:corrupt=2", "remote:stall=4"}, error));
  faults.SetFaults(set);
  TStageChain chain;
  std::string out;
  std::vector<bool> holds;
  TStreamEnd end = seOpen;
  chain.OnPass = [&](std::string_view B) { out.append(B); };
  chain.OnHold = [&](bool P) { holds.push_back(P); };
  chain.OnEnd = [&](TStreamEnd How) { end = How; };
  // Without stages the chain passes everything.
  chain.Write("ab");
  EXPECT_EQ(out, "ab");
  chain.Append(faults.MakeStage(fdRemote));
  out.clear();
  chain.Write(std::string(8, '\0'));
  // The corrupt fault counts from its stage's first byte: offsets 1 and 3 flipped, then the stall.
  EXPECT_EQ(out, std::string("\0\1\0\1", 4));
  EXPECT_EQ(chain.Held(), 4u);
  const std::string big(TFaultStage::kHoldBytes + 1, 'x');
  chain.Write(big);
  EXPECT_EQ(holds, (std::vector<bool>{true}));
  chain.WriteEnd();
  faults.SetFaults({});
  EXPECT_EQ(out.size(), 8 + big.size());
  EXPECT_EQ(holds, (std::vector<bool>{true, false}));
  EXPECT_EQ(end, seFinished);
  EXPECT_NE(chain.Find<TFaultStage>(), nullptr);
}

TEST(FaultRefusal, DrawsAtTheProbabilityAndNeverWithoutIt) {
  TFaults faults;
  int refused = 0;
  for (int i = 0; i < 1000; ++i) refused += faults.DrawRefusal();
  EXPECT_EQ(refused, 0);
  TFaultSet set;
  std::string error;
  ASSERT_TRUE(set.Parse({"refuse=1"}, error));
  faults.SetFaults(set);
  for (int i = 0; i < 1000; ++i) refused += faults.DrawRefusal();
  EXPECT_EQ(refused, 1000);
  ASSERT_TRUE(set.Parse({"refuse=0.25"}, error));
  faults.SetFaults(set);
  refused = 0;
  for (int i = 0; i < 4000; ++i) refused += faults.DrawRefusal();
  // 1000 expected; the standard deviation is about 27.
  EXPECT_GT(refused, 800);
  EXPECT_LT(refused, 1200);
  EXPECT_EQ(RefusalTitle(*set.Find(fdListener, fkRefuse)), "Fault: refused at accept (refuse=0.25)");
}

}  // namespace
