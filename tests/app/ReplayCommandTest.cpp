// The program's --replay, as a script or a CI job runs it: a saved capture replayed against a
// real server, the verdict as the exit status and the first difference on standard output; bad
// arguments and files that are not captures refused with one line and status 2.
#include <gtest/gtest.h>

#include <algorithm>

#include "ChildProgram.h"
#include "replay/RedisWorld.h"
#include "replay/ReplayRun.h"

using apptest::TChildProgram;
using namespace replaytest;

namespace {

// Runs the program with Args while Server (when given) is served; its exit status (-1 at the
// deadline).
int RunProgram(TChildProgram& P, TScriptServer* Server, int TimeoutMs = 30000) {
  if (!PumpUntil([&] {
        if (Server != nullptr) Server->Service();
        return P.Exited();
      }, TimeoutMs))
    return -1;
  return P.WaitExit(1000);
}

// A line protocol with a time in its answer: "GET k\r\n" is answered "VALUE k <Time>\r\n" and
// "QUIT\r\n" with "BYE\r\n", and the server closes once the client has ended.
TScriptServer::THandler LineServer(std::string Time) {
  return [Time](TServerConn& C) {
    for (std::size_t end; (end = C.Received.find("\r\n")) != std::string::npos;) {
      const std::string line = C.Received.substr(0, end);
      C.Received.erase(0, end + 2);
      if (line.rfind("GET ", 0) == 0) C.Send("VALUE " + line.substr(4) + " " + Time + "\r\n");
      if (line == "QUIT") C.Send("BYE\r\n");
    }
    if (C.Eof) C.Close();
  };
}

class ReplayCommand : public ::testing::Test {
protected:
  // The capture of one session against Port: GET alpha, QUIT, and the answers of a server whose
  // time was 12:00:00.
  void SaveLineSession(std::uint16_t Port, const std::string& Path) {
    TScript s(1, 40001, "127.0.0.1", Port);
    s.Local("GET alpha\r\n").Remote("VALUE alpha 12:00:00\r\n").Local("QUIT\r\n").Remote("BYE\r\n");
    SaveScripts({s}, Path);
  }

  TTempDir Dir;
};

TEST_F(ReplayCommand, AServerThatAnswersAsRecordedIsSameWithStatusZero) {
  TScriptServer server(LineServer("12:00:00"));
  const std::string capture = Dir / "line.pcapng";
  SaveLineSession(server.Port(), capture);
  TChildProgram p({"--replay", capture, "--settle", "50"});
  EXPECT_EQ(RunProgram(p, &server), 0) << p.Err();
  EXPECT_EQ(p.Out(), "same\n  session 1: same, 27 bytes of answers\n");
  EXPECT_EQ(p.Err(), "");
  ASSERT_EQ(server.Conns.size(), 1u);
}

// The first difference: the offset of the first byte that differs (the hour's second digit),
// each side's bytes around it with a caret under it, and status 1. An ignore rule for the time
// makes it the same again; a rule that does not compile is a bad argument.
TEST_F(ReplayCommand, AnotherAnswerIsTheFirstDifferenceWithStatusOneAndAnIgnoreRuleMakesItSame) {
  TScriptServer server(LineServer("13:30:00"));
  const std::string capture = Dir / "line.pcapng";
  SaveLineSession(server.Port(), capture);
  {
    TChildProgram p({"--replay", capture, "--settle", "50"});
    EXPECT_EQ(RunProgram(p, &server), 1) << p.Err();
    const std::size_t offset = std::string("VALUE alpha 1").size();
    EXPECT_EQ(p.Out(), "session 1: the answers differ at offset " + std::to_string(offset) +
                           "\n"
                           "  recorded: \"VALUE alpha 12:00:00\\r\\nBYE\\r\\n\"\n"
                           "                          ^\n"
                           "  replayed: \"VALUE alpha 13:30:00\\r\\nBYE\\r\\n\"\n"
                           "                          ^\n"
                           "  session 1: differs at offset " +
                           std::to_string(offset) + "\n");
  }
  {
    TChildProgram p({"--replay", capture, "--settle", "50", "--ignore", R"(\d\d:\d\d:\d\d)"});
    EXPECT_EQ(RunProgram(p, &server), 0) << p.Err();
    EXPECT_EQ(p.Out(), "same\n  session 1: same, 27 bytes of answers, 1 range ignored\n");
  }
  {
    // Rules count in the order given: a second one that does not compile refuses the run before
    // any connection.
    const std::size_t before = server.Conns.size();
    TChildProgram p({"--replay", capture, "--ignore", "x", "--ignore", "(unclosed"});
    EXPECT_EQ(RunProgram(p, &server), 2);
    EXPECT_EQ(p.Out(), "");
    EXPECT_EQ(p.Err().rfind("vantrel: ignore rule '(unclosed'", 0), 0u) << p.Err();
    EXPECT_EQ(std::count(p.Err().begin(), p.Err().end(), '\n'), 1) << p.Err();
    EXPECT_EQ(server.Conns.size(), before);
  }
}

// --remote-addr and --remote-port stand for the recorded remote side (here a port where nothing
// listens), either alone taking the other from the recording; --save keeps the replay's own
// traffic as a capture that reads back as what went and came.
TEST_F(ReplayCommand, AnotherRemoteSideIsReachedAndTheReplaySavedAsACapture) {
  TScriptServer server(LineServer("12:00:00"));
  const std::string capture = Dir / "line.pcapng";
  const std::uint16_t nothing = UnusedPort();
  SaveLineSession(nothing, capture);
  {
    TChildProgram p({"--replay", capture, "--settle", "50"});
    EXPECT_EQ(RunProgram(p, &server), 1) << p.Err();
    EXPECT_NE(p.Out().find("session 1: failed: "), std::string::npos) << p.Out();
  }
  const std::string saved = Dir / "again.pcapng";
  TChildProgram p({"--replay", capture, "--remote-port", std::to_string(server.Port()), "--settle", "50", "--save", saved});
  EXPECT_EQ(RunProgram(p, &server), 0) << p.Err();
  EXPECT_EQ(p.Out(), "same\n  session 1: same, 27 bytes of answers\n");
  TCapture again;
  std::string error;
  ASSERT_TRUE(ReadCapture(saved, again, error)) << error;
  ASSERT_EQ(again.Sessions.size(), 1u);
  EXPECT_EQ(again.Sessions[0].RemotePort, server.Port());
  EXPECT_EQ(again.Sessions[0].Stream(edFromLocal), "GET alpha\r\nQUIT\r\n");
  EXPECT_EQ(again.Sessions[0].Stream(edFromRemote), "VALUE alpha 12:00:00\r\nBYE\r\n");

  TChildProgram byAddr({"--replay", capture, "--remote-addr", "localhost", "--remote-port",
                        std::to_string(server.Port()), "--original-timing"});
  EXPECT_EQ(RunProgram(byAddr, &server), 0) << byAddr.Err();
  EXPECT_EQ(byAddr.Out().substr(0, 5), "same\n");
}

// Of several sessions, --session picks one by the number the log showed; without it every
// session goes, in the order they began, and one that differs makes the whole differ.
TEST_F(ReplayCommand, SessionPicksOneAndWithoutItEverySessionCounts) {
  TScriptServer server(LineServer("12:00:00"));
  TScript same(4, 40001, "127.0.0.1", server.Port());
  same.Local("GET a\r\n").Remote("VALUE a 12:00:00\r\n");
  TScript other(9, 40002, "127.0.0.1", server.Port());
  other.Local("GET b\r\n").Remote("VALUE b 11:00:00\r\n");
  const std::string capture = Dir / "two.pcapng";
  SaveScripts({same, other}, capture);
  {
    TChildProgram p({"--replay", capture, "--session", "4", "--settle", "50"});
    EXPECT_EQ(RunProgram(p, &server), 0) << p.Err();
    EXPECT_EQ(p.Out(), "same\n  session 4: same, 18 bytes of answers\n");
  }
  {
    TChildProgram p({"--replay", capture, "--settle", "50"});
    EXPECT_EQ(RunProgram(p, &server), 1) << p.Err();
    EXPECT_EQ(p.Out().rfind("session 9: the answers differ at offset 9\n", 0), 0u) << p.Out();
    EXPECT_NE(p.Out().find("\n  session 4: same, 18 bytes of answers\n  session 9: differs at offset 9\n"),
              std::string::npos)
        << p.Out();
  }
  {
    TChildProgram p({"--replay", capture, "--session", "5"});
    EXPECT_EQ(RunProgram(p, &server), 2);
    EXPECT_EQ(p.Err(), "vantrel: " + capture + ": the recording has no session 5: its sessions are 4, 9\n");
    EXPECT_EQ(p.Out(), "");
  }
}

// Files that are not captures, or no file at all: status 2 and one line that names the file and
// says why, nothing on standard output.
TEST_F(ReplayCommand, AFileThatIsNotACaptureIsRefusedWithStatusTwo) {
  struct TCase {
    const char* Name;
    std::string Bytes;  // the file's; "-" for no file
    std::string Why;
  };
  const TCase cases[] = {
      {"missing", "-", "No such file or directory"},
      {"empty", "", "the file is empty: it is not a capture"},
      {"text", "GET / HTTP/1.1\r\n\r\n", "not a capture: a pcapng file starts with a section header"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string path = Dir / (std::string(c.Name) + ".pcapng");
    if (c.Bytes != "-") WriteFile(path, c.Bytes);
    TChildProgram p({"--replay", path});
    EXPECT_EQ(p.WaitExit(), 2);
    EXPECT_EQ(p.Err(), "vantrel: " + path + ": " + c.Why + "\n");
    EXPECT_EQ(p.Out(), "");
  }
}

struct TBadReplayArguments {
  const char* Name;
  std::vector<std::string> Args;  // "CAPTURE" stands for a capture's path
  const char* Message;
};

void PrintTo(const TBadReplayArguments& C, std::ostream* Out) { *Out << C.Name; }

class BadReplayArguments : public ::testing::TestWithParam<TBadReplayArguments> {};

// Refused while the options are read, before the file is: the capture named may not even exist.
TEST_P(BadReplayArguments, AreRefusedWithOneLineAndStatusTwo) {
  std::vector<std::string> args = GetParam().Args;
  for (std::string& a : args)
    if (a == "CAPTURE") a = "/nonexistent/x.pcapng";
  TChildProgram p(args);
  EXPECT_EQ(p.WaitExit(), 2);
  EXPECT_EQ(p.Err(), std::string("vantrel: ") + GetParam().Message + "\n");
  EXPECT_EQ(p.Out(), "");
}

INSTANTIATE_TEST_SUITE_P(
    CommandLine, BadReplayArguments,
    ::testing::Values(
        TBadReplayArguments{"SessionLetters", {"--replay", "CAPTURE", "--session", "two"},
                            "--session: expected a session number from 1 up, got 'two'"},
        TBadReplayArguments{"SessionZero", {"--replay", "CAPTURE", "--session", "0"},
                            "--session: expected a session number from 1 up, got '0'"},
        TBadReplayArguments{"SessionSigned", {"--replay", "CAPTURE", "--session", "+3"},
                            "--session: expected a session number from 1 up, got '+3'"},
        TBadReplayArguments{"SessionBeyondAnyNumber", {"--replay", "CAPTURE", "--session", "99999999999999999999999"},
                            "--session: expected a session number from 1 up, got '99999999999999999999999'"},
        TBadReplayArguments{"SettleNegative", {"--replay", "CAPTURE", "--settle=-5"},
                            "--settle: expected milliseconds from 0 to 600000, got '-5'"},
        TBadReplayArguments{"SettleTooLong", {"--replay", "CAPTURE", "--settle", "600001"},
                            "--settle: expected milliseconds from 0 to 600000, got '600001'"},
        TBadReplayArguments{"ReplayEmpty", {"--replay", ""},
                            "--replay: expected the path of a capture file (.pcapng), got an empty text"},
        TBadReplayArguments{"ReplayWithoutFile", {"--replay"}, "Missing value after '--replay'."},
        TBadReplayArguments{"RemotePortBad", {"--replay", "CAPTURE", "--remote-port", "0"},
                            "--remote-port: expected a port number from 1 to 65535, got '0'"},
        TBadReplayArguments{"WithHeadless", {"--replay", "CAPTURE", "--headless"},
                            "--headless: not with --replay, which connects to the remote side and listens on nothing"},
        TBadReplayArguments{"WithLocalPort", {"--replay", "CAPTURE", "--local-port", "8080"},
                            "--local-port: not with --replay, which connects to the remote side and listens on nothing"},
        TBadReplayArguments{"SessionWithoutReplay", {"--session", "3"}, "--session: only with --replay FILE"},
        TBadReplayArguments{"IgnoreWithoutReplay",
                            {"--headless", "--local-port", "0", "--remote-addr", "h", "--remote-port", "1", "--ignore", "x"},
                            "--ignore: only with --replay FILE"},
        TBadReplayArguments{"OriginalTimingWithoutReplay", {"--original-timing"},
                            "--original-timing: only with --replay FILE"},
        TBadReplayArguments{"SaveToAnUnknownKindOfFile", {"--replay", "CAPTURE", "--save", "/tmp/x.dat"},
                            "--save: expected a file ending in .pcapng or .txt, or a folder (ending in /), got "
                            "'/tmp/x.dat'"}),
    [](const ::testing::TestParamInfo<TBadReplayArguments>& Info) { return std::string(Info.param.Name); });

// Real redis-cli sessions recorded through the relay, replayed by the program against a real
// redis-server: the same server answers the same; one that holds another value differs at the
// first byte of that value's length; an ignore rule for the value makes it the same.
TRedisWorld* gWorld = nullptr;

class RedisReplayCommand : public ::testing::Test {
protected:
  static void SetUpTestSuite() { gWorld = new TRedisWorld; }
  static void TearDownTestSuite() {
    delete gWorld;
    gWorld = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(gWorld->Problem.empty()) << gWorld->Problem;
    ASSERT_EQ(gWorld->Output, "alpha\nhello\nPONG\ndone\n");
    TCapture recorded;
    std::string error;
    ASSERT_TRUE(ReadCapture(gWorld->Capture, recorded, error)) << error;
    ASSERT_EQ(recorded.Sessions.size(), 3u);
    Mget = recorded.Sessions[0].Number;
  }
  std::uint64_t Mget = 0;  // the number of the MGET session, the first
};

TEST_F(RedisReplayCommand, SameDifferentAtTheValueAndSameWithAnIgnoreRule) {
  TChildProgram same({"--replay", gWorld->Capture, "--settle", "50"});
  EXPECT_EQ(same.WaitExit(30000), 0) << same.Err();
  const std::string sameOut = same.Out();
  EXPECT_EQ(sameOut.substr(0, 5), "same\n") << sameOut;
  EXPECT_EQ(std::count(sameOut.begin(), sameOut.end(), '\n'), 4) << sameOut;

  // "*2\r\n$5\r\nalpha\r\n$5\r\nhello\r\n": the recorded length of the greeting, "5", is at 16.
  const std::string port = std::to_string(gWorld->B.Port);
  TChildProgram differ({"--replay", gWorld->Capture, "--remote-port", port, "--settle", "50"});
  EXPECT_EQ(differ.WaitExit(30000), 1) << differ.Err();
  const std::string out = differ.Out();
  EXPECT_EQ(out.substr(0, out.find('\n')), "session " + std::to_string(Mget) + ": the answers differ at offset 16") << out;
  EXPECT_NE(out.find("  recorded: \"*2\\r\\n$5\\r\\nalpha\\r\\n$5\\r\\nhello\\r\\n\"\n"), std::string::npos) << out;
  EXPECT_NE(out.find("  replayed: \"*2\\r\\n$5\\r\\nalpha\\r\\n$11\\r\\nhello there\\r\\n\"\n"), std::string::npos) << out;

  TChildProgram ignored({"--replay", gWorld->Capture, "--remote-port", port, "--settle", "50", "--ignore",
                         R"(\$\d+\r\nhello[^\r]*\r\n)"});
  EXPECT_EQ(ignored.WaitExit(30000), 0) << ignored.Err();
  EXPECT_NE(ignored.Out().find("session " + std::to_string(Mget) + ": same, 33 bytes of answers, 1 range ignored\n"), std::string::npos)
      << ignored.Out();
}

}  // namespace
