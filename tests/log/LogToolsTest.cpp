// The log window's sessions list, filter and search bar as a user drives them, over entries
// written to the window here: hidden until opened, a selection that leaves only its sessions'
// lines on the screen, the direction box and "Show all", the search bar's keys and counts, and
// the distinct colours.
#include <gtest/gtest.h>

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <memory>
#include <set>
#include <string>

#include "QtTestApp.h"
#include "record/SessionColors.h"
#include "log/uIntercept.h"
#include "log/uLog.h"
#include "log/uLogView.h"
#include "log/uSearch.h"
#include "log/uSessions.h"
#include "log/uSessionsModel.h"
#include "platform/gui/Colors.h"
#include "platform/gui/ErrorBox.h"

namespace {

// Colours far apart, so that a pixel of text tells which session drew it.
constexpr TColor kRed = 0x0000C0, kGreen = 0x00A000, kBlue = 0xC00000;

class LogTools : public ::testing::Test {
protected:
  void SetUp() override {
    FPrevious = platform::gui::SetErrorHandler([this](const std::string& m) { Errors.push_back(m); });
    W = std::make_unique<TLog>();
    W->resize(700, 600);
  }
  void TearDown() override {
    W.reset();
    platform::gui::SetErrorHandler(FPrevious);
    EXPECT_TRUE(Errors.empty()) << "unexpected error box: " << (Errors.empty() ? "" : Errors.front());
  }

  void Session(std::uint64_t Id, TColor Color, TSessionState State = ssRelaying) {
    TSessionInfo s;
    s.Id = Id;
    s.Color = Color;
    s.LocalAddr = "127.0.0.1";
    s.LocalPort = static_cast<std::uint16_t>(50000 + Id);
    s.RemoteHost = s.RemoteAddr = "127.0.0.1";
    s.RemotePort = 8000;
    s.StartUs = WallClockUs();
    s.State = State;
    W->SessionChanged(s);
  }
  void Data(std::uint64_t Id, TColor Color, TEntryDirection Way, const std::string& Body) {
    std::uint64_t& offset = FOffsets[Id * 4 + Way];
    W->SetEntryColor(Color);
    W->SetEntryTitle(Way == edFromLocal ? "From Local" : "From Remote");
    W->AddEntry(Body, TEntrySource{Id, Way, offset});
    offset += Body.size();
  }
  void Note(std::uint64_t Id, TColor Color, const std::string& Title) {
    W->SetEntryColor(Color);
    W->SetEntryTitle(Title);
    W->AddEntry({}, TEntrySource{Id, edNone, 0});
  }

  // Three sessions interleaved, each in its colour, with bodies that name them.
  void ThreeSessions(int Rounds = 40) {
    const TColor colours[] = {kRed, kGreen, kBlue};
    for (std::uint64_t id = 1; id <= 3; ++id) Session(id, colours[id - 1]);
    for (std::uint64_t id = 1; id <= 3; ++id) Note(id, colours[id - 1], "Connection Opened");
    for (int i = 0; i < Rounds; ++i)
      for (std::uint64_t id = 1; id <= 3; ++id) {
        Data(id, colours[id - 1], edFromLocal, "ask " + std::to_string(id) + "/" + std::to_string(i));
        Data(id, colours[id - 1], edFromRemote, "answer " + std::to_string(id) + "/" + std::to_string(i));
      }
  }

  void Show() {
    W->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(W.get()));
    W->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(W.get()));
    W->LogWnd->Flush();
  }

  TLogView& View() const { return *W->LogWnd; }
  QStringList Lines() const {
    View().Flush();
    QStringList lines;
    for (std::uint64_t i = 0; i < View().LineCount(); ++i) lines << View().LineText(i);
    return lines;
  }
  // The sessions of the entries the view lays out, in order, without repeats.
  std::set<std::uint64_t> SessionsShown() const {
    View().Flush();
    std::set<std::uint64_t> ids;
    TRecordEntry e;
    for (std::uint64_t line = 0; line < View().LineCount(); ++line)
      if (W->Record().Entry(View().Layout().Place(line).Entry, e)) ids.insert(e.Session);
    return ids;
  }
  void ClickRow(int Row, Qt::KeyboardModifiers Keys = {}) {
    QTableView* list = W->SessionsPanel->SessionsList;
    const QRect cell = list->visualRect(list->model()->index(Row, TSessionsModel::scLocal));
    ASSERT_TRUE(cell.isValid());
    QTest::mouseClick(list->viewport(), Qt::LeftButton, Keys, cell.center());
  }
  // Opens the list as the user does and lets the window lay it out.
  void OpenList() {
    W->Sessions1->trigger();
    ASSERT_TRUE(PumpQtUntil([&] { return W->SessionsPanel->SessionsList->viewport()->height() > 3 * View().LineHeight(); }))
        << "the list got no room: " << W->SessionsPanel->height();
    W->SessionsPanel->Flush();
  }
  bool SearchSettled() const { return !W->SearchBar->Searching(); }

  std::unique_ptr<TLog> W;
  std::vector<std::string> Errors;

private:
  platform::gui::TErrorHandler FPrevious;
  std::map<std::uint64_t, std::uint64_t> FOffsets;
};

TEST_F(LogTools, HiddenUntilOpenedByTheirKeysTheMenuKeepsItsSixCommandsAndTheListStaysOpenAcrossAHide) {
  ThreeSessions(2);
  Show();
  EXPECT_TRUE(W->SessionsPanel->isHidden());
  EXPECT_TRUE(W->SearchBar->isHidden());
  EXPECT_TRUE(W->InterceptPanel->isHidden());
  EXPECT_EQ(W->PopupMenu->actions().size(), 11)
      << "the six commands, a separator, Save As, TLS, Faults and Intercept, no more";
  QTest::keyClick(W->LogWnd, Qt::Key_L, Qt::ControlModifier);
  EXPECT_TRUE(W->SessionsPanel->isVisible());
  EXPECT_TRUE(W->Sessions1->isChecked());
  QTest::keyClick(W->LogWnd, Qt::Key_F, Qt::ControlModifier);
  EXPECT_TRUE(W->SearchBar->isVisible());
  EXPECT_TRUE(W->SearchBar->SearchText->hasFocus());
  QTest::keyClick(W->SearchBar->SearchText, Qt::Key_Escape);
  EXPECT_TRUE(W->SearchBar->isHidden());
  // Closing the window only hides it: the list is there again when it comes back.
  W->close();
  Show();
  EXPECT_TRUE(W->SessionsPanel->isVisible());
  QTest::keyClick(W->LogWnd, Qt::Key_L, Qt::ControlModifier);
  EXPECT_TRUE(W->SessionsPanel->isHidden());
  EXPECT_FALSE(W->Sessions1->isChecked());
  EXPECT_EQ(W->PopupMenu->actions().size(), 11)
      << "the six commands, a separator, Save As, TLS, Faults and Intercept, no more";
}

TEST_F(LogTools, SelectingASessionPaintsOnlyItsLinesAndShowAllBringsTheOthersBack) {
  ThreeSessions();
  Show();
  const QStringList all = Lines();
  OpenList();
  ASSERT_EQ(W->SessionsPanel->Model->rowCount(), 3);
  ClickRow(1);  // session 2, the green one
  EXPECT_EQ(SessionsShown(), (std::set<std::uint64_t>{2}));
  for (const QString& line : Lines())
    EXPECT_FALSE(line.contains(QStringLiteral(" 1/")) || line.contains(QStringLiteral(" 3/"))) << line.toStdString();

  // On the screen: text pixels in green only, none in red or blue.
  View().ScrollToLine(0);
  const QImage image = View().viewport()->grab().toImage();
  int green = 0, other = 0;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.green() > c.red() + 60 && c.green() > c.blue() + 60) ++green;
      if (c.red() > c.green() + 60 || c.blue() > c.green() + 60) ++other;
    }
  EXPECT_GT(green, 100);
  EXPECT_EQ(other, 0);

  // Two sessions with Ctrl, then only what went from the remote side, then everything again.
  ClickRow(2, Qt::ControlModifier);
  EXPECT_EQ(SessionsShown(), (std::set<std::uint64_t>{2, 3}));
  W->SessionsPanel->DirectionBox->setCurrentIndex(dfFromRemote);
  const QStringList remote = Lines();
  EXPECT_FALSE(remote.filter(QStringLiteral("answer 3/")).isEmpty());
  EXPECT_TRUE(remote.filter(QStringLiteral("ask ")).isEmpty());
  EXPECT_EQ(remote.filter(QStringLiteral("Connection Opened")).size(), 2);  // what carries no bytes stays
  QTest::mouseClick(W->SessionsPanel->ShowAllBtn, Qt::LeftButton);
  EXPECT_EQ(Lines(), all);
  EXPECT_EQ(W->SessionsPanel->DirectionBox->currentIndex(), dfBoth);
}

TEST_F(LogTools, AFilterKeepsTheEntryInSightFollowsNewEntriesAndHoldsOnlyWhileTheListIsOpen) {
  ThreeSessions(200);
  Show();
  View().SetFollowing(false);
  W->Refresh1Click(nullptr);  // stay where the user leaves the view
  // An entry of session 2 in the middle, at the top of the view.
  TRecordEntry e;
  std::uint64_t middle = W->Record().Count() / 2;
  while (W->Record().Entry(middle, e) && e.Session != 2) ++middle;
  View().ScrollToLine(View().Layout().HeaderLine(View().Layout().VisibleOf(middle)));
  OpenList();
  W->SessionsPanel->SelectSessions({2});
  EXPECT_EQ(View().Layout().Place(View().TopLine()).Entry, middle);

  // New entries of the selected session come into the filtered view, the others' do not.
  const std::uint64_t lines = View().LineCount();
  Data(1, kRed, edFromLocal, "late 1");
  Data(2, kGreen, edFromLocal, "late 2");
  W->SessionsPanel->Flush();
  const QStringList now = Lines();
  EXPECT_GT(View().LineCount(), lines);
  EXPECT_TRUE(now.contains(QStringLiteral("late 2")));
  EXPECT_FALSE(now.contains(QStringLiteral("late 1")));

  // Closed, the list takes its filter with it; opened, the filter is back.
  W->Sessions1->trigger();
  EXPECT_EQ(SessionsShown(), (std::set<std::uint64_t>{1, 2, 3}));
  EXPECT_TRUE(Lines().contains(QStringLiteral("late 1")));
  W->Sessions1->trigger();
  EXPECT_EQ(SessionsShown(), (std::set<std::uint64_t>{2}));

  // A Clear: the open sessions stay listed and selected, and the filter goes on with them.
  W->Clear1->trigger();
  Data(3, kBlue, edFromLocal, "after 3");
  Data(2, kGreen, edFromLocal, "after 2");
  W->SessionsPanel->Flush();
  EXPECT_EQ(W->SessionsPanel->Model->rowCount(), 3);
  EXPECT_EQ(Lines(), QStringList({Lines().value(0), QStringLiteral("after 2")}));
}

TEST_F(LogTools, TheSearchBarCountsStepsWithItsKeysFindsAcrossChunksAndSaysNotFound) {
  ThreeSessions(30);
  Data(2, kGreen, edFromLocal, "split nee");
  Data(1, kRed, edFromLocal, "dle in between");  // another session: not part of the match
  Data(2, kGreen, edFromLocal, "dle here");
  Show();
  QTest::keyClick(W->LogWnd, Qt::Key_F, Qt::ControlModifier);
  QLineEdit* text = W->SearchBar->SearchText;
  QTest::keyClicks(text, "ANSWER 2/");
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  EXPECT_EQ(W->SearchBar->MatchCount(), 30u);  // case does not count: the box is off
  ASSERT_TRUE(W->SearchBar->Current().has_value());
  const std::uint64_t first = *W->SearchBar->Current();
  EXPECT_EQ(W->SearchBar->SearchStatus->text(), QStringLiteral("%1 of 30").arg(first + 1));

  // F3 and Enter forward, Shift+F3 and Shift+Enter back, round the ends.
  QTest::keyClick(text, Qt::Key_F3);
  EXPECT_EQ(W->SearchBar->Current(), (first + 1) % 30);
  QTest::keyClick(text, Qt::Key_Return);
  EXPECT_EQ(W->SearchBar->Current(), (first + 2) % 30);
  QTest::keyClick(text, Qt::Key_Return, Qt::ShiftModifier);
  QTest::keyClick(text, Qt::Key_F3, Qt::ShiftModifier);
  EXPECT_EQ(W->SearchBar->Current(), first);
  // The current match is in sight, and drawn behind its bytes.
  const TSearchPart part = W->SearchBar->MatchParts(first).front();
  const std::uint64_t line = View().Layout().HeaderLine(View().Layout().VisibleOf(part.Entry)) + 1;
  EXPECT_GE(line, View().TopLine());
  EXPECT_LT(line, View().TopLine() + View().PageLines());
  const QImage image = View().viewport()->grab().toImage();
  const int y = static_cast<int>(line - View().TopLine()) * View().LineHeight() + 1;
  const int x = static_cast<int>(part.From) * View().CharWidth() + 1;
  EXPECT_NE(image.pixelColor(x, y), View().palette().color(QPalette::Base));

  // Case counts when asked: no "ANSWER" in the log.
  W->SearchBar->MatchCase->setChecked(true);
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  EXPECT_EQ(W->SearchBar->MatchCount(), 0u);
  EXPECT_EQ(W->SearchBar->SearchStatus->text(), QStringLiteral("not found"));

  // A match over two chunks of one stream, with another session's entry between them.
  text->setText(QStringLiteral("needle"));
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  ASSERT_EQ(W->SearchBar->MatchCount(), 1u);
  const std::vector<TSearchPart> parts = W->SearchBar->MatchParts(0);
  ASSERT_EQ(parts.size(), 2u);
  TRecordEntry e;
  ASSERT_TRUE(W->Record().Entry(parts[0].Entry, e));
  EXPECT_EQ(e.Session, 2u);
  EXPECT_EQ(parts[0].From, 6u);
  EXPECT_EQ(parts[1].Entry, W->Record().Count() - 1);

  // Hex bytes, with or without blanks; a bad one says why.
  W->SearchBar->HexBytes->setChecked(true);
  text->setText(QStringLiteral("61 6e 73 77"));  // "answ"
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  EXPECT_EQ(W->SearchBar->MatchCount(), 90u);
  text->setText(QStringLiteral("616e7377"));
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  EXPECT_EQ(W->SearchBar->MatchCount(), 90u);
  text->setText(QStringLiteral("61 6"));
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  EXPECT_EQ(W->SearchBar->MatchCount(), 0u);
  EXPECT_TRUE(W->SearchBar->SearchStatus->text().startsWith(QStringLiteral("not hex")));

  QTest::keyClick(text, Qt::Key_Escape);
  EXPECT_TRUE(W->SearchBar->isHidden());
  EXPECT_EQ(W->SearchBar->MatchCount(), 0u);
}

TEST_F(LogTools, TheSearchLooksOnlyAtWhatTheFilterShows) {
  ThreeSessions(10);
  Show();
  OpenList();
  W->Find1->trigger();
  W->SearchBar->SearchText->setText(QStringLiteral("answer"));
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  EXPECT_EQ(W->SearchBar->MatchCount(), 30u);
  W->SessionsPanel->SelectSessions({3});
  ASSERT_TRUE(PumpQtUntil([&] { return SearchSettled(); }));
  EXPECT_EQ(W->SearchBar->MatchCount(), 10u);
  TRecordEntry e;
  for (std::uint64_t m = 0; m < W->SearchBar->MatchCount(); ++m) {
    ASSERT_TRUE(W->Record().Entry(W->SearchBar->MatchParts(m).back().Entry, e));
    EXPECT_EQ(e.Session, 3u);
  }
  // Entries that arrive later are searched as they come.
  Data(3, kBlue, edFromRemote, "answer late");
  ASSERT_TRUE(PumpQtUntil([&] { return W->SearchBar->MatchCount() == 11u && SearchSettled(); }));
}

TEST_F(LogTools, DistinctColoursAreOffByDefaultAndOnGiveEverySessionItsOwnInTheListAndTheLog) {
  // Eleven colours repeat: sessions 1 and 12 share one in the log.
  for (std::uint64_t id = 1; id <= 12; ++id) {
    Session(id, id == 12 ? kRed : id == 1 ? kRed : kGreen);
    Data(id, id == 12 || id == 1 ? kRed : kGreen, edFromLocal, "x");
  }
  Show();
  OpenList();
  TSessionsModel& model = *W->SessionsPanel->Model;
  QCheckBox* distinct = W->SessionsPanel->DistinctColorsBox;
  EXPECT_FALSE(distinct->isChecked());
  const auto swatch = [&](int Row) { return model.data(model.index(Row, 0), Qt::DecorationRole).value<QColor>(); };
  EXPECT_EQ(swatch(0), swatch(11));
  TRecordEntry first, twelfth;
  ASSERT_TRUE(W->Record().Entry(0, first) && W->Record().Entry(11, twelfth));
  EXPECT_EQ(View().EntryColor(first), platform::gui::ToQColor(kRed));
  EXPECT_EQ(View().EntryColor(first), View().EntryColor(twelfth));
  distinct->click();
  EXPECT_NE(swatch(0), swatch(11));
  EXPECT_EQ(swatch(11), platform::gui::ToQColor(DistinctSessionColor(12)));
  EXPECT_EQ(View().EntryColor(twelfth), swatch(11));
  EXPECT_NE(View().EntryColor(first), View().EntryColor(twelfth));
  distinct->click();
  EXPECT_EQ(View().EntryColor(twelfth), platform::gui::ToQColor(kRed));
}

}  // namespace
