// Bytes sent into live sessions, through the engine and through the log's send bar: they join the
// stream in the order they were sent, relative to the relayed traffic, byte-exact both ways; they
// are logged as entries of their own, marked injected, counted in the sessions list, found by the
// search and saved in captures; a side that has ended refuses them, and input that does not parse
// sends nothing.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include <atomic>
#include <fstream>
#include <sstream>

#include "RelayPeers.h"
#include "log/uSendBar.h"
#include "log/uSessions.h"
#include "log/uSessionsModel.h"
#include "record/RecordSearch.h"
#include "replay/CaptureReader.h"

using namespace apptest;

namespace {

class Send : public TRelayWindowFixture {
protected:
  // A session up between a local client and the remote server; its number.
  std::uint64_t Open(TPeer*& Local, TPeer*& Peer) {
    Local = &NewLocal();
    EXPECT_TRUE(Run([&] { return Remote.Peers.size() == 1 && Count("Connection Opened") == 1; }));
    Peer = Remote.Peers.empty() ? nullptr : Remote.Peers[0].get();
    const std::vector<TSessionInfo> sessions = Log->Record().Sessions();
    return sessions.empty() ? 0 : sessions.back().Id;
  }
  // The bytes of one direction as the log has them, entry after entry, and the injected entries.
  struct TLogged {
    std::string Stream;
    std::vector<TRecordEntry> Injected;
  };
  static TLogged Logged(std::uint64_t Id, TEntryDirection Direction) {
    TLogged out;
    const TTrafficRecord& record = Log->Record();
    TRecordEntry e;
    for (std::uint64_t i = 0; record.Entry(i, e); ++i) {
      if (e.Session != Id || e.Direction != Direction) continue;
      EXPECT_EQ(e.Offset, out.Stream.size()) << "entry " << i;
      out.Stream += BodyOf(i);
      if (e.Injected) out.Injected.push_back(e);
    }
    return out;
  }
  // Stream without the ranges of the injected entries: what the relay passed on.
  static std::string Relayed(const std::string& Stream, const std::vector<TRecordEntry>& Injected) {
    std::string out;
    std::uint64_t at = 0;
    for (const TRecordEntry& e : Injected) {
      out += Stream.substr(at, e.Offset - at);
      at = e.Offset + e.BodyLength;
    }
    return out + Stream.substr(std::min<std::uint64_t>(at, Stream.size()));
  }
};

// Both peers keep sending while bytes are sent into the session toward both sides between their
// chunks: each side receives exactly what the log shows for its direction, the injected bytes in
// one piece at their logged offsets, and the peers' own bytes unchanged and in order around them.
TEST_F(Send, IntoALiveSessionBothWaysWhileTrafficFlowsByteExactAndInOrder) {
  TPeer* local = nullptr;
  TPeer* peer = nullptr;
  const std::uint64_t id = Open(local, peer);
  ASSERT_NE(peer, nullptr);
  std::size_t sentToRemote = 0, sentToLocal = 0;
  for (int round = 0; round < 40; ++round) {
    local->ToSend += Pattern(3000 + round * 37, round + 1);
    peer->ToSend += Pattern(5000 + round * 53, round + 100);
    for (int pump = 0; pump < 3; ++pump) {
      Service();
      platform::WaitAndDispatch(1);
    }
    std::string error;
    const std::string toRemote = "INJECTED " + std::to_string(round) + "\r\n";
    const std::string toLocal = std::string("\0\xFF sent ", 7) + std::to_string(round);
    ASSERT_TRUE(Main->SendInto(id, edFromLocal, toRemote, error)) << error;
    ASSERT_TRUE(Main->SendInto(id, edFromRemote, toLocal, error)) << error;
    sentToRemote += toRemote.size();
    sentToLocal += toLocal.size();
  }
  ASSERT_TRUE(Run([&] {
    return peer->Received.size() == local->ToSend.size() + sentToRemote &&
           local->Received.size() == peer->ToSend.size() + sentToLocal;
  })) << peer->Received.size() << " " << local->Received.size();

  const TLogged up = Logged(id, edFromLocal), down = Logged(id, edFromRemote);
  EXPECT_EQ(up.Stream.size(), peer->Received.size());
  EXPECT_EQ(Checksum(up.Stream), Checksum(peer->Received));
  EXPECT_EQ(down.Stream.size(), local->Received.size());
  EXPECT_EQ(Checksum(down.Stream), Checksum(local->Received));
  ASSERT_EQ(up.Injected.size(), 40u);
  ASSERT_EQ(down.Injected.size(), 40u);
  for (int round = 0; round < 40; ++round) {
    const TRecordEntry& u = up.Injected[static_cast<std::size_t>(round)];
    EXPECT_EQ(peer->Received.substr(u.Offset, u.BodyLength), "INJECTED " + std::to_string(round) + "\r\n");
    EXPECT_EQ(Log->Record().TitleText(u.Title), "Sent to Remote");
    const TRecordEntry& d = down.Injected[static_cast<std::size_t>(round)];
    EXPECT_EQ(local->Received.substr(d.Offset, d.BodyLength), std::string("\0\xFF sent ", 7) + std::to_string(round));
    EXPECT_EQ(Log->Record().TitleText(d.Title), "Sent to Local");
  }
  const std::string relayedUp = Relayed(peer->Received, up.Injected);
  EXPECT_EQ(relayedUp.size(), local->ToSend.size());
  EXPECT_EQ(Checksum(relayedUp), Checksum(local->ToSend));
  const std::string relayedDown = Relayed(local->Received, down.Injected);
  EXPECT_EQ(relayedDown.size(), peer->ToSend.size());
  EXPECT_EQ(Checksum(relayedDown), Checksum(peer->ToSend));
  // The record counts every byte of each direction, and the sends.
  TSessionInfo info;
  ASSERT_TRUE(Log->Record().Session(id, info));
  EXPECT_EQ(info.BytesFromLocal, peer->Received.size());
  EXPECT_EQ(info.BytesFromRemote, local->Received.size());
  EXPECT_EQ(info.Injected, 80u);
}

// The send bar: text with escapes to Remote, hex to Local, to the session selected in the list;
// the entries in the session's colour, counted in the list, found by the search, and saved in a
// capture with their titles as packet comments. Input that does not parse, or no session
// selected, shows an error and sends nothing.
TEST_F(Send, TheSendBarSendsTextAndHexToTheSelectedSessionAndRefusesBadInput) {
  TPeer* local = nullptr;
  TPeer* peer = nullptr;
  const std::uint64_t id = Open(local, peer);
  ASSERT_NE(peer, nullptr);
  TSendBar& bar = *Log->SendBar;
  Log->Send1->trigger();
  EXPECT_TRUE(bar.isVisible());
  bar.SendText->setText(QStringLiteral("PING\\r\\n"));
  EXPECT_EQ(bar.Send(), 0) << "nothing is selected while the list is closed";
  EXPECT_TRUE(bar.StatusIsError());
  EXPECT_EQ(bar.Status(), QStringLiteral("select the sessions to send to in the sessions list (Ctrl+L)"));

  Log->Sessions1->trigger();
  Log->SessionsPanel->Flush();
  Log->SessionsPanel->SelectSessions({id});
  EXPECT_EQ(bar.Send(), 1) << bar.Status().toStdString();
  EXPECT_EQ(bar.Status(), QStringLiteral("sent 6 bytes to session %1").arg(id));
  ASSERT_TRUE(Run([&] { return peer->Received == "PING\r\n"; })) << peer->Received;

  bar.SendHex->setChecked(true);
  bar.SendTo->setCurrentIndex(1);
  bar.SendText->setText(QStringLiteral("00ff 0D 0a"));
  EXPECT_EQ(bar.Send(), 1) << bar.Status().toStdString();
  ASSERT_TRUE(Run([&] { return local->Received == std::string("\0\xFF\r\n", 4); }));

  // Errors shown as typed, and nothing sent on Enter.
  const std::size_t entries = Entries().size();
  for (auto [hex, text, message] :
       {std::tuple{true, "0d 0g", "not a hex digit at position 5"}, std::tuple{true, "0d 0", "a single hex digit at the end"},
        std::tuple{false, "ab\\q", "column 3: unknown escape \\q (write \\\\ for a backslash)"},
        std::tuple{false, "\\x4", "column 1: \\x takes two hex digits, as in \\x0D"},
        std::tuple{false, "end\\", "column 4: a backslash at the end escapes nothing (write \\\\ for a backslash)"}}) {
    bar.SendHex->setChecked(hex);
    bar.SendText->setText(QString::fromLatin1(text));
    EXPECT_TRUE(bar.StatusIsError()) << text;
    EXPECT_EQ(bar.Status().toStdString(), message);
    emit bar.SendText->returnPressed();  // Enter in the field
    EXPECT_EQ(bar.Status().toStdString(), message);
  }
  for (int i = 0; i < 20; ++i) {
    Service();
    platform::WaitAndDispatch(1);
  }
  EXPECT_EQ(Entries().size(), entries);
  EXPECT_EQ(peer->Received, "PING\r\n");
  EXPECT_EQ(local->Received, std::string("\0\xFF\r\n", 4));

  // Logged in the session's colour, marked, counted.
  const auto all = Entries();
  TRecordEntry sent;
  std::uint64_t sentIndex = 0;
  for (std::uint64_t i = 0; Log->Record().Entry(i, sent); ++i)
    if (Log->Record().TitleText(sent.Title) == "Sent to Remote") {
      sentIndex = i;
      break;
    }
  EXPECT_TRUE(sent.Injected);
  EXPECT_EQ(sent.Direction, edFromLocal);
  TSessionInfo info;
  ASSERT_TRUE(Log->Record().Session(id, info));
  EXPECT_EQ(sent.Color, info.Color);
  TSessionsModel& model = *Log->SessionsPanel->Model;
  model.Refresh(WallClockUs());
  const int row = model.RowOf(id);
  ASSERT_GE(row, 0);
  EXPECT_EQ(model.data(model.index(row, TSessionsModel::scSent)).toString(), QStringLiteral("2"));
  EXPECT_EQ(model.headerData(TSessionsModel::scSent, Qt::Horizontal).toString(), QStringLiteral("Sent"));

  // Found by the search as any bytes of the stream.
  TRecordSearch search(Log->Record(), "PING", true);
  std::vector<TSearchPart> found;
  search.OnMatch = [&](const std::vector<TSearchPart>& Parts) { found.insert(found.end(), Parts.begin(), Parts.end()); };
  std::atomic<bool> cancel{false};
  search.Run(UINT64_MAX, cancel);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].Entry, sentIndex);

  // In a capture: the bytes in the session's stream and the title as the packet's comment.
  char dir[] = "/tmp/vantrel-send-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/sent.pcapng";
  ASSERT_TRUE(Log->SaveTo(QString::fromStdString(path), sfCapture));
  std::ifstream in(path, std::ios::binary);
  std::stringstream file;
  file << in.rdbuf();
  EXPECT_NE(file.str().find("Sent to Remote"), std::string::npos);
  EXPECT_NE(file.str().find("Sent to Local"), std::string::npos);
  TCapture capture;
  std::string error;
  ASSERT_TRUE(ReadCapture(path, capture, error)) << error;
  ASSERT_EQ(capture.Sessions.size(), 1u);
  EXPECT_EQ(capture.Sessions[0].Stream(edFromLocal), "PING\r\n");
  EXPECT_EQ(capture.Sessions[0].Stream(edFromRemote), std::string("\0\xFF\r\n", 4));
  std::remove(path.c_str());
  ::rmdir(dir);
}

// A side that has ended takes nothing: the local client's end of stream closes the way to the
// remote side (the other way stays open); a reset closes both; an ended session is gone. Each
// refusal says why and logs nothing.
TEST_F(Send, ToASideThatHasEndedOrResetIsRefusedWithTheReasonAndSendsNothing) {
  TPeer* local = nullptr;
  TPeer* peer = nullptr;
  const std::uint64_t id = Open(local, peer);
  ASSERT_NE(peer, nullptr);
  local->ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return peer->Eof; }));
  const std::size_t entries = Entries().size();
  std::string error;
  EXPECT_FALSE(Main->SendInto(id, edFromLocal, "late", error));
  EXPECT_EQ(error, "session " + std::to_string(id) + ": the stream to the remote side has ended (the local client ended it)");
  EXPECT_EQ(Entries().size(), entries);
  EXPECT_TRUE(Main->SendInto(id, edFromRemote, "still open", error)) << error;
  ASSERT_TRUE(Run([&] { return local->Received == "still open"; }));
  error.clear();
  EXPECT_FALSE(Main->SendInto(id, edFromRemote, "", error));
  EXPECT_EQ(error, "nothing to send");

  RawReset(peer->Fd);
  peer->Closed = true;
  ASSERT_TRUE(Run([&] { return local->Eof; }));
  EXPECT_FALSE(Main->SendInto(id, edFromRemote, "after the reset", error));
  EXPECT_TRUE(error == "session " + std::to_string(id) + ": the remote side has reset the connection" ||
              error == "session " + std::to_string(id) + " has ended")
      << error;
  ASSERT_TRUE(Run([&] { return Main->Relay()->SessionCount() == 0; }));
  EXPECT_FALSE(Main->SendInto(id, edFromLocal, "gone", error));
  EXPECT_EQ(error, "session " + std::to_string(id) + " has ended");
  EXPECT_EQ(local->Received, "still open");
}

}  // namespace
