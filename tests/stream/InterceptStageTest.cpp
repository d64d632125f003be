// The intercept stage on its own: which chunks it holds, the order in which decisions let them go
// whatever the order they are taken in, edits of any length, drops, the end of stream behind held
// chunks, its hold on the sender at either bound, switching it off, and a session's end while it
// holds. The relay's end-to-end tests drive the same stage between real sockets.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "stream/FaultStage.h"
#include "stream/InterceptStage.h"

namespace {

struct TLeft {
  std::uint64_t Number;
  TInterceptAction How;
  std::string Sent;
};

// A stage toward Remote with everything it raises recorded.
struct TRun {
  TInterceptStage Stage{7, fdRemote};
  std::string Out;
  std::vector<std::string> Pieces;
  std::vector<TInterceptedChunk> HeldChunks;
  std::vector<TLeft> Left;
  std::vector<bool> Holds;
  int Ends = 0;

  explicit TRun(std::string Match = std::string()) {
    Stage.SetMatch(std::move(Match));
    Stage.OnPass = [this](std::string_view B) {
      Out.append(B);
      Pieces.emplace_back(B);
    };
    Stage.OnEnd = [this](TStreamEnd) { ++Ends; };
    Stage.OnHold = [this](bool P) { Holds.push_back(P); };
    Stage.OnChunkHeld = [this](const TInterceptedChunk& C) { HeldChunks.push_back(C); };
    Stage.OnChunkLeft = [this](const TInterceptedChunk& C, TInterceptAction How, std::string_view Sent) {
      Left.push_back({C.Number, How, std::string(Sent)});
    };
  }
  std::uint64_t Number(std::size_t I) const { return HeldChunks.at(I).Number; }
};

TEST(InterceptStage, AnEmptyMatchHoldsEveryChunkAndNumbersThemInOrder) {
  TRun r;
  r.Stage.Write("one");
  r.Stage.Write("two");
  EXPECT_TRUE(r.Out.empty());
  ASSERT_EQ(r.HeldChunks.size(), 2u);
  EXPECT_EQ(r.HeldChunks[0].Bytes, "one");
  EXPECT_EQ(r.HeldChunks[0].Session, 7u);
  EXPECT_EQ(r.HeldChunks[0].Direction, fdRemote);
  EXPECT_LT(r.Number(0), r.Number(1));
  EXPECT_EQ(r.Stage.Undecided(), 2u);
  EXPECT_EQ(r.Stage.Held(), 6u);
}

TEST(InterceptStage, AChunkThatDoesNotMatchPassesAtOnceButWaitsBehindAHeldOne) {
  TRun r("HOLD");
  r.Stage.Write("free;");
  EXPECT_EQ(r.Out, "free;");
  r.Stage.Write("a HOLD b;");
  r.Stage.Write("behind;");
  EXPECT_EQ(r.Out, "free;") << "the chunk behind the held one overtook it";
  EXPECT_EQ(r.HeldChunks.size(), 1u);
  EXPECT_EQ(r.Stage.Queued(), 2u);
  ASSERT_TRUE(r.Stage.Decide(r.Number(0), iaForward));
  EXPECT_EQ(r.Out, "free;a HOLD b;behind;");
  EXPECT_EQ(r.Stage.Held(), 0u);
}

TEST(InterceptStage, AMatchSplitBetweenChunksHoldsTheChunkWhereItEnds) {
  TRun r("QUIT\r\n");
  r.Stage.Write("HELLO\r\nQU");
  r.Stage.Write("I");
  EXPECT_EQ(r.Out, "HELLO\r\nQUI");
  r.Stage.Write("T\r\nMORE");
  ASSERT_EQ(r.HeldChunks.size(), 1u);
  EXPECT_EQ(r.HeldChunks[0].Bytes, "T\r\nMORE");
  // A match that ended in a chunk before is not found again.
  r.Stage.Write("ok");
  EXPECT_EQ(r.HeldChunks.size(), 1u);
}

TEST(InterceptStage, DecisionsTakenOutOfOrderLetChunksGoInOrder) {
  TRun r;
  for (const char* c : {"first;", "second;", "third;"}) r.Stage.Write(c);
  ASSERT_TRUE(r.Stage.Decide(r.Number(2), iaForward));
  ASSERT_TRUE(r.Stage.Decide(r.Number(1), iaDrop));
  EXPECT_TRUE(r.Out.empty()) << "decided chunks left before the undecided one ahead of them";
  EXPECT_TRUE(r.Left.empty());
  ASSERT_TRUE(r.Stage.Decide(r.Number(0), iaEdit, "1st, longer;"));
  EXPECT_EQ(r.Out, "1st, longer;third;");
  ASSERT_EQ(r.Left.size(), 3u);
  EXPECT_EQ(r.Left[0].How, iaEdit);
  EXPECT_EQ(r.Left[0].Sent, "1st, longer;");
  EXPECT_EQ(r.Left[1].How, iaDrop);
  EXPECT_EQ(r.Left[1].Sent, "");
  EXPECT_EQ(r.Left[2].How, iaForward);
  EXPECT_EQ(r.Stage.PassedBytes(), r.Out.size());
}

TEST(InterceptStage, EditsMayShortenOrLengthenAndAreSentAsOnePiece) {
  TRun r;
  r.Stage.Write(std::string(1000, 'a'));
  r.Stage.Write("xyz");
  ASSERT_TRUE(r.Stage.Decide(r.Number(0), iaEdit, "b"));
  ASSERT_TRUE(r.Stage.Decide(r.Number(1), iaEdit, std::string(5000, '\0')));
  EXPECT_EQ(r.Pieces, (std::vector<std::string>{"b", std::string(5000, '\0')}));
}

TEST(InterceptStage, ADecisionOnAChunkNotHeldOrDecidedAlreadyIsRefused) {
  TRun r;
  r.Stage.Write("x");
  r.Stage.Write("y");
  EXPECT_FALSE(r.Stage.Decide(0, iaForward));
  EXPECT_FALSE(r.Stage.Decide(r.Number(1) + 100, iaForward));
  EXPECT_FALSE(r.Stage.Decide(r.Number(0), iaUndecided));
  ASSERT_TRUE(r.Stage.Decide(r.Number(1), iaDrop));
  EXPECT_FALSE(r.Stage.Decide(r.Number(1), iaForward)) << "a decided chunk was decided again";
  ASSERT_TRUE(r.Stage.Decide(r.Number(0), iaForward));
  EXPECT_FALSE(r.Stage.Decide(r.Number(0), iaForward)) << "a chunk gone was decided again";
  EXPECT_EQ(r.Out, "x");
}

TEST(InterceptStage, TheEndOfStreamWaitsBehindHeldChunks) {
  TRun r;
  r.Stage.Write("last words");
  r.Stage.WriteEnd();
  EXPECT_EQ(r.Ends, 0);
  r.Stage.ForwardAll();
  EXPECT_EQ(r.Out, "last words");
  EXPECT_EQ(r.Ends, 1);
  r.Stage.Write("after the end");
  EXPECT_EQ(r.Out, "last words");
}

TEST(InterceptStage, HoldsTheSenderAtTheByteBoundAndLetsGoBelowHalf) {
  TRun r;
  const std::string chunk(64 << 10, 'k');
  const std::size_t toHold = TInterceptStage::kHoldBytes / chunk.size();
  for (std::size_t i = 0; i + 1 < toHold; ++i) r.Stage.Write(chunk);
  EXPECT_TRUE(r.Holds.empty());
  r.Stage.Write(chunk);
  EXPECT_EQ(r.Holds, std::vector<bool>{true});
  EXPECT_TRUE(r.Stage.Holding());
  // Half gone is not yet below half.
  for (std::size_t i = 0; i < toHold / 2; ++i) ASSERT_TRUE(r.Stage.Decide(r.Number(i), iaForward));
  EXPECT_TRUE(r.Stage.Holding());
  ASSERT_TRUE(r.Stage.Decide(r.Number(toHold / 2), iaDrop));
  EXPECT_EQ(r.Holds, (std::vector<bool>{true, false}));
  EXPECT_EQ(r.Stage.MostHeld(), TInterceptStage::kHoldBytes);
}

TEST(InterceptStage, HoldsTheSenderAtTheChunkBoundHoweverSmallTheChunks) {
  TRun r;
  for (std::size_t i = 0; i < TInterceptStage::kHoldChunks; ++i) r.Stage.Write("c");
  EXPECT_EQ(r.Holds, std::vector<bool>{true});
  EXPECT_LT(r.Stage.Held(), TInterceptStage::kHoldBytes);
  r.Stage.ForwardAll();
  EXPECT_EQ(r.Holds, (std::vector<bool>{true, false}));
  EXPECT_EQ(r.Out, std::string(TInterceptStage::kHoldChunks, 'c'));
}

TEST(InterceptStage, SwitchedOffItLetsTheQueueGoInOrderAsDecidedAndPassesTheRest) {
  TRun r("!");
  r.Stage.Write("a!");
  r.Stage.Write("b");
  r.Stage.Write("c!");
  ASSERT_TRUE(r.Stage.Decide(r.Number(1), iaEdit, "C"));
  r.Stage.SetActive(false);
  EXPECT_EQ(r.Out, "a!bC");
  r.Stage.Write("d!");
  EXPECT_EQ(r.Out, "a!bCd!");
  EXPECT_EQ(r.HeldChunks.size(), 2u);
  r.Stage.SetActive(true);
  r.Stage.Write("e!");
  EXPECT_EQ(r.HeldChunks.size(), 3u);
}

TEST(InterceptStage, AbandonedItReportsEveryHeldChunkLostAndPassesNothing) {
  TRun r("H");
  r.Stage.Write("H1");
  r.Stage.Write("plain");
  r.Stage.Write("H2");
  ASSERT_TRUE(r.Stage.Decide(r.Number(1), iaForward));
  r.Stage.Abandon();
  EXPECT_TRUE(r.Out.empty());
  ASSERT_EQ(r.Left.size(), 2u);
  EXPECT_EQ(r.Left[0].How, iaLost);
  EXPECT_EQ(r.Left[1].How, iaLost);
  EXPECT_EQ(r.Stage.Held(), 0u);
  EXPECT_EQ(r.Stage.Queued(), 0u);
  EXPECT_FALSE(r.Stage.Decide(r.Number(0), iaForward));
}

// First in line before a fault stage, as the relay puts it: the edit goes through the fault,
// and the chain holds while either stage does.
TEST(InterceptStage, InAChainBeforeAFaultStageItsEditsMeetTheFault) {
  TFaults faults;
  TFaultSet set;
  std::string error;
  ASSERT_TRUE(set.Parse({"remote:corrupt=3"}, error)) << error;
  faults.SetFaults(set);
  TStageChain chain;
  chain.Append(faults.MakeStage(fdRemote));
  auto made = std::make_unique<TInterceptStage>(1, fdRemote);
  TInterceptStage* stage = made.get();
  chain.Add(std::move(made));
  std::vector<std::uint64_t> held;
  stage->OnChunkHeld = [&](const TInterceptedChunk& C) { held.push_back(C.Number); };
  std::string out;
  chain.OnPass = [&](std::string_view B) { out.append(B); };
  std::vector<bool> holds;
  chain.OnHold = [&](bool P) { holds.push_back(P); };
  chain.Write("abc");
  EXPECT_TRUE(out.empty());
  for (std::size_t i = 1; i < TInterceptStage::kHoldChunks; ++i) chain.Write("d");
  EXPECT_EQ(holds, std::vector<bool>{true});
  ASSERT_TRUE(stage->Decide(held.at(0), iaEdit, "xyz"));
  EXPECT_EQ(out, std::string("xy") + static_cast<char>('z' ^ 1));
  EXPECT_TRUE(chain.Holding());
  stage->ForwardAll();
  EXPECT_FALSE(chain.Holding());
}

}  // namespace
