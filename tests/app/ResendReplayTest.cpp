// The log's "Resend" and the sessions list's "Replay" through the windows, against real peers:
// resent entries go the way they went into their session while it is open, and into a new
// session to the remote side once it has ended; a replayed session is a new session and its
// comparison is logged.
#include <QPushButton>

#include "RelayPeers.h"
#include "log/uLogView.h"
#include "log/uSendBar.h"
#include "log/uSessions.h"

using namespace apptest;

namespace {

class ResendReplay : public TRelayWindowFixture {
protected:
  // One exchange, "hello\r\n" up and "world\r\n" down, in a session of its own; its number.
  std::uint64_t Exchange(TPeer*& Local, TPeer*& Peer) {
    const std::size_t before = Remote.Peers.size();
    Local = &NewLocal();
    EXPECT_TRUE(Run([&] { return Remote.Peers.size() == before + 1; }));
    Peer = Remote.Peers.back().get();
    Local->ToSend = "hello\r\n";
    EXPECT_TRUE(Run([&] { return Peer->Received == "hello\r\n"; }));
    Peer->ToSend = "world\r\n";
    EXPECT_TRUE(Run([&] { return Local->Received == "world\r\n"; }));
    return Log->Record().Sessions().back().Id;
  }
  static std::uint64_t IndexOf(const std::string& Title, std::uint64_t Session) {
    TRecordEntry e;
    for (std::uint64_t i = 0; Log->Record().Entry(i, e); ++i)
      if (Log->Record().TitleText(e.Title) == Title && e.Session == Session) return i;
    ADD_FAILURE() << "no entry " << Title;
    return 0;
  }
  static std::string ResultText() {
    const auto all = Entries();
    for (std::size_t i = all.size(); i-- > 0;)
      if (all[i].Title == "Replay Result") return BodyOf(i);
    return {};
  }
};

// The whole log selected: Resend takes the entries with bytes (not "Connection Opened") and sends
// each the way it went, into the same session, marked as sent.
TEST_F(ResendReplay, EntriesOfAnOpenSessionGoAgainTheWayTheyWentIntoIt) {
  TPeer* local = nullptr;
  TPeer* peer = nullptr;
  const std::uint64_t id = Exchange(local, peer);
  Log->LogWnd->Flush();
  Log->LogWnd->SelectAll();
  const std::vector<std::uint64_t> entries = Log->EntriesAt({});
  ASSERT_EQ(entries, (std::vector<std::uint64_t>{IndexOf("From Local", id), IndexOf("From Remote", id)}));
  Log->ResendEntries = entries;
  Log->Resend1->trigger();
  EXPECT_EQ(Log->SendBar->Status(), QStringLiteral("resent 2 entries"));
  EXPECT_FALSE(Log->SendBar->StatusIsError());
  ASSERT_TRUE(Run([&] { return peer->Received == "hello\r\nhello\r\n" && local->Received == "world\r\nworld\r\n"; }))
      << peer->Received << "|" << local->Received;
  EXPECT_EQ(Count("Sent to Remote"), 1);
  EXPECT_EQ(Count("Sent to Local"), 1);
  TRecordEntry e;
  ASSERT_TRUE(Log->Record().Entry(IndexOf("Sent to Remote", id), e));
  EXPECT_TRUE(e.Injected);
  EXPECT_EQ(e.Offset, 7u);

  // Nothing with bytes under the selection: Resend says so, and sends nothing.
  std::string report;
  EXPECT_FALSE(Main->Resend({IndexOf("Connection Opened", id)}, report));
  EXPECT_EQ(report, "those entries hold no bytes to send");
}

// Once the session has ended, the entries go in order into a new session to the remote side: a
// new connection that the server sees, logged as a session of its own. What goes is the user's
// own: "Sent to Remote", flagged injected and counted as sent; the answers are "From Remote".
TEST_F(ResendReplay, EntriesOfAnEndedSessionGoIntoANewSessionToTheRemoteSide) {
  TPeer* local = nullptr;
  TPeer* peer = nullptr;
  const std::uint64_t id = Exchange(local, peer);
  local->Close();
  ASSERT_TRUE(Run([&] { return peer->Eof; }));
  peer->Close();
  ASSERT_TRUE(Run([&] { return Main->Relay()->SessionCount() == 0; }));
  std::string report;
  ASSERT_TRUE(Main->Resend({IndexOf("From Local", id), IndexOf("From Remote", id)}, report)) << report;
  ASSERT_TRUE(Run([&] { return Remote.Peers.size() == 2 && Remote.Peers[1]->Received.size() == 14; }));
  EXPECT_EQ(Remote.Peers[1]->Received, "hello\r\nworld\r\n") << "both toward the remote side, in order";
  const std::vector<TSessionInfo> sessions = Log->Record().Sessions();
  ASSERT_EQ(sessions.size(), 2u);
  const std::uint64_t fresh = sessions[1].Id;
  EXPECT_GT(fresh, id);
  EXPECT_EQ(report, "resent 2 entries into new session " + std::to_string(fresh));
  Remote.Peers[1]->ToSend = "again\r\n";
  ASSERT_TRUE(Run([&] { return !Main->Acting(); }));
  TRecordEntry e;
  ASSERT_TRUE(Log->Record().Entry(IndexOf("From Remote", fresh), e));
  EXPECT_FALSE(e.Injected);
  EXPECT_EQ(BodyOf(IndexOf("From Remote", fresh)), "again\r\n");
  std::vector<std::string> sent;
  for (std::uint64_t i = 0; Log->Record().Entry(i, e); ++i) {
    if (e.Session != fresh || e.Direction != edFromLocal) continue;
    EXPECT_EQ(Log->Record().TitleText(e.Title), "Sent to Remote");
    EXPECT_TRUE(e.Injected);
    sent.push_back(BodyOf(i));
  }
  EXPECT_EQ(sent, (std::vector<std::string>{"hello\r\n", "world\r\n"}));
  TSessionInfo info;
  ASSERT_TRUE(Log->Record().Session(fresh, info));
  EXPECT_EQ(info.Injected, 2u);
  EXPECT_EQ(info.BytesFromLocal, 14u);
  EXPECT_EQ(Count("Connection Opened"), 2);
  // A new client after it takes a number of its own.
  TPeer* local2 = nullptr;
  TPeer* peer2 = nullptr;
  EXPECT_GT(Exchange(local2, peer2), fresh);
}

// "Replay" in the sessions list: the session goes again over a new connection, recorded as a new
// session, and the comparison is logged: the same server answers the same; one that answers
// otherwise differs at the first byte that differs.
TEST_F(ResendReplay, ReplayFromTheSessionsListComparesTheNewAnswers) {
  Remote.Echo = true;
  TPeer* local = &NewLocal();
  ASSERT_TRUE(Run([&] { return Remote.Peers.size() == 1; }));
  local->ToSend = "ping 1\r\n";
  ASSERT_TRUE(Run([&] { return local->Received == "ping 1\r\n"; }));
  local->ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return local->Eof && Main->Relay()->SessionCount() == 0; }));
  const std::uint64_t id = Log->Record().Sessions().back().Id;

  Log->Sessions1->trigger();
  Log->SessionsPanel->Flush();
  Log->SessionsPanel->SelectSessions({});
  Log->SessionsPanel->ReplayBtn->click();
  EXPECT_TRUE(Log->SendBar->StatusIsError());
  EXPECT_EQ(Log->SendBar->Status(), QStringLiteral("select the sessions to replay in the list"));

  Log->SessionsPanel->SelectSessions({id});
  Log->SessionsPanel->ReplayBtn->click();
  EXPECT_EQ(Log->SendBar->Status(), QStringLiteral("replaying 1 session"));
  std::string report;
  EXPECT_FALSE(Main->ReplaySessions({id}, report));
  EXPECT_EQ(report, "a replay is already running");
  ASSERT_TRUE(Run([&] { return !Main->Acting(); }));
  EXPECT_EQ(ResultText(), "same\n  session " + std::to_string(id) + ": same, 8 bytes of answers\n");
  ASSERT_EQ(Remote.Peers.size(), 2u);
  EXPECT_EQ(Remote.Peers[1]->Received, "ping 1\r\n");
  ASSERT_EQ(Log->Record().Sessions().size(), 2u);

  // Another server behind the same port: it answers "pong" to anything.
  Remote.Echo = false;
  Remote.OnAccept = [](TPeer& P) {
    P.ToSend = "pong 1\r\n";
    P.CloseWhenSent = true;
  };
  ASSERT_TRUE(Main->ReplaySessions({id}, report)) << report;
  ASSERT_TRUE(Run([&] { return !Main->Acting(); }));
  const std::string text = ResultText();
  EXPECT_EQ(text.substr(0, text.find('\n')), "session " + std::to_string(id) + ": the answers differ at offset 1");
}

}  // namespace
