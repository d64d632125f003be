// Real redis-cli sessions against a real redis-server, recorded through the relay engine and our
// own capture writer, then replayed as the command line does: against the same server they answer
// the same; against a server that holds another value the first difference is at that value; an
// ignore rule for the value makes it the same again, and one that leaves the value's length out
// does not. The replay's own traffic, saved as a capture, reads back as what went and came.
#include <gtest/gtest.h>

#include "RedisWorld.h"
#include "ReplayRun.h"

using namespace replaytest;

namespace {

TRedisWorld* gWorld = nullptr;

class RedisReplay : public ::testing::Test {
protected:
  static void SetUpTestSuite() { gWorld = new TRedisWorld; }
  static void TearDownTestSuite() {
    delete gWorld;
    gWorld = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(gWorld->Problem.empty()) << gWorld->Problem;
    ASSERT_EQ(gWorld->Output, "alpha\nhello\nPONG\ndone\n");
    std::string error;
    ASSERT_TRUE(ReadCapture(gWorld->Capture, Recorded, error)) << error;
    ASSERT_EQ(Recorded.Sessions.size(), 3u);
    Mget = Recorded.Sessions[0].Number;
    Answers = Recorded.Sessions[0].Stream(edFromRemote);
    ASSERT_EQ(Answers, "*2\r\n$5\r\nalpha\r\n$5\r\nhello\r\n");
    Value = Answers.find("$5\r\nhello");
  }
  TReplayOptions Options(std::uint16_t Port = 0) const {
    TReplayOptions o;
    o.Settings.SettleMs = 50;
    if (Port != 0) o.Settings.RemotePort = std::to_string(Port);
    return o;
  }
  TReplayResult Replay(const TReplayOptions& O) { return RunServed(Recorded.Sessions, O, nullptr); }

  TCapture Recorded;
  std::uint64_t Mget = 0;  // the MGET session's number
  std::string Answers;     // its recorded answers
  std::size_t Value = 0;   // where the answer for greeting starts in them
};

TEST_F(RedisReplay, AgainstTheSameServerItAnswersTheSameAndTheReplayRecordsWhatWentAndCame) {
  for (const TRecordedSession& s : Recorded.Sessions) EXPECT_EQ(s.RemotePort, gWorld->A.Port);
  // As the command line runs it: the default settle time, the recorded address, and its own
  // traffic saved as --save would.
  const std::string saved = gWorld->Dir / "replay.pcapng";
  auto writer = MakeTrafficWriter(sfCapture, saved, false);
  TSavingSink saving(*writer, emText, nullptr);
  std::string report;
  EXPECT_EQ(RunReplay(gWorld->Capture, TReplayOptions{}, &saving, report), 0) << report;
  EXPECT_EQ(report, "same\n  session " + std::to_string(Mget) + ": same, 26 bytes of answers\n  session " +
                        std::to_string(Recorded.Sessions[1].Number) + ": same, 7 bytes of answers\n  session " +
                        std::to_string(Recorded.Sessions[2].Number) + ": same, 10 bytes of answers\n");
  ASSERT_TRUE(writer->Close()) << writer->Error();

  TCapture replayed;
  std::string error;
  ASSERT_TRUE(ReadCapture(saved, replayed, error)) << error;
  ASSERT_EQ(replayed.Sessions.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const TRecordedSession& r = replayed.Sessions[i];
    const TRecordedSession& recorded = Recorded.Sessions[i];
    EXPECT_EQ(r.Number, i + 1);
    EXPECT_EQ(r.RemoteAddr, "127.0.0.1");
    EXPECT_EQ(r.RemotePort, gWorld->A.Port);
    EXPECT_EQ(r.LocalEnd, seFinished);
    EXPECT_EQ(r.RemoteEnd, seFinished);
    EXPECT_EQ(r.Stream(edFromLocal), recorded.Stream(edFromLocal));
    EXPECT_EQ(r.Stream(edFromRemote), recorded.Stream(edFromRemote));
  }
}

// "$5\r\nhello\r\n" against "$11\r\nhello there\r\n": the length's first digit is the first byte
// that differs; the other two sessions answer as recorded.
TEST_F(RedisReplay, AgainstAServerWithAnotherValueTheFirstDifferenceIsAtThatValue) {
  const TReplayResult result = Replay(Options(gWorld->B.Port));
  ASSERT_EQ(result.Sessions.size(), 3u);
  const TSessionOutcome& o = result.Sessions[0];
  EXPECT_EQ(o.Verdict, rvDiffer);
  EXPECT_EQ(o.Comparison.First.RecordedOffset, Value + 1);
  EXPECT_EQ(o.Comparison.First.ReplayedOffset, Value + 1);
  EXPECT_EQ(o.Replayed.Stream(edFromRemote), "*2\r\n$5\r\nalpha\r\n$11\r\nhello there\r\n");
  EXPECT_EQ(result.Sessions[1].Verdict, rvSame);
  EXPECT_EQ(result.Sessions[2].Verdict, rvSame);
  EXPECT_EQ(result.Text().substr(0, result.Text().find('\n')),
            "session " + std::to_string(Mget) + ": the answers differ at offset " + std::to_string(Value + 1));
  EXPECT_NE(result.Text().find("hello\\r\\n\"\n"), std::string::npos) << result.Text();
  EXPECT_NE(result.Text().find("hello there\\r\\n\"\n"), std::string::npos) << result.Text();
  // The command line's status for it; one session alone that answers as recorded.
  std::string report;
  EXPECT_EQ(RunReplay(gWorld->Capture, Options(gWorld->B.Port), nullptr, report), 1) << report;
  EXPECT_EQ(report, result.Text());
  TReplayOptions ping = Options(gWorld->B.Port);
  ping.Session = Recorded.Sessions[1].Number;
  EXPECT_EQ(RunReplay(gWorld->Capture, ping, nullptr, report), 0) << report;
}

TEST_F(RedisReplay, AnIgnoreRuleForThatValueMakesItTheSame) {
  TReplayOptions options = Options(gWorld->B.Port);
  options.Ignore = {R"(\$\d+\r\nhello[^\r]*\r\n)"};
  std::string report;
  EXPECT_EQ(RunReplay(gWorld->Capture, options, nullptr, report), 0) << report;
  EXPECT_NE(report.find("session " + std::to_string(Mget) + ": same, 33 bytes of answers, 1 range ignored"),
            std::string::npos)
      << report;
  // A rule for the value alone leaves its length, which differs first.
  options.Ignore = {R"(hello[^\r]*)"};
  const TReplayResult result = Replay(options);
  ASSERT_EQ(result.Sessions.size(), 3u);
  EXPECT_EQ(result.Sessions[0].Verdict, rvDiffer);
  EXPECT_EQ(result.Sessions[0].Comparison.First.RecordedOffset, Value + 1);
}

}  // namespace
