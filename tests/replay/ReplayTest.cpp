// Replays against servers of the test's own on loopback: the settle time waits for an answer that
// comes in parts, the original timing keeps the recorded gaps whatever the server does, a refusal
// and a reset are reported, every session is replayed in the order it began with the first
// difference named, a name with several addresses is tried in turn, and the command line's
// status 2 for what cannot be replayed.
#include <gtest/gtest.h>

#include "ReplayRun.h"

using namespace replaytest;

namespace {

// Sessions of a record taken out as the window's replay takes them.
std::vector<TRecordedSession> FromRecord(const std::vector<TScript>& Scripts, const std::vector<std::int64_t>& Starts = {}) {
  TTrafficRecord record;
  std::vector<TRecordedSession> out;
  std::int64_t t = 1765000000000000;
  for (std::size_t i = 0; i < Scripts.size(); ++i) {
    Scripts[i].Write(record, Starts.empty() ? t : Starts[i]);
    t += 1000000;
  }
  for (const TScript& s : Scripts) {
    TRecordedSession r;
    std::string error;
    EXPECT_TRUE(SessionFromRecord(record, s.Info.Id, r, error)) << error;
    out.push_back(std::move(r));
  }
  return out;
}

TReplayOptions To(std::uint16_t Port, std::uint32_t SettleMs = 100) {
  TReplayOptions o;
  o.Settings.RemoteAddr = "127.0.0.1";
  o.Settings.RemotePort = std::to_string(Port);
  o.Settings.SettleMs = SettleMs;
  return o;
}

// The server answers "A" in six parts 200 ms apart: with a settle time of 700 ms the replay sends
// "B" only once the last part has come (sending it the settle time after "A" went, or after the
// first part came, would put it before the last parts).
TEST(Replay, TheSettleTimeWaitsUntilAnAnswerInPartsHasWhollyCome) {
  TScriptServer server([](TServerConn& C) {
    using namespace std::chrono;
    if (C.Stage == 0 && C.Received.find("A\n") != std::string::npos) {
      C.Send("p0");
      C.Mark = steady_clock::now();
      C.Stage = 1;
    }
    if (C.Stage >= 1 && C.Stage < 6 && steady_clock::now() - C.Mark >= milliseconds(200)) {
      C.Send("p" + std::to_string(C.Stage++));
      C.Mark = steady_clock::now();
    }
    if (C.Received.find("B\n") != std::string::npos && C.Log.empty()) {
      C.Log.push_back("B after " + std::to_string(C.Stage) + " parts");
      C.Send("bye\n");
    }
    if (C.Eof) C.Close();
  });
  TScript script(1, 40001, "10.0.0.5", 80);
  script.Local("A\n").Remote("p0p1p2p3p4p5").Local("B\n").Remote("bye\n");
  TCollectingSink sink;
  const TReplayResult result = RunServed(FromRecord({script}), To(server.Port(), 700), &server, &sink);
  ASSERT_EQ(server.Conns.size(), 1u);
  EXPECT_EQ(server.Conns[0]->Log, std::vector<std::string>{"B after 6 parts"});
  EXPECT_EQ(server.Conns[0]->Received, "A\nB\n");
  ASSERT_EQ(result.Sessions.size(), 1u);
  EXPECT_EQ(result.Sessions[0].Verdict, rvSame) << result.Text();
  EXPECT_EQ(result.Text().substr(0, 5), "same\n");
  // The new session as the log gets it, with the relay's titles.
  const std::vector<std::string> titles = sink.Titles();
  ASSERT_GE(titles.size(), 5u);
  EXPECT_EQ(titles[0], "Connection Opened");
  EXPECT_EQ(titles[1], "From Local");
  EXPECT_EQ(titles.back(), "Connection Closed");
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "End of Stream from Local"), 1);
  EXPECT_EQ(std::count(titles.begin(), titles.end(), "End of Stream from Remote"), 1);
  ASSERT_FALSE(sink.Facts.empty());
  EXPECT_EQ(sink.Facts.back().State, ssClosed);
  EXPECT_EQ(sink.Facts.back().RemoteAddr, "127.0.0.1");
  EXPECT_NE(sink.Facts.back().LocalPort, 0);
}

// A server that chatters for two seconds after "A", a byte every 50 ms, and stops at "B".
TScriptServer::THandler Chatterer() {
  return [](TServerConn& C) {
    using namespace std::chrono;
    if (C.Stage == 0 && C.Received.find("A\n") != std::string::npos) {
      C.Stage = 1;
      C.Mark = steady_clock::now();
      C.Log.push_back("A");
    }
    const bool b = C.Received.find("B\n") != std::string::npos;
    if (C.Stage >= 1 && C.Stage <= 40 && !b && steady_clock::now() - C.Mark >= milliseconds(50) * C.Stage) {
      C.Send(".");
      ++C.Stage;
    }
    if (b && C.Log.size() == 1) {
      const auto since = duration_cast<milliseconds>(steady_clock::now() - C.Mark).count();
      C.Log.push_back(C.Stage > 40 ? "B after the chatter" : "B during the chatter");
      // The server sees "A" up to a pump round late: a little under the recorded 400 ms.
      C.Log.push_back(since >= 350 ? "about 400 ms after A or later" : "sooner: " + std::to_string(since) + " ms");
    }
    if (C.Eof) C.Close();
  };
}

TEST(Replay, TheOriginalTimingKeepsTheRecordedGapsWhereSettleWaitsForQuiet) {
  TScript script(1, 40001, "10.0.0.5", 80);
  script.Local("A\n", 0).Remote("...", 10000).Local("B\n", 400000);
  {
    TScriptServer server(Chatterer());
    TReplayOptions options = To(server.Port(), 150);
    options.Settings.OriginalTiming = true;
    // The original timing sends "A" as soon as the connection is made.
    RunServed(FromRecord({script}), options, &server);
    ASSERT_EQ(server.Conns.size(), 1u);
    EXPECT_EQ(server.Conns[0]->Log, (std::vector<std::string>{"A", "B during the chatter", "about 400 ms after A or later"}));
    EXPECT_EQ(server.Conns[0]->Received, "A\nB\n");
  }
  {
    TScriptServer server(Chatterer());
    // Gaps of 50 ms are no quiet of 300 ms.
    RunServed(FromRecord({script}), To(server.Port(), 300), &server);
    ASSERT_EQ(server.Conns.size(), 1u);
    EXPECT_EQ(server.Conns[0]->Log, (std::vector<std::string>{"A", "B after the chatter", "about 400 ms after A or later"}));
  }
}

TEST(Replay, ARemoteThatRefusesIsAFailureThatSaysSo) {
  TScript script(5, 40005, "10.0.0.5", 80);
  script.Local("PING\r\n").Remote("+PONG\r\n");
  const std::uint16_t port = UnusedPort();
  TCollectingSink sink;
  const TReplayResult result = RunServed(FromRecord({script}), To(port), nullptr, &sink);
  ASSERT_EQ(result.Sessions.size(), 1u);
  const TSessionOutcome& o = result.Sessions[0];
  EXPECT_EQ(o.Verdict, rvFailed);
  EXPECT_FALSE(o.Replayed.Connected);
  EXPECT_EQ(o.Note, "the connection to 127.0.0.1 port " + std::to_string(port) + " failed: Connection refused");
  EXPECT_EQ(result.ExitCode(), 1);
  EXPECT_EQ(result.FirstDifference(), &o);
  EXPECT_EQ(result.Text().substr(0, result.Text().find('\n')), "session 5: " + o.Note);
  EXPECT_EQ(sink.Titles(), std::vector<std::string>{"Error: Connection failed"});
  EXPECT_EQ(sink.Facts.back().State, ssFailed);
}

TEST(Replay, ARemoteThatResetsBeforeTheLastChunkIsAFailureThatSaysHowFarItGot) {
  TScriptServer server([](TServerConn& C) {
    if (C.Received.find("A\n") != std::string::npos) C.Reset();
  });
  TScript script(2, 40002, "10.0.0.5", 80);
  script.Local("A\n").Remote("a\n").Local("B\n").Remote("b\n");
  const TReplayResult result = RunServed(FromRecord({script}), To(server.Port()), &server);
  ASSERT_EQ(result.Sessions.size(), 1u);
  const TSessionOutcome& o = result.Sessions[0];
  EXPECT_NE(o.Verdict, rvSame);
  EXPECT_EQ(o.Replayed.Info.RemoteEnd, seReset);
  EXPECT_EQ(o.Replayed.Steps, 1u);
  EXPECT_EQ(o.Replayed.Error, "the remote side reset the connection after 1 of 2 chunks");
  EXPECT_EQ(result.ExitCode(), 1);
}

// Sessions 6, 4 and 5 began in that order; 4 and 5 are answered otherwise than recorded.
TEST(Replay, EverySessionGoesInTheOrderItBeganAndTheFirstThatDiffersIsNamed) {
  TScriptServer server([](TServerConn& C) {
    if (C.Stage == 0 && C.Received.size() >= 2) {
      C.Log.push_back(C.Received.substr(0, 2));
      C.Send("answer to " + C.Received.substr(0, 2));
      C.Stage = 1;
    }
    if (C.Eof) C.Close();
  });
  TScript s4(4, 40004, "10.0.0.5", 80), s5(5, 40005, "10.0.0.5", 80), s6(6, 40006, "10.0.0.5", 80);
  s4.Local("s4").Remote("answer to s4, recorded");
  s5.Local("s5").Remote("answer to sX");
  s6.Local("s6").Remote("answer to s6");
  const std::int64_t t = 1765000000000000;
  auto sessions = FromRecord({s4, s5, s6}, {t + 2000000, t + 3000000, t + 1000000});
  TReplayOptions options = To(server.Port(), 50);
  options.Settings.RemoteAddr = "localhost";  // its addresses in turn: only 127.0.0.1 listens
  const TReplayResult all = RunServed(sessions, options, &server);
  ASSERT_EQ(server.Conns.size(), 3u);
  std::vector<std::string> order;
  for (const auto& c : server.Conns) order.push_back(c->Log.empty() ? "" : c->Log[0]);
  EXPECT_EQ(order, (std::vector<std::string>{"s6", "s4", "s5"}));
  ASSERT_EQ(all.Sessions.size(), 3u);
  EXPECT_EQ(all.Sessions[0].Number, 6u);
  EXPECT_EQ(all.Sessions[0].Verdict, rvSame);
  EXPECT_EQ(all.Sessions[1].Verdict, rvDiffer);
  EXPECT_EQ(all.Sessions[2].Verdict, rvDiffer);
  ASSERT_NE(all.FirstDifference(), nullptr);
  EXPECT_EQ(all.FirstDifference()->Number, 4u);
  EXPECT_EQ(all.FirstDifference()->Comparison.First.RecordedOffset, 12u);
  EXPECT_TRUE(all.FirstDifference()->Comparison.First.ReplayedEnded);
  const std::string text = all.Text();
  EXPECT_EQ(text.substr(0, text.find('\n')), "session 4: the answers differ at offset 12") << text;
  EXPECT_NE(text.find("  session 6: same, 12 bytes of answers\n  session 4: differs at offset 12\n"
                      "  session 5: differs at offset 11\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(all.ExitCode(), 1);
  // One session alone: the one that answers as recorded.
  options.Session = 6;
  const TReplayResult one = RunServed(sessions, options, &server);
  ASSERT_EQ(one.Sessions.size(), 1u);
  EXPECT_EQ(one.Sessions[0].Number, 6u);
  EXPECT_EQ(one.ExitCode(), 0);
  // Each new session got its own number in the log.
  EXPECT_EQ(all.Sessions[0].Replayed.Info.Id, 1u);
  EXPECT_EQ(all.Sessions[2].Replayed.Info.Id, 3u);
}

// What the command line answers with status 2: arguments and captures that cannot be replayed,
// each with one line that says why.
TEST(Replay, TheCommandLineSaysWhyItCannotReplayWithStatusTwo) {
  TTempDir dir;
  TScript a(1, 40001, "127.0.0.1", UnusedPort()), b(2, 40002, "127.0.0.1", 80);
  a.Local("x").Remote("y");
  const std::string good = dir / "good.pcapng";
  SaveScripts({a, b}, good);
  auto status = [](const std::string& Path, const TReplayOptions& O, std::string& Report) {
    const int s = RunReplay(Path, O, nullptr, Report);
    EXPECT_EQ(Report.find('\n'), Report.size() - 1) << Report;  // one line
    return s;
  };
  std::string report;
  TReplayOptions options;
  options.Session = 9;
  EXPECT_EQ(status(good, options, report), 2);
  EXPECT_EQ(report, good + ": the recording has no session 9: its sessions are 1, 2\n");
  WriteFile(dir / "text.pcapng", "not a capture\n");
  EXPECT_EQ(status(dir / "text.pcapng", {}, report), 2);
  EXPECT_EQ(report, dir / "text.pcapng" + ": not a capture: a pcapng file starts with a section header\n");
  WriteFile(dir / "cut.pcapng", ReadFile(good).substr(0, 150));
  EXPECT_EQ(status(dir / "cut.pcapng", {}, report), 2);
  EXPECT_NE(report.find("is truncated"), std::string::npos) << report;
  EXPECT_EQ(status(dir / "none.pcapng", {}, report), 2);
  EXPECT_EQ(report, dir / "none.pcapng" + ": No such file or directory\n");
  options.Session.reset();
  options.Ignore = {"(unclosed"};
  EXPECT_EQ(status(good, options, report), 2);
  EXPECT_EQ(report.rfind("ignore rule '(unclosed': ", 0), 0u) << report;

  // A session that never connected cannot be chosen, and a capture of such sessions alone has
  // nothing to replay.
  TTrafficRecord record;
  TSessionInfo failed;
  failed.Id = 3;
  failed.LocalAddr = "127.0.0.1";
  failed.LocalPort = 40003;
  failed.RemoteAddr = "127.0.0.1";
  failed.RemotePort = 81;
  failed.StartUs = 1765000000000000;
  failed.EndUs = failed.StartUs + 10;
  failed.State = ssFailed;
  failed.Reason = "Connection refused";
  record.SetSession(failed);
  std::string error;
  ASSERT_TRUE(SaveRecord(record, dir / "failed.pcapng", sfCapture, error)) << error;
  options = {};
  options.Session = 3;
  EXPECT_EQ(status(dir / "failed.pcapng", options, report), 2);
  EXPECT_EQ(report, dir / "failed.pcapng" + ": session 3 cannot be replayed: it never connected (Connection refused)\n");
  options.Session.reset();
  EXPECT_EQ(status(dir / "failed.pcapng", options, report), 2);
  EXPECT_EQ(report, dir / "failed.pcapng" +
                        ": no session of the recording can be replayed: session 3: it never connected (Connection refused)\n");
}

// Without a chosen session, one that never connected is passed over and said to be.
TEST(Replay, ASessionThatNeverConnectedIsSkippedAmongOthers) {
  TScriptServer server([](TServerConn& C) {
    if (C.Stage == 0 && !C.Received.empty()) {
      C.Send("y");
      C.Stage = 1;
    }
    if (C.Eof) C.Close();
  });
  TScript a(1, 40001, "10.0.0.5", 80);
  a.Local("x").Remote("y");
  auto sessions = FromRecord({a});
  TRecordedSession never;
  never.Number = 2;
  never.StartUs = sessions[0].StartUs + 5;
  never.Reason = "no such host";
  sessions.push_back(never);
  const TReplayResult result = RunServed(sessions, To(server.Port(), 50), &server);
  ASSERT_EQ(result.Sessions.size(), 2u);
  EXPECT_EQ(result.Sessions[1].Verdict, rvSkipped);
  EXPECT_EQ(result.Sessions[1].Note, "it never connected (no such host)");
  EXPECT_EQ(result.ExitCode(), 0);
  EXPECT_NE(result.Text().find("  session 2: skipped: it never connected (no such host)\n"), std::string::npos);
}

}  // namespace

namespace {

// A replay that goes away in the middle (the window closed): its connection closes and nothing of
// it is raised afterwards.
TEST(Replay, DestroyedInTheMiddleItClosesItsConnectionAndRaisesNothing) {
  TScriptServer server([](TServerConn& C) {
    if (C.Eof) C.Close();
  });
  TScript script(1, 40001, "10.0.0.5", 80);
  script.Local("A\n").Remote("a\n");
  int done = 0;
  {
    TReplay replay;
    replay.OnDone = [&](TReplay&) { ++done; };
    std::string error;
    ASSERT_TRUE(replay.Start(FromRecord({script}), To(server.Port(), 5000), error)) << error;
    ASSERT_TRUE(PumpUntil([&] {
      server.Service();
      return !server.Conns.empty();
    }));
    EXPECT_FALSE(replay.Done());
  }
  EXPECT_TRUE(PumpUntil([&] {
    server.Service();
    return server.Conns[0]->Eof;
  }));
  EXPECT_EQ(server.Conns[0]->Received, "");  // "A" was still waiting for the remote side to be quiet
  PumpIdle();
  EXPECT_EQ(done, 0);
}

}  // namespace

namespace {

// A capture writes an IPv4 remote beside an IPv6 client as a mapped address: the replay goes to
// the recorded remote side as the IPv4 address it is.
TEST(Replay, TheRecordedRemoteSideIsReachedAlsoWhenItsAddressIsMappedIntoIPv6) {
  TScriptServer server([](TServerConn& C) {
    if (C.Stage == 0 && C.Received == "ping") {
      C.Send("pong");
      C.Stage = 1;
    }
    if (C.Eof) C.Close();
  });
  TScript script(8, 40008, "::ffff:127.0.0.1", server.Port());
  script.Info.LocalAddr = "::1";
  script.Local("ping").Remote("pong");
  TReplayOptions options;
  options.Settings.SettleMs = 50;
  const TReplayResult result = RunServed(FromRecord({script}), options, &server);
  ASSERT_EQ(result.Sessions.size(), 1u);
  EXPECT_EQ(result.Sessions[0].Verdict, rvSame) << result.Text();
  EXPECT_EQ(result.Sessions[0].Replayed.Info.RemoteAddr, "127.0.0.1");
  EXPECT_EQ(result.Sessions[0].Replayed.Info.RemoteHost, "127.0.0.1");
}

}  // namespace

namespace {

// Three megabytes in one recorded chunk go whole, in order, and the echo of them compares byte
// for byte.
TEST(Replay, AChunkOfMegabytesGoesWholeAndItsEchoComparesByteExact) {
  TScriptServer echo([](TServerConn& C) {
    const auto echoed = static_cast<std::size_t>(C.Stage);
    if (C.Received.size() > echoed) {
      C.Send(C.Received.substr(echoed));
      C.Stage = static_cast<int>(C.Received.size());
    }
    if (C.Eof) C.Close();
  });
  const std::string big = Pattern(3 << 20, 3);
  TScript script(1, 40001, "10.0.0.5", 80);
  script.Local(big).Remote(big);
  const TReplayResult result = RunServed(FromRecord({script}), To(echo.Port(), 200), &echo);
  ASSERT_EQ(echo.Conns.size(), 1u);
  EXPECT_EQ(echo.Conns[0]->Received.size(), big.size());
  EXPECT_EQ(Checksum(echo.Conns[0]->Received), Checksum(big));
  ASSERT_EQ(result.Sessions.size(), 1u);
  EXPECT_EQ(result.Sessions[0].Verdict, rvSame) << result.Text();
  const std::string back = result.Sessions[0].Replayed.Stream(edFromRemote);
  EXPECT_EQ(back.size(), big.size());
  EXPECT_EQ(Checksum(back), Checksum(big));
}

}  // namespace
