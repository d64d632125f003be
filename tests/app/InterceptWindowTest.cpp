// Intercept through the windows: the log's "Intercept" check item and its panel, driving the
// engine between a real local client and a real remote server. What is checked: held chunks are
// listed and shown in the editor, each button does what it says to the bytes that arrive (exact),
// an edit or a match that does not parse is shown and sends nothing, the log and the sessions list
// follow what was sent, and unchecking lets everything go and hides the panel.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTableView>

#include <fstream>
#include <iterator>

#include "RelayPeers.h"
#include "log/uIntercept.h"
#include "replay/CaptureReader.h"

using namespace apptest;

namespace {

class InterceptWindow : public TRelayWindowFixture {
protected:
  TInterceptPanel& Panel() { return *Log->InterceptPanel; }
  int Rows() { return Panel().Model().rowCount(); }
  // A session up between a local client and the remote server.
  void Open() {
    Local = &NewLocal();
    ASSERT_TRUE(Run([&] { return Remote.Peers.size() == 1 && Count("Connection Opened") == 1; }));
    Peer = Remote.Peers[0].get();
  }
  void SendHeld(TPeer& From, const std::string& Bytes) {
    const int before = Rows();
    From.ToSend += Bytes;
    ASSERT_TRUE(Run([&] { return Rows() == before + 1; }));
  }
  void Idle() {
    for (int i = 0; i < 30; ++i) {
      Service();
      platform::WaitAndDispatch(1);
    }
  }
  std::uint64_t BytesFromLocal() {
    const std::vector<TSessionInfo> s = Log->Record().Sessions();
    return s.empty() ? 0 : s.back().BytesFromLocal;
  }

  TPeer* Local = nullptr;
  TPeer* Peer = nullptr;
};

TEST_F(InterceptWindow, TheCheckItemFollowsTheLogsCommandsAndShowsThePanel) {
  const QList<QAction*> actions = Log->PopupMenu->actions();
  ASSERT_GE(actions.size(), 11);
  EXPECT_EQ(actions[9], Log->Faults1);
  EXPECT_EQ(actions[10], Log->Intercept1);
  EXPECT_EQ(Log->Intercept1->text(), QStringLiteral("&Intercept"));
  EXPECT_TRUE(Log->Intercept1->isCheckable());
  EXPECT_FALSE(Log->Intercept1->isChecked());
  EXPECT_TRUE(Panel().isHidden());
  EXPECT_FALSE(Main->Relay()->Intercept().On);
  Log->Intercept1->trigger();
  EXPECT_TRUE(Log->Intercept1->isChecked());
  EXPECT_FALSE(Panel().isHidden());
  EXPECT_TRUE(Main->Relay()->Intercept().On);
  Log->Intercept1->trigger();
  EXPECT_FALSE(Main->Relay()->Intercept().On);
  EXPECT_TRUE(Panel().isHidden());
}

TEST_F(InterceptWindow, ForwardEditedDropAndForwardSendExactlyWhatWasChosen) {
  Log->Intercept1->trigger();
  Open();
  SendHeld(*Local, "GET /a HTTP/1.0\r\n");
  ASSERT_EQ(Rows(), 1);
  EXPECT_EQ(Panel().ChunkEditor->toPlainText(), QStringLiteral("GET /a HTTP/1.0\\r\\n"));
  EXPECT_EQ(Panel().Model().Decision(0), QStringLiteral("held"));
  SendHeld(*Local, "drop me");
  SendHeld(*Local, "keep me");
  Idle();
  EXPECT_TRUE(Peer->Received.empty());

  // The first chunk, edited longer in the text editor; the editor moves on to the next.
  Panel().ChunkEditor->setPlainText(QStringLiteral("GET /a/much/longer/path HTTP/1.1\\r\\nHost: x\\r\\n\\r\\n"));
  Panel().ForwardEditedBtn->click();
  EXPECT_FALSE(Panel().StatusIsError()) << Panel().Status().toStdString();
  const std::string edited = "GET /a/much/longer/path HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_TRUE(Run([&] { return Peer->Received.size() == edited.size(); }));
  EXPECT_EQ(Peer->Received, edited);
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(Panel().ChunkEditor->toPlainText(), QStringLiteral("drop me"));
  Panel().DropBtn->click();
  EXPECT_EQ(Panel().ChunkEditor->toPlainText(), QStringLiteral("keep me"));
  Panel().ForwardBtn->click();
  EXPECT_EQ(Rows(), 0);
  const std::string expected = edited + "keep me";
  ASSERT_TRUE(Run([&] { return Peer->Received.size() == expected.size(); }));
  EXPECT_EQ(Checksum(Peer->Received), Checksum(expected));
  Local->ShutdownWhenSent = true;
  ASSERT_TRUE(Run([&] { return Peer->Eof; }));
  EXPECT_EQ(Peer->Received, expected);

  // The log: three held, one edited with both versions, one dropped, one forwarded; the sessions
  // list counts what went.
  EXPECT_EQ(Count("Edited to Remote"), 1);
  int held = 0, dropped = 0, forwarded = 0, edits = 0;
  for (const std::string& t : Titles()) {
    held += t.rfind("Intercept: held #", 0) == 0;
    dropped += t.rfind("Intercept: dropped #", 0) == 0;
    forwarded += t.rfind("Intercept: forwarded #", 0) == 0;
    edits += t.rfind("Intercept: edited #", 0) == 0;
  }
  EXPECT_EQ(held, 3);
  EXPECT_EQ(dropped, 1);
  EXPECT_EQ(forwarded, 1);
  EXPECT_EQ(edits, 1);
  ASSERT_TRUE(Run([&] { return BytesFromLocal() == expected.size(); })) << BytesFromLocal();

  // A capture holds what was sent; what became of the chunks is in its packets' comments.
  char dir[] = "/tmp/vantrel-intercept-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string path = std::string(dir) + "/intercepted.pcapng";
  ASSERT_TRUE(Log->SaveTo(QString::fromStdString(path), sfCapture));
  std::ifstream in(path, std::ios::binary);
  const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_NE(file.find("Edited to Remote"), std::string::npos);
  EXPECT_NE(file.find("Intercept: dropped #"), std::string::npos);
  EXPECT_EQ(file.find("drop me"), std::string::npos) << "a dropped chunk's bytes are in the capture";
  TCapture capture;
  std::string error;
  ASSERT_TRUE(ReadCapture(path, capture, error)) << error;
  ASSERT_EQ(capture.Sessions.size(), 1u);
  EXPECT_EQ(capture.Sessions[0].Stream(edFromLocal), expected);
  std::remove(path.c_str());
  ::rmdir(dir);
}

TEST_F(InterceptWindow, AnEditThatDoesNotParseIsShownAndNothingIsSent) {
  Log->Intercept1->trigger();
  Open();
  SendHeld(*Local, "ping");
  // Hex: the editor shows the chunk as hex pairs, and reads them back.
  Panel().EditorHex->setChecked(true);
  EXPECT_EQ(Panel().ChunkEditor->toPlainText(), QStringLiteral("70 69 6E 67"));
  Panel().ChunkEditor->setPlainText(QStringLiteral("70 6f zz"));
  Panel().ForwardEditedBtn->click();
  EXPECT_TRUE(Panel().StatusIsError());
  EXPECT_FALSE(Panel().Status().isEmpty());
  Panel().EditorHex->setChecked(false);
  Panel().ChunkEditor->setPlainText(QStringLiteral("bad \\q escape"));
  Panel().ForwardEditedBtn->click();
  EXPECT_TRUE(Panel().StatusIsError());
  EXPECT_NE(Panel().Status().indexOf(QStringLiteral("\\q")), -1) << Panel().Status().toStdString();
  // Nothing went, the chunk is still held, and the editor's empty edit is refused too.
  Panel().ChunkEditor->setPlainText(QString());
  Panel().ForwardEditedBtn->click();
  EXPECT_TRUE(Panel().StatusIsError());
  Idle();
  EXPECT_TRUE(Peer->Received.empty());
  EXPECT_EQ(Rows(), 1);
  EXPECT_EQ(Main->Relay()->InterceptHeldCount(), 1u);
  Panel().EditorHex->setChecked(true);
  Panel().ChunkEditor->setPlainText(QStringLiteral("70 6f 6e 67 0d 0a"));
  Panel().ForwardEditedBtn->click();
  EXPECT_FALSE(Panel().StatusIsError()) << Panel().Status().toStdString();
  ASSERT_TRUE(Run([&] { return Peer->Received == "pong\r\n"; }));
}

TEST_F(InterceptWindow, TheMatchAndTheDirectionSayWhichChunksAreHeld) {
  Panel().InterceptTo->setCurrentIndex(2);  // to Local
  Panel().InterceptMatch->setText(QStringLiteral("SECRET"));
  Log->Intercept1->trigger();
  EXPECT_FALSE(Main->Relay()->Intercept().ToRemote);
  EXPECT_EQ(Main->Relay()->Intercept().Match, "SECRET");
  Open();
  Local->ToSend = "to remote SECRET";
  ASSERT_TRUE(Run([&] { return Peer->Received == "to remote SECRET"; }));
  Peer->ToSend = "public;";
  ASSERT_TRUE(Run([&] { return Local->Received == "public;"; }));
  SendHeld(*Peer, "a SECRET;");
  EXPECT_EQ(Panel().Model().data(Panel().Model().index(0, THeldChunksModel::hcWay)).toString(), QStringLiteral("to Local"));
  // A match that does not parse changes nothing and says why.
  Panel().MatchHex->setChecked(true);
  EXPECT_TRUE(Panel().StatusIsError());
  EXPECT_EQ(Main->Relay()->Intercept().Match, "SECRET");
  Panel().InterceptMatch->setText(QStringLiteral("53 45"));
  emit Panel().InterceptMatch->editingFinished();
  EXPECT_FALSE(Panel().StatusIsError());
  EXPECT_EQ(Main->Relay()->Intercept().Match, "SE");
  Panel().ForwardAllBtn->click();
  ASSERT_TRUE(Run([&] { return Local->Received == "public;a SECRET;"; }));
}

TEST_F(InterceptWindow, ForwardAllAndUncheckingReleaseEveryQueueInOrder) {
  Log->Intercept1->trigger();
  Open();
  std::string toRemote, toLocal;
  for (int i = 0; i < 5; ++i) {
    const std::string up = "up " + std::to_string(i) + ";";
    const std::string down = "down " + std::to_string(i) + ";";
    SendHeld(*Local, up);
    SendHeld(*Peer, down);
    toRemote += up;
    toLocal += down;
  }
  Panel().ForwardAllBtn->click();
  EXPECT_EQ(Rows(), 0);
  ASSERT_TRUE(Run([&] { return Peer->Received == toRemote && Local->Received == toLocal; }));
  SendHeld(*Local, "last;");
  SendHeld(*Peer, "reply;");
  Log->Intercept1->trigger();
  EXPECT_EQ(Rows(), 0);
  EXPECT_TRUE(Panel().isHidden());
  Local->ToSend += "free";
  ASSERT_TRUE(Run([&] { return Peer->Received == toRemote + "last;free" && Local->Received == toLocal + "reply;"; }));
}

// The session ends while its chunks are listed (the receiving side resets): they leave the list,
// and a decision on one afterwards says so.
TEST_F(InterceptWindow, ASessionThatEndsTakesItsHeldChunksOffTheList) {
  Log->Intercept1->trigger();
  Open();
  SendHeld(*Local, "never sent");
  Panel().Select(Panel().Model().Chunk(0).Number);
  RawReset(Peer->Fd);
  Peer->Closed = true;
  ASSERT_TRUE(Run([&] { return Rows() == 0 && Main->Relay()->SessionCount() == 0; }));
  int lost = 0;
  for (const std::string& t : Titles()) lost += t.find(" lost: the session has ended") != std::string::npos;
  EXPECT_EQ(lost, 1);
  Panel().ForwardBtn->click();
  EXPECT_TRUE(Panel().StatusIsError());
}

// A chunk decided behind an undecided one shows its decision and waits; deciding the first lets
// both go, in order.
TEST_F(InterceptWindow, AChunkDecidedBehindAnUndecidedOneWaitsAndSaysSo) {
  Log->Intercept1->trigger();
  Open();
  SendHeld(*Local, "first;");
  SendHeld(*Local, "second;");
  const std::uint64_t first = Panel().Model().Chunk(0).Number;
  const std::uint64_t second = Panel().Model().Chunk(1).Number;
  EXPECT_EQ(Panel().Current(), first);
  Panel().Select(second);
  EXPECT_EQ(Panel().ChunkEditor->toPlainText(), QStringLiteral("second;"));
  Panel().ForwardBtn->click();
  ASSERT_EQ(Rows(), 2);
  EXPECT_EQ(Panel().Model().Decision(1), QStringLiteral("forward, waits"));
  Idle();
  EXPECT_TRUE(Peer->Received.empty());
  // A decided chunk is not decided twice.
  Panel().Select(second);
  Panel().DropBtn->click();
  EXPECT_TRUE(Panel().StatusIsError());
  Panel().Select(first);
  Panel().DropBtn->click();
  EXPECT_EQ(Rows(), 0);
  ASSERT_TRUE(Run([&] { return Peer->Received == "second;"; }));
}

}  // namespace
