// Picking one session out of several through the real windows: clients relayed on loopback to a
// real echo server, the log's sessions list with their ends, states and byte counts, a selection
// that leaves only that session's traffic in the view, and a search that finds a request split
// across two chunks of its stream.
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QTableView>

#include <arpa/inet.h>

#include <set>

#include "RelayPeers.h"
#include "log/uLogView.h"
#include "log/uSearch.h"
#include "log/uSessions.h"
#include "log/uSessionsModel.h"

using namespace apptest;

namespace {

class SessionsWindow : public TRelayWindowFixture {
protected:
  void SetUp() override {
    TRelayWindowFixture::SetUp();
    Remote.Echo = true;
  }
  void Service() override {
    TRelayWindowFixture::Service();
    QCoreApplication::processEvents();  // the list's and the search's timers, the worker's results
  }
  bool Run(const std::function<bool()>& Cond, int TimeoutMs = 30000) { return TRelayWindowFixture::Run(Cond, TimeoutMs); }
  static std::uint16_t LocalPortOf(const TPeer& P) {
    sockaddr_in a{};
    socklen_t n = sizeof a;
    ::getsockname(P.Fd, reinterpret_cast<sockaddr*>(&a), &n);
    return ntohs(a.sin_port);
  }
};

TEST_F(SessionsWindow, OneSessionOutOfFiveIsListedFilteredAndSearchedAcrossItsChunks) {
  constexpr int kClients = 5;
  std::vector<std::string> requests;
  for (int i = 0; i < kClients; ++i) {
    Locals.push_back(std::make_unique<TPeer>(ConnectFrom(1, Port)));
    // Each request goes in two sends, the second only once the first has come back, so that the
    // relay logs it as two chunks each way; a large body makes the byte counts tell them apart.
    const std::string request = "GET /client-" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n" +
                                Pattern(1000 * static_cast<std::size_t>(i + 1), static_cast<std::uint32_t>(i));
    requests.push_back(request);
    TPeer& local = *Locals.back();
    local.ToSend = request.substr(0, 9);  // "GET /clie"
    ASSERT_TRUE(Run([&] { return local.Received.size() == 9; }));
    local.ToSend = request;
    ASSERT_TRUE(Run([&] { return local.Received.size() == request.size(); }));
    EXPECT_EQ(Checksum(local.Received), Checksum(request));
  }
  // Four clients end their stream; the echo server ends its own behind them. The last stays.
  for (int i = 0; i + 1 < kClients; ++i) ::shutdown(Locals[static_cast<std::size_t>(i)]->Fd, SHUT_WR);
  ASSERT_TRUE(Run([&] {
    for (int i = 0; i + 1 < kClients; ++i)
      if (!Locals[static_cast<std::size_t>(i)]->Eof) return false;
    return Count("Connection Closed") == kClients - 1;
  }));

  if (Log->isHidden()) Main->Button1->click();  // LogShow; the first entry has shown it already
  ASSERT_TRUE(Log->isVisible());
  Log->Sessions1->trigger();
  ASSERT_TRUE(Run([] { return Log->SessionsPanel->SessionsList->viewport()->height() > 20; }));
  Log->SessionsPanel->Flush();
  TSessionsModel& model = *Log->SessionsPanel->Model;
  ASSERT_EQ(model.rowCount(), kClients);
  const auto cell = [&](int Row, int Column) { return model.data(model.index(Row, Column)).toString(); };
  const QString remote = QStringLiteral("127.0.0.1:%1").arg(Remote.Listener.Port);
  for (int row = 0; row < kClients; ++row) {
    SCOPED_TRACE(row);
    const std::size_t size = requests[static_cast<std::size_t>(row)].size();
    EXPECT_EQ(cell(row, TSessionsModel::scLocal), QStringLiteral("127.0.0.1:%1").arg(LocalPortOf(*Locals[static_cast<std::size_t>(row)])));
    EXPECT_EQ(cell(row, TSessionsModel::scRemote), remote);
    EXPECT_EQ(cell(row, TSessionsModel::scState), row + 1 < kClients ? QStringLiteral("closed") : QStringLiteral("relaying"));
    EXPECT_EQ(cell(row, TSessionsModel::scFromLocal), QString::number(size));
    EXPECT_EQ(cell(row, TSessionsModel::scFromRemote), QString::number(size));
    EXPECT_FALSE(cell(row, TSessionsModel::scStart).isEmpty());
    EXPECT_FALSE(cell(row, TSessionsModel::scDuration).isEmpty());
  }

  // Client 3's row selected: only its entries remain in the view.
  const std::uint64_t picked = model.Info(3).Id;
  Log->SessionsPanel->SessionsList->selectRow(3);
  TLogView& view = *Log->LogWnd;
  view.Flush();
  ASSERT_GT(view.LineCount(), 0u);
  std::set<std::uint64_t> shown;
  TRecordEntry e;
  for (std::uint64_t line = 0; line < view.LineCount(); ++line)
    if (Log->Record().Entry(view.Layout().Place(line).Entry, e)) shown.insert(e.Session);
  EXPECT_EQ(shown, (std::set<std::uint64_t>{picked}));

  // Its request, split after "GET /clie", is found in both directions, each match in two parts.
  Log->Find1->trigger();
  ASSERT_TRUE(Log->SearchBar->isVisible());
  Log->SearchBar->SearchText->setText(QStringLiteral("/client-3 HTTP"));
  ASSERT_TRUE(Run([] { return !Log->SearchBar->Searching() && Log->SearchBar->MatchCount() > 0; }));
  ASSERT_EQ(Log->SearchBar->MatchCount(), 2u);
  EXPECT_EQ(Log->SearchBar->SearchStatus->text(), QStringLiteral("1 of 2"));
  for (std::uint64_t m = 0; m < 2; ++m) {
    const std::vector<TSearchPart> parts = Log->SearchBar->MatchParts(m);
    ASSERT_EQ(parts.size(), 2u);
    EXPECT_EQ(parts[0].Length, 5u);  // "/clie"
    for (const TSearchPart& p : parts) {
      ASSERT_TRUE(Log->Record().Entry(p.Entry, e));
      EXPECT_EQ(e.Session, picked);
    }
  }
  // Only what the remote side sent: one match left.
  Log->SessionsPanel->DirectionBox->setCurrentIndex(dfFromRemote);
  ASSERT_TRUE(Run([] { return !Log->SearchBar->Searching() && Log->SearchBar->MatchCount() == 1; }));
  EXPECT_EQ(Log->SearchBar->SearchStatus->text(), QStringLiteral("1 of 1"));
  ASSERT_TRUE(Log->Record().Entry(Log->SearchBar->MatchParts(0).back().Entry, e));
  EXPECT_EQ(e.Direction, edFromRemote);
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

}  // namespace
