// The windows' counts with thousands of sessions: waves of clients relayed on loopback to a real
// echo server, each wave from an address of its own, opening and closing in bulk while the log's
// sessions list is open and keeps itself up to date by its timer. After every wave the status
// bar's client count, its latest peer and the list's rows and states must agree with what the
// test opened and closed.
#include <QApplication>
#include <QLabel>
#include <QTableView>

#include "RelayPeers.h"
#include "log/uSessions.h"
#include "log/uSessionsModel.h"

using namespace apptest;

namespace {

constexpr int kWave = 400;  // clients a wave
constexpr int kConnectBurst = 50;  // connects between two turns of the loop: the backlog never fills

class ManySessionsWindow : public TRelayWindowFixture {
protected:
  void SetUp() override {
    TRelayWindowFixture::SetUp();
    Remote.Echo = true;
    Log->Sessions1->trigger();
  }
  void Service() override {
    TRelayWindowFixture::Service();
    // A client closes once the relay has passed on the server's end.
    for (auto& l : Locals)
      if (l->Eof && !l->Closed) l->Close();
    QCoreApplication::processEvents();  // the list's timer
  }

  struct TWave {
    int Host = 0;  // clients connect from 127.0.0.Host
    std::vector<TPeer*> Clients;
  };

  // kWave clients from 127.0.0.Host, each sending its own line; returns once all have been echoed.
  TWave Open(int Host) {
    TWave wave;
    wave.Host = Host;
    for (int i = 0; i < kWave; ++i) {
      TPeer& local = NewLocal(Host);
      if (local.Fd < 0) {
        ADD_FAILURE() << "no connection from 127.0.0." << Host << " after " << i;
        return wave;
      }
      local.ToSend = "host " + std::to_string(Host) + " client " + std::to_string(i) + "\n";
      wave.Clients.push_back(&local);
      if ((i + 1) % kConnectBurst == 0) Service();
    }
    EXPECT_TRUE(Run([&] {
      for (TPeer* c : wave.Clients)
        if (c->Received != c->ToSend) return false;
      return true;
    })) << "wave from 127.0.0." << Host << " not echoed";
    return wave;
  }
  // The server ends the wave's sessions: it closes first, the relay passes its end on, and the
  // clients close behind it. (The side that closes first keeps the connection's port in TIME_WAIT:
  // here the server's and the relay's listening ports, never an ephemeral port that a later
  // listener might be given.)
  void Close(const TWave& Wave) {
    const std::string prefix = "host " + std::to_string(Wave.Host) + " ";
    for (auto& p : Remote.Peers)
      if (p->Received.rfind(prefix, 0) == 0) p->Close();
  }
  // Waits until the relay has as many clients as the test holds open and no session drains.
  bool Settle(int Open) {
    return Run([&] { return WSocketServer->ClientCount() == Open && Main->DrainingCount() == 0; });
  }

  static int Rows(const QString& State) {
    const TSessionsModel& model = *Log->SessionsPanel->Model;
    int n = 0;
    for (int row = 0; row < model.rowCount(); ++row)
      n += model.data(model.index(row, TSessionsModel::scState)).toString() == State;
    return n;
  }
  // The list as its timer leaves it: every row's state final, without forcing a refresh.
  bool ListShows(int Relaying, int Closed) {
    return Run([&] { return Rows(QStringLiteral("relaying")) == Relaying && Rows(QStringLiteral("closed")) == Closed; });
  }
  static std::string Count() { return Main->StatusPanel(1)->text().toStdString(); }
  static std::string Peer() { return Main->StatusPanel(3)->text().toStdString(); }
  static std::string Address(int Host) { return "127.0.0." + std::to_string(Host); }
};

TEST_F(ManySessionsWindow, StatusBarAndListCountWavesOfSessionsOpeningAndClosing) {
  ASSERT_EQ(Main->ListenBtnTag(), 1) << (Errors.empty() ? "" : Errors.back());
  const TSessionsModel& model = *Log->SessionsPanel->Model;
  TWave first = Open(21);
  ASSERT_TRUE(Settle(kWave));
  EXPECT_EQ(Count(), std::to_string(kWave));
  EXPECT_EQ(Peer(), Address(21));
  ASSERT_TRUE(ListShows(kWave, 0));
  EXPECT_EQ(model.rowCount(), kWave);

  TWave second = Open(22);
  TWave third = Open(23);
  ASSERT_TRUE(Settle(3 * kWave));
  EXPECT_EQ(Count(), std::to_string(3 * kWave));
  EXPECT_EQ(Peer(), Address(23)) << "the newest client's address";
  ASSERT_TRUE(ListShows(3 * kWave, 0));

  // The oldest wave goes: the last departure shows the second-to-last client, one of the newest wave.
  Close(first);
  ASSERT_TRUE(Settle(2 * kWave));
  EXPECT_EQ(Count(), std::to_string(2 * kWave));
  EXPECT_EQ(Peer(), Address(23));
  ASSERT_TRUE(ListShows(2 * kWave, kWave));

  // A wave opens while the newest closes, both under way at once.
  Close(third);
  TWave fourth = Open(24);
  ASSERT_TRUE(Settle(2 * kWave));
  EXPECT_EQ(Count(), std::to_string(2 * kWave));
  ASSERT_TRUE(ListShows(2 * kWave, 2 * kWave));
  EXPECT_EQ(model.rowCount(), 4 * kWave) << "closed sessions stay listed";

  // The newest wave goes: its last departure leaves the second wave's last client second-to-last.
  Close(fourth);
  ASSERT_TRUE(Settle(kWave));
  EXPECT_EQ(Count(), std::to_string(kWave));
  EXPECT_EQ(Peer(), Address(22));

  Close(second);
  ASSERT_TRUE(Settle(0));
  EXPECT_EQ(Count(), "0");
  EXPECT_EQ(Peer(), "");
  ASSERT_TRUE(ListShows(0, 4 * kWave));
  // Every row is a session of its own, numbered as they came.
  for (int row = 0; row + 1 < model.rowCount(); ++row)
    ASSERT_LT(model.Info(row).Id, model.Info(row + 1).Id) << "row " << row;
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

}  // namespace
